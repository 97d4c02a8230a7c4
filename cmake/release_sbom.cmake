# Run by the install step (and so by cpack), after signing: writes velkor-dpapi.cdx.json beside the
# installed executable, its software bill of materials in CycloneDX 1.5 JSON: the executable with
# its SHA-256 (of the file as installed, signed or not) and its licence, what the mingw-w64 build
# links into it statically, each with the Debian package and version it came from and the
# licences of the parts linked in, and the compiler and linker that built it. Beside it,
# THIRD-PARTY-NOTICES.txt: those parts' licences, and the notices their licences ask every copy to
# carry, in the words of the Debian packages' copyright files. Nothing in either depends on the
# time or the build folder, so a reproducible build gives the same files.
#
# Set by the install rule before it includes this script: VELKOR_SBOM_EXE (the installed file's
# name), VELKOR_SBOM_FILE (the bill's name), VELKOR_NOTICES_FILE (the notices' name),
# VELKOR_SBOM_COMPILER (the C++ compiler driver), VELKOR_DPKG_QUERY, VELKOR_VERSION and
# VELKOR_DESCRIPTION; for the ARM64 build, VELKOR_SBOM_TOOLCHAIN, the folder
# tools/arm64-toolchain.sh built its runtimes in: there they come from Debian's source packages,
# named with their versions and .dsc hashes in its SOURCES file, with those packages' copyright
# files beside it, and the compiler and linker are Debian's clang-14 and lld-14 packages.

# What the static link brings in, by component: its name, its archives and start-up objects as
# the compiler driver names them (the first one tells the Debian package), and a description; and
# its licences. mingw-w64's copyright file is machine-readable (Debian's copyright format): each
# of its components names the paragraphs (by the first pattern of their Files: field) that cover
# the sources of the parts linked in, and the licences and notices are read from them. GCC's is
# prose: its licence is written here as that file states it for libgcc and libstdc++-v3.
# tests/release/release_sbom.py derives the same from the linker's map and fails when they differ.
set(components mingw-w64-runtime winpthreads libgcc libstdc++)
set(mingw-w64-runtime_files crt2.o libmingw32.a libmingwex.a libmsvcrt.a
                            libkernel32.a)
set(mingw-w64-runtime_paragraphs
    "*"                              # ZPL-2.1: what no other paragraph names
    "mingw-w64-crt/crt/*"            # public domain: the start-up code, misc/
    "mingw-w64-crt/gdtoa/*"          # Lucent: gdtoa, and stdio/mingw_pformat.c by name
    "mingw-w64-crt/misc/basename.c") # Keith Marshall: the printf family
set(mingw-w64-runtime_description
    "The mingw-w64 C runtime: start-up code, msvcrt.dll's import library and its static additions")
set(winpthreads_files libpthread.a)
set(winpthreads_paragraphs "mingw-w64-libraries/winpthreads/*")
set(winpthreads_description "The mingw-w64 POSIX threads library")
set(libgcc_files libgcc.a libgcc_eh.a crtbegin.o crtend.o)
set(libgcc_expression "GPL-3.0-or-later WITH GCC-exception-3.1")
set(libgcc_description "GCC's low-level runtime library")
set(libstdc++_files libstdc++.a)
set(libstdc++_expression "GPL-3.0-or-later WITH GCC-exception-3.1")
set(libstdc++_description "GCC's C++ standard library")

# The ARM64 build's runtimes, each with the Debian source package it was built from. LLVM's
# copyright file is machine-readable too; its "*" paragraph covers the runtimes' sources.
set(arm64_components mingw-w64-runtime compiler-rt-builtins libunwind libc++)
set(arm64_mingw-w64-runtime_source mingw-w64)
set(arm64_mingw-w64-runtime_files crt2.o crtbegin.o crtend.o libmingw32.a libmingwex.a libmsvcrt.a
                                  libkernel32.a)
