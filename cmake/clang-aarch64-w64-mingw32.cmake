# Cross build for Windows on ARM64 with Debian's clang and lld, on the runtimes that
# tools/arm64-toolchain.sh builds from Debian's source packages; tests run under the ARM64 Wine of
# the chroot that tools/arm64-chroot.sh makes.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

# A fixed path, the same on every machine: see tools/arm64-toolchain.sh.
set(VELKOR_ARM64_TOOLCHAIN /var/cache/velkor-dpapi/arm64-toolchain)
set(triple aarch64-w64-mingw32)
if(NOT EXISTS ${VELKOR_ARM64_TOOLCHAIN}/SOURCES)
  message(FATAL_ERROR "no ARM64 toolchain at ${VELKOR_ARM64_TOOLCHAIN}: run tools/arm64-toolchain.sh")
endif()
# Debian's compiler itself, for the target, on that sysroot and with that resource folder (clang's
# headers and compiler-rt's builtins); the runtimes and lld at link time alone, so that no compile
# warns of an unused option.
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER_TARGET ${triple})
set(CMAKE_SYSROOT ${VELKOR_ARM64_TOOLCHAIN})
set(arm64_flags "-resource-dir=${VELKOR_ARM64_TOOLCHAIN}/lib/clang/14.0.6")
set(CMAKE_C_FLAGS_INIT "${arm64_flags}")
set(CMAKE_CXX_FLAGS_INIT "${arm64_flags} -stdlib=libc++")
set(arm64_link_flags "-fuse-ld=lld -rtlib=compiler-rt -unwindlib=libunwind")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${arm64_link_flags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${arm64_link_flags}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${arm64_link_flags}")
# llvm-windres preprocesses with clang, which finds windows.h on the sysroot alone.
set(CMAKE_RC_COMPILER ${VELKOR_ARM64_TOOLCHAIN}/bin/${triple}-windres)
set(CMAKE_RC_FLAGS_INIT "--preprocessor-arg=--sysroot=${VELKOR_ARM64_TOOLCHAIN}")
set(CMAKE_AR ${VELKOR_ARM64_TOOLCHAIN}/bin/${triple}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${VELKOR_ARM64_TOOLCHAIN}/bin/${triple}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH ${VELKOR_ARM64_TOOLCHAIN}/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/arm64-wine.sh)
