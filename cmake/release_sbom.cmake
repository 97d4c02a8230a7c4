# Run by the install step (and so by cpack), after signing: writes velkor-dpapi.cdx.json beside the
# installed executable, its software bill of materials in CycloneDX 1.5 JSON: the executable with
# its SHA-256 (of the file as installed, signed or not) and its licence, what the mingw-w64 build
# links into it statically, each with the Debian package and version it came from, and the
# compiler and linker that built it. Nothing in it depends on the time or the build folder, so a
# reproducible build gives the same file.
#
# Set by the install rule before it includes this script: VELKOR_SBOM_EXE (the installed file's
# name), VELKOR_SBOM_FILE (the bill's name), VELKOR_SBOM_COMPILER (the C++ compiler driver),
# VELKOR_DPKG_QUERY, VELKOR_VERSION and VELKOR_DESCRIPTION; for the ARM64 build,
# VELKOR_SBOM_TOOLCHAIN, the folder tools/arm64-toolchain.sh built its runtimes in: there they
# come from Debian's source packages, named with their versions and .dsc hashes in its SOURCES
# file, and the compiler and linker are Debian's clang-14 and lld-14 packages.

# What the static link brings in, by component: its name, its archives and start-up objects as
# the compiler driver names them (the first one tells the Debian package), its licence (SPDX,
# after the package's copyright file), and a description.
set(components mingw-w64-runtime winpthreads libgcc libstdc++)
set(mingw-w64-runtime_files crt2.o libmingw32.a libmingwex.a libmsvcrt.a
                            libkernel32.a)
set(mingw-w64-runtime_licenses [=[{"license": {"id": "ZPL-2.1"}}, {"license": {"name": "Public domain (mingw-w64-crt/crt and other parts; see the Debian package's copyright file)"}}]=])
set(mingw-w64-runtime_description
    "The mingw-w64 C runtime: start-up code, msvcrt.dll's import library and its static additions")
set(winpthreads_files libpthread.a)
set(winpthreads_licenses [=[{"expression": "MIT AND BSD-3-Clause"}]=])
set(winpthreads_description "The mingw-w64 POSIX threads library")
set(libgcc_files libgcc.a libgcc_eh.a crtbegin.o crtend.o)
set(libgcc_licenses [=[{"expression": "GPL-3.0-or-later WITH GCC-exception-3.1"}]=])
set(libgcc_description "GCC's low-level runtime library")
set(libstdc++_files libstdc++.a)
set(libstdc++_licenses [=[{"expression": "GPL-3.0-or-later WITH GCC-exception-3.1"}]=])
set(libstdc++_description "GCC's C++ standard library")

# The ARM64 build's runtimes, each with the Debian source package it was built from.
set(arm64_components mingw-w64-runtime compiler-rt-builtins libunwind libc++)
set(arm64_mingw-w64-runtime_source mingw-w64)
set(arm64_mingw-w64-runtime_files crt2.o crtbegin.o crtend.o libmingw32.a libmingwex.a libmsvcrt.a
                                  libkernel32.a)
set(llvm_licenses [=[{"expression": "Apache-2.0 WITH LLVM-exception"}]=])
set(compiler-rt-builtins_licenses "${llvm_licenses}")
set(compiler-rt-builtins_description "compiler-rt's builtins, LLVM's low-level runtime library")
set(arm64_compiler-rt-builtins_source llvm-toolchain-14)
set(arm64_compiler-rt-builtins_files libclang_rt.builtins-aarch64.a)
set(libunwind_licenses "${llvm_licenses}")
set(libunwind_description "LLVM's unwinder")
set(arm64_libunwind_source llvm-toolchain-14)
set(arm64_libunwind_files libunwind.a)
set(libc++_licenses "${llvm_licenses}")
set(libc++_description "LLVM's C++ standard library, with libc++abi")
set(arm64_libc++_source llvm-toolchain-14)
set(arm64_libc++_files libc++.a)

# A value goes into the JSON text as it is: refuse one that would need escaping.
function(check_plain value)
  if(value MATCHES "[\"\\\\]" OR value MATCHES "[\n\t]")
    message(FATAL_ERROR "unexpected character in SBOM value: ${value}")
  endif()