set(compiler-rt-builtins_paragraphs "*")
set(compiler-rt-builtins_description "compiler-rt's builtins, LLVM's low-level runtime library")
set(arm64_compiler-rt-builtins_source llvm-toolchain-14)
set(arm64_compiler-rt-builtins_files libclang_rt.builtins-aarch64.a)
set(libunwind_paragraphs "*")
set(libunwind_description "LLVM's unwinder")
set(arm64_libunwind_source llvm-toolchain-14)
set(arm64_libunwind_files libunwind.a)
set(libc++_paragraphs "*")
set(libc++_description "LLVM's C++ standard library, with libc++abi")
set(arm64_libc++_source llvm-toolchain-14)
set(arm64_libc++_files libc++.a)

# The copyright files' short licence names that have an SPDX identifier, or an SPDX expression
# (which CycloneDX takes as a component's only licence entry); any other is named as the file
# names it.
set(spdx_ZPL-2.1 ZPL-2.1)
set(spdx_expat MIT)
set(spdx_BSD-3-clause BSD-3-Clause)
set(spdx_ISC ISC)
set(spdx_expression_APACHE-2-LLVM-EXCEPTIONS "Apache-2.0 WITH LLVM-exception")
# Whether a licence asks that its notice go with every copy, binaries included; a licence not
# listed stops the build, to be read and added. The LLVM exception lets code of LLVM's embedded
# in an object form by compiling go without the Apache licence's notice conditions.
set(notice_wanted ZPL-2.1 Lucent David-Gay Permissive-Sun expat BSD-3-clause BSD-3-clause-Lockless
                  BSD-2-clause-NetBSD ISC)
set(notice_not_wanted public-domain Keith-Marshall APACHE-2-LLVM-EXCEPTIONS)

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

