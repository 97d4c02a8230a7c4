#!/usr/bin/env bash
# Builds, once per machine, the toolchain of the ARM64 Windows build (aarch64-w64-mingw32): Debian
# 12's own clang-14 and lld-14, with the runtimes they lack for that target made from Debian's
# source packages, fetched by apt-get source (which checks them against the signed archive's
# hashes): the mingw-w64 headers and C runtime (source package mingw-w64, --enable-libarm64), and
# compiler-rt's builtins, libunwind, libc++abi and libc++ (source package llvm-toolchain-14).
#
# Everything is built and installed at one fixed path in the scripts' cache folder, so the objects
# the tool links in are the same whoever builds them. The result is kept and used again while its
# stamp matches: the hash of this script and of the source packages' .dsc files, and the hash of
# every installed file; otherwise it is built afresh. Prints the toolchain's path.
set -euo pipefail

cache=/var/cache/velkor-dpapi
prefix=$cache/arm64-toolchain
work=$cache/arm64-toolchain.build
stamp=$cache/arm64-toolchain.stamp
target=aarch64-w64-mingw32
llvm_version=14
clang_version=14.0.6
jobs=${VELKOR_ARM64_JOBS:-2}
say() { echo "arm64-toolchain: $*" >&2; }
fail() { say "$*"; exit 1; }

[ "$(id -u)" -eq 0 ] || fail "needs root (apt-get and the cache folder $cache): run it with sudo"
for program in clang-$llvm_version ld.lld-$llvm_version llvm-ar-$llvm_version \
  llvm-dlltool-$llvm_version dpkg-source cmake ninja make; do
  command -v "$program" >/dev/null || fail "$program is missing: run tools/install-deps.sh"
done

tree_hash() {
  (cd "$prefix" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum) |
    sha256sum | cut -d' ' -f1
}
script_hash=$(sha256sum "$0" | cut -d' ' -f1)
if [ -f "$stamp" ] && [ -d "$prefix" ] && [ "$(sed -n 1p "$stamp")" = "script $script_hash" ] &&
  [ "$(sed -n '$p' "$stamp")" = "tree $(tree_hash)" ]; then
  echo "$prefix"
  exit 0
fi

say "building the runtimes for $target in $prefix (several minutes, once per machine)"
start=$SECONDS
log=$(mktemp "${TMPDIR:-/tmp}/arm64-toolchain.XXXXXX")
trap 'rm -f "$log"' EXIT
run() {
  "$@" </dev/null >>"$log" 2>&1 || {
    status=$?
    say "$1 failed (status $status); the end of its output:"
    tail -n 40 "$log" >&2
    exit "$status"
  }
}
rm -rf "$prefix" "$work" "$stamp"
mkdir -p "$work/src"