endfunction()

# The Debian package that owns a file (by its real path, as dpkg records it): name, version and
# architecture, and its package URL.
function(debian_package path out)
  file(REAL_PATH "${path}" path)
  execute_process(COMMAND "${VELKOR_DPKG_QUERY}" -S "${path}"
                  OUTPUT_VARIABLE owner RESULT_VARIABLE failed ERROR_QUIET
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(failed OR NOT owner MATCHES "^([^:, ]+)(:[^:, ]+)?: ")
    message(FATAL_ERROR "no Debian package owns ${path}: the SBOM cannot name its version")
  endif()
  set(package "${CMAKE_MATCH_1}")
  execute_process(COMMAND "${VELKOR_DPKG_QUERY}" -W "-f=\${Version} \${Architecture}" "${package}"
                  OUTPUT_VARIABLE found RESULT_VARIABLE failed ERROR_QUIET
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(failed OR NOT found MATCHES "^([^ ]+) ([^ ]+)$")
    message(FATAL_ERROR "dpkg-query cannot tell the version of ${package}")
  endif()
  set(version "${CMAKE_MATCH_1}")
  set(arch "${CMAKE_MATCH_2}")
  check_plain("${package}")
  check_plain("${version}")
  # A package URL spells "+" and ":" in a name or version percent-encoded.
  set(encoded_name "${package}")
  set(encoded_version "${version}")
  foreach(part encoded_name encoded_version)
    string(REPLACE "%" "%25" ${part} "${${part}}")
    string(REPLACE "+" "%2B" ${part} "${${part}}")
    string(REPLACE ":" "%3A" ${part} "${${part}}")
  endforeach()
  set(${out}_package "${package}" PARENT_SCOPE)
  set(${out}_version "${version}" PARENT_SCOPE)
  set(${out}_purl "pkg:deb/debian/${encoded_name}@${encoded_version}?arch=${arch}" PARENT_SCOPE)
endfunction()

# A Debian source package that tools/arm64-toolchain.sh built from: its version and .dsc hash as
# that script recorded them, and its package URL.
function(debian_source package out)
  file(STRINGS "${VELKOR_SBOM_TOOLCHAIN}/SOURCES" recorded)
  set(version "")
  set(dsc "")
  foreach(line IN LISTS recorded)
    if(line MATCHES "^source ${package} ([^ ]+)$")
      set(version "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^dsc-sha256 ([0-9a-f]+)  ${package}_[^ ]+\\.dsc$")
      set(dsc "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  if(version STREQUAL "" OR dsc STREQUAL "")
    message(FATAL_ERROR "${VELKOR_SBOM_TOOLCHAIN}/SOURCES does not name ${package}")
  endif()
  check_plain("${version}")
  string(REPLACE ":" "%3A" encoded_version "${version}")
  string(REPLACE "+" "%2B" encoded_version "${encoded_version}")
  set(${out}_package "${package}" PARENT_SCOPE)
  set(${out}_version "${version}" PARENT_SCOPE)
  set(${out}_dsc "${dsc}" PARENT_SCOPE)
  set(${out}_purl "pkg:deb/debian/${package}@${encoded_version}?arch=source" PARENT_SCOPE)
endfunction()

function(driver_path option name out)
  execute_process(COMMAND "${VELKOR_SBOM_COMPILER}" "-print-${option}=${name}"
                  OUTPUT_VARIABLE path RESULT_VARIABLE failed OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(failed OR NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    message(FATAL_ERROR "${VELKOR_SBOM_COMPILER} does not name ${name}: the SBOM cannot be made")
  endif()
  set(${out} "${path}" PARENT_SCOPE)
endfunction()

set(exe "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${VELKOR_SBOM_EXE}")
file(SHA256 "${exe}" exe_sha256)
check_plain("${VELKOR_VERSION}")
check_plain("${VELKOR_DESCRIPTION}")

# The compiler driver and the linker it runs (for the ARM64 build, the Debian compiler and linker
# that its driver script runs).
if(VELKOR_SBOM_TOOLCHAIN)
  set(compiler_path /usr/bin/clang-14)
  set(linker_path /usr/bin/ld.lld-14)
  set(linker_name ld.lld)
  set(components ${arm64_components})
  set(package_property debian-source-package)
else()
  set(compiler_path "${VELKOR_SBOM_COMPILER}")
  driver_path(prog-name ld linker_path)
  set(linker_name ld)
  set(package_property debian-package)
endif()
debian_package("${compiler_path}" compiler)
debian_package("${linker_path}" linker)
get_filename_component(compiler_name "${compiler_path}" NAME)

set(component_entries "")
set(component_refs "")
set(component_dependencies "")
foreach(component IN LISTS components)
  if(VELKOR_SBOM_TOOLCHAIN)
    set(${component}_files ${arm64_${component}_files})
    debian_source(${arm64_${component}_source} ${component})
    set(source_hash ",
        {\"name\": \"velkor-dpapi:debian-source-dsc-sha256\", \"value\": \"${${component}_dsc}\"},
        {\"name\": \"velkor-dpapi:built-by\", \"value\": \"tools/arm64-toolchain.sh\"}")
  else()
    list(GET ${component}_files 0 first)
    driver_path(file-name "${first}" first_path)
    debian_package("${first_path}" ${component})
    set(source_hash "")
  endif()
  string(REPLACE ";" " " files "${${component}_files}")
  string(APPEND component_entries "${separator}
    {
      \"type\": \"library\",
      \"bom-ref\": \"${component}\",
      \"name\": \"${component}\",
      \"version\": \"${${component}_version}\",
      \"description\": \"${${component}_description}\",
      \"licenses\": [${${component}_licenses}],
      \"purl\": \"${${component}_purl}\",
      \"properties\": [
        {\"name\": \"velkor-dpapi:${package_property}\", \"value\": \"${${component}_package}\"},
        {\"name\": \"velkor-dpapi:linked-statically\", \"value\": \"${files}\"}${source_hash}
      ]
    }")
  string(APPEND component_refs "${separator}\"${component}\"")
  string(APPEND component_dependencies ",
    {\"ref\": \"${component}\", \"dependsOn\": []}")
  set(separator ",")
endforeach()

# The same executable gives the same serial number.
string(UUID serial NAMESPACE 6ba7b811-9dad-11d1-80b4-00c04fd430c8
       NAME "velkor-dpapi ${VELKOR_VERSION} ${exe_sha256}" TYPE SHA1)

set(sbom "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${VELKOR_SBOM_FILE}")
file(WRITE "${sbom}" "{
  \"bomFormat\": \"CycloneDX\",
  \"specVersion\": \"1.5\",
  \"serialNumber\": \"urn:uuid:${serial}\",
  \"version\": 1,
  \"metadata\": {
    \"tools\": {
      \"components\": [
        {
          \"type\": \"application\",
          \"name\": \"${compiler_name}\",
          \"version\": \"${compiler_version}\",
          \"purl\": \"${compiler_purl}\"
        },
        {
          \"type\": \"application\",
          \"name\": \"${linker_name}\",
          \"version\": \"${linker_version}\",
          \"purl\": \"${linker_purl}\"
        }
      ]
    },
    \"component\": {
      \"type\": \"application\",
      \"bom-ref\": \"velkor-dpapi\",
      \"name\": \"velkor-dpapi\",
      \"version\": \"${VELKOR_VERSION}\",
      \"description\": \"${VELKOR_DESCRIPTION}\",
      \"licenses\": [{\"license\": {\"id\": \"MIT\"}}],
      \"hashes\": [{\"alg\": \"SHA-256\", \"content\": \"${exe_sha256}\"}],
      \"properties\": [{\"name\": \"velkor-dpapi:file\", \"value\": \"${VELKOR_SBOM_EXE}\"}]
    }
  },
  \"components\": [${component_entries}
  ],
  \"dependencies\": [
    {\"ref\": \"velkor-dpapi\", \"dependsOn\": [${component_refs}]}${component_dependencies}
  ]
}
")
# The mode install() gives a file, whatever the umask: the zip keeps it.
file(CHMOD "${sbom}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