# A paragraph of a machine-readable (DEP-5) copyright file, found by the first pattern of its
# Files: field: its Files: and Copyright: fields as written, the short name of its licence, and
# the licence's text, from the paragraph or else from the file's stand-alone License: paragraph
# of that name, with the format's one-space indent and its " ." empty lines undone.
function(copyright_paragraph copyright first out)
  file(READ "${copyright}" text)
  string(REPLACE "\r\n" "\n" text "\n${text}\n\n")
  string(FIND "${text}" "\nFiles: ${first}\n" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${copyright} has no paragraph for Files: ${first}")
  endif()
  string(SUBSTRING "${text}" ${at} -1 paragraph)
  string(FIND "${paragraph}" "\n\n" end)
  string(SUBSTRING "${paragraph}" 0 ${end} paragraph)
  string(REGEX MATCH "\nFiles:[^\n]*(\n[ \t][^\n]*)*" files "${paragraph}")
  string(REGEX MATCH "\nCopyright:[^\n]*(\n[ \t][^\n]*)*" holders "${paragraph}")
  if(NOT paragraph MATCHES "\nLicense: ([^\n]+)((\n [^\n]*)*)" OR holders STREQUAL "")
    message(FATAL_ERROR "${copyright}: the paragraph for Files: ${first} has no licence or "
                        "copyright")
  endif()
  set(short "${CMAKE_MATCH_1}")
  set(body "${CMAKE_MATCH_2}")
  if(body STREQUAL "")
    string(FIND "${text}" "\n\nLicense: ${short}\n" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "${copyright} has no text for the licence ${short}")
    endif()
    math(EXPR at "${at} + 2")
    string(SUBSTRING "${text}" ${at} -1 paragraph)
    string(FIND "${paragraph}" "\n\n" end)
    string(SUBSTRING "${paragraph}" 0 ${end} paragraph)
    string(REGEX MATCH "^License: [^\n]+((\n [^\n]*)*)" paragraph "${paragraph}")
    set(body "${CMAKE_MATCH_1}")
  endif()
  # Two passes: a replacement consumes the line feed that would begin a second " ." in a row.
  string(APPEND body "\n")
  foreach(pass 1 2)
    string(REPLACE "\n .\n" "\n\n" body "${body}")
  endforeach()
  string(REPLACE "\n " "\n" body "${body}")
  string(STRIP "${body}" body)
  string(STRIP "${files}" files)
  string(STRIP "${holders}" holders)
  if(body STREQUAL "")
    message(FATAL_ERROR "${copyright} has no text for the licence ${short}")
  endif()
  set(${out}_files "${files}" PARENT_SCOPE)
  set(${out}_copyright "${holders}" PARENT_SCOPE)
  set(${out}_license "${short}" PARENT_SCOPE)
  set(${out}_text "${body}" PARENT_SCOPE)
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
set(notices_summary "")
set(notices "")
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
  set(package "${${component}_package}")
  if(DEFINED ${component}_paragraphs)
    # The binary package's copyright file, or the source package's that the ARM64 toolchain keeps
    # (debian/copyright, the same text).
    if(VELKOR_SBOM_TOOLCHAIN)
      set(copyright "${VELKOR_SBOM_TOOLCHAIN}/copyright.${package}")
      set(copyright_name "debian/copyright of ${package} ${${component}_version}")
    else()
      set(copyright "/usr/share/doc/${package}/copyright")
      set(copyright_name "${copyright}")
    endif()
    set(names "")
    set(licenses "")
    foreach(paragraph IN LISTS ${component}_paragraphs)
      copyright_paragraph("${copyright}" "${paragraph}" found)
      check_plain("${found_license}")
      list(FIND names "${found_license}" seen)
      if(seen EQUAL -1)
        list(APPEND names "${found_license}")
        if(DEFINED spdx_expression_${found_license})
          set(license "{\"expression\": \"${spdx_expression_${found_license}}\"}")
        elseif(DEFINED spdx_${found_license})
          set(license "{\"license\": {\"id\": \"${spdx_${found_license}}\"}}")
        else()
          set(license "{\"license\": {\"name\": \"${found_license}\"}}")
        endif()
        if(licenses STREQUAL "")
          set(licenses "${license}")
        elseif(licenses MATCHES "expression" OR license MATCHES "expression")
          message(FATAL_ERROR "${copyright}: ${component} has an SPDX expression among other "
                              "licences, which CycloneDX cannot list together")
        else()
          string(APPEND licenses ", ${license}")
        endif()
      endif()
      list(FIND notice_wanted "${found_license}" wanted)
      list(FIND notice_not_wanted "${found_license}" not_wanted)
      if(NOT wanted EQUAL -1)
        string(APPEND notices "
------------------------------------------------------------------------------
${component}: ${found_license} (${copyright_name})

${found_files}
${found_copyright}
License: ${found_license}

${found_text}
")
      elseif(not_wanted EQUAL -1)
        message(FATAL_ERROR "${copyright}: does the licence ${found_license} ask for its notice "
                            "in every copy? Say so in cmake/release_sbom.cmake")
      endif()
    endforeach()
    string(REPLACE ";" ", " names "${names}")
  else()
    set(licenses "{\"expression\": \"${${component}_expression}\"}")
    set(names "${${component}_expression}")
  endif()
  string(APPEND notices_summary "
  ${component}, from ${package} ${${component}_version}:
    ${names}")
  string(APPEND component_entries "${separator}
    {
      \"type\": \"library\",
      \"bom-ref\": \"${component}\",
      \"name\": \"${component}\",
      \"version\": \"${${component}_version}\",
      \"description\": \"${${component}_description}\",
      \"licenses\": [${licenses}],
      \"purl\": \"${${component}_purl}\",
      \"properties\": [
        {\"name\": \"velkor-dpapi:${package_property}\", \"value\": \"${package}\"},
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

if(VELKOR_SBOM_TOOLCHAIN)
  set(built_by "${VELKOR_SBOM_EXE} holds parts of the libraries below, linked in statically, each built by
tools/arm64-toolchain.sh from the Debian source package named. Beside each, the licences that
package's copyright file gives for the parts linked in:")
else()
  set(built_by "${VELKOR_SBOM_EXE} holds parts of the libraries below, linked in statically, each built by the
Debian package named. Beside each, the licences that package's copyright file gives for the
parts linked in:")
endif()
set(notices_file "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${VELKOR_NOTICES_FILE}")
file(WRITE "${notices_file}" "Third-party notices of ${VELKOR_SBOM_EXE}

${built_by}
${notices_summary}

The notices that these licences ask every copy to carry follow, as the packages' copyright
files state them.
${notices}")

# The mode install() gives a file, whatever the umask: the zip keeps it.
file(CHMOD "${sbom}" "${notices_file}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