# The sources, from Debian 12's deb-src archive (added if this machine has no deb-src entry).
if ! grep -Eqs '^[^#]*deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
  /etc/apt/sources.list.d/*.sources; then
  printf '%s\n' "Types: deb-src" "URIs: http://deb.debian.org/debian" "Suites: bookworm" \
    "Components: main" "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" \
    >/etc/apt/sources.list.d/bookworm-src.sources
  run env DEBIAN_FRONTEND=noninteractive apt-get -y -q update
fi
cd "$work/src"
run apt-get -q source --download-only mingw-w64=10.0.0-3 llvm-toolchain-14=1:14.0.6-12
# dpkg-source checks each file against its .dsc before unpacking and applying Debian's patches.
run dpkg-source -x mingw-w64_10.0.0-3.dsc mingw-w64
run dpkg-source -x llvm-toolchain-14_14.0.6-12.dsc llvm
inputs=$(sha256sum mingw-w64_10.0.0-3.dsc llvm-toolchain-14_14.0.6-12.dsc)

# The compiler drivers: Debian's clang for the target, on this sysroot, with its own resource
# folder (clang's headers, and the builtins made below). Objects carry no path of the build.
mkdir -p "$prefix/bin" "$prefix/lib/clang/$clang_version/lib/windows"
cp -r "/usr/lib/llvm-$llvm_version/lib/clang/$clang_version/include" \
  "$prefix/lib/clang/$clang_version/"
for driver in clang clang++; do
  cat >"$prefix/bin/$target-$driver" <<WRAPPER
#!/bin/sh
exec $driver-$llvm_version --target=$target --sysroot=$prefix -resource-dir=$prefix/lib/clang/$clang_version \\
  -rtlib=compiler-rt -unwindlib=libunwind -stdlib=libc++ -fuse-ld=lld -ffile-prefix-map=$work/src/= "\$@"
WRAPPER
  chmod +x "$prefix/bin/$target-$driver"
done
for tool in ar ranlib dlltool windres rc nm objdump strip; do
  ln -s "/usr/bin/llvm-$tool-$llvm_version" "$prefix/bin/$target-$tool"
done
export PATH="$prefix/bin:$PATH"
cc=$prefix/bin/$target-clang cxx=$prefix/bin/$target-clang++
mingw_flags=(--host=$target --prefix="$prefix/$target" --with-default-msvcrt=msvcrt
  --with-default-win32-winnt=0x601)

say "mingw-w64 headers ($((SECONDS - start)) s)"
mkdir -p "$work/headers" && cd "$work/headers"
run "$work/src/mingw-w64/mingw-w64-headers/configure" "${mingw_flags[@]}" --enable-sdk=all
run make install

say "mingw-w64 C runtime ($((SECONDS - start)) s)"
mkdir -p "$work/crt" && cd "$work/crt"
run "$work/src/mingw-w64/mingw-w64-crt/configure" "${mingw_flags[@]}" \
  --disable-lib32 --disable-lib64 --enable-libarm64 CC="$cc" AR=$target-ar RANLIB=$target-ranlib \
  DLLTOOL=$target-dlltool CFLAGS="-O2"
run make -j"$jobs"
run make install
# The C runtime installs its ARM64 libraries in libarm64; clang looks in lib.
if [ -d "$prefix/$target/libarm64" ]; then
  cp -a "$prefix/$target/libarm64/." "$prefix/$target/lib/"
  rm -rf "$prefix/$target/libarm64"
fi

cmake_common=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_SYSTEM_NAME=Windows
  -DCMAKE_SYSTEM_PROCESSOR=aarch64 -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx"
  -DCMAKE_C_COMPILER_WORKS=ON -DCMAKE_CXX_COMPILER_WORKS=ON -DCMAKE_AR="$prefix/bin/$target-ar"
  -DCMAKE_RANLIB="$prefix/bin/$target-ranlib" -DCMAKE_C_COMPILER_TARGET=$target
  -DCMAKE_CXX_COMPILER_TARGET=$target -DCMAKE_TRY_COMPILE_TARGET_TYPE=STATIC_LIBRARY)

say "compiler-rt builtins ($((SECONDS - start)) s)"
run cmake -S "$work/src/llvm/compiler-rt/lib/builtins" -B "$work/builtins" "${cmake_common[@]}" \
  -DCOMPILER_RT_DEFAULT_TARGET_ONLY=ON -DCOMPILER_RT_BAREMETAL_BUILD=OFF \
  -DLLVM_CONFIG_PATH= -DCOMPILER_RT_USE_BUILTINS_LIBRARY=ON
run cmake --build "$work/builtins" -j "$jobs"
builtins=$(find "$work/builtins" -name 'libclang_rt.builtins*.a' | head -n 1)
[ -n "$builtins" ] || fail "compiler-rt built no builtins library"
cp "$builtins" "$prefix/lib/clang/$clang_version/lib/windows/libclang_rt.builtins-aarch64.a"

say "libunwind, libc++abi, libc++ ($((SECONDS - start)) s)"
run cmake -S "$work/src/llvm/runtimes" -B "$work/runtimes" "${cmake_common[@]}" \
  -DCMAKE_INSTALL_PREFIX="$prefix/$target" -DLLVM_PATH="$work/src/llvm/llvm" \
  -DLLVM_ENABLE_RUNTIMES="libunwind;libcxxabi;libcxx" \
  -DLIBUNWIND_USE_COMPILER_RT=ON -DLIBUNWIND_ENABLE_SHARED=OFF -DLIBUNWIND_ENABLE_STATIC=ON \
  -DLIBCXXABI_USE_COMPILER_RT=ON -DLIBCXXABI_USE_LLVM_UNWINDER=ON \
  -DLIBCXXABI_ENABLE_SHARED=OFF -DLIBCXXABI_ENABLE_STATIC=ON -DLIBCXXABI_LIBDIR_SUFFIX= \
  -DLIBCXX_USE_COMPILER_RT=ON -DLIBCXX_CXX_ABI=libcxxabi -DLIBCXX_ENABLE_SHARED=OFF \
  -DLIBCXX_ENABLE_STATIC=ON -DLIBCXX_ENABLE_STATIC_ABI_LIBRARY=ON \
  -DLIBCXX_ENABLE_ABI_LINKER_SCRIPT=OFF -DLIBCXX_LIBDIR_SUFFIX= -DLIBCXX_INCLUDE_TESTS=OFF \
  -DLIBCXX_INCLUDE_BENCHMARKS=OFF -DLIBCXX_ENABLE_EXPERIMENTAL_LIBRARY=OFF \
  -DLIBCXX_HAS_WIN32_THREAD_API=ON -DLIBCXXABI_HAS_WIN32_THREAD_API=ON \
  -DLIBUNWIND_INCLUDE_TESTS=OFF -DLIBCXXABI_INCLUDE_TESTS=OFF
run cmake --build "$work/runtimes" -j "$jobs"
run cmake --install "$work/runtimes"

# What was built from, for the release's SBOM and notices.
{
  echo "target $target"
  echo "compiler clang-$llvm_version $(dpkg-query -W -f='${Version}' clang-$llvm_version)"
  echo "linker lld-$llvm_version $(dpkg-query -W -f='${Version}' lld-$llvm_version)"
  echo "source mingw-w64 10.0.0-3"
  echo "source llvm-toolchain-14 1:14.0.6-12"
  echo "$inputs" | sed 's/^/dsc-sha256 /'
} >"$prefix/SOURCES"
cp "$work/src/mingw-w64/COPYING" "$prefix/LICENSE.mingw-w64" 2>/dev/null || true
cp "$work/src/llvm/libcxx/LICENSE.TXT" "$prefix/LICENSE.llvm"
cp "$work/src/mingw-w64/debian/copyright" "$prefix/copyright.mingw-w64"
cp "$work/src/llvm/debian/copyright" "$prefix/copyright.llvm-toolchain-14"
# The source files of what was built, named as the copyright files' Files: fields name them: the
# release_sbom test traces each linked member to its source file, and so to its licence.
(cd "$work/src/mingw-w64" && find mingw-w64-crt -type f | LC_ALL=C sort) >"$prefix/files.mingw-w64"
(cd "$work/src/llvm" && find compiler-rt/lib/builtins libunwind/src libcxxabi/src libcxx/src \
  -type f | LC_ALL=C sort) >"$prefix/files.llvm-toolchain-14"

cd "$cache"
rm -rf "$work"
printf 'script %s\ntree %s\n' "$script_hash" "$(tree_hash)" >"$stamp"
say "built in $((SECONDS - start)) s"
echo "$prefix"
