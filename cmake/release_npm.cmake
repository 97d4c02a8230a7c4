# Run by cpack once the release zip is made (CPACK_POST_BUILD_SCRIPTS): packs the npm packages
# beside it with `npm pack`.
#
#   <platform package>-<version>.tgz  the zip's own velkor-dpapi.exe (signed when the zip's is),
#                                     its SBOM, third-party notices and LICENSE, a short README
#                                     and package.json, with "os": ["win32"] and "cpu": ["x64",
#                                     "arm64"] (Windows on ARM64 runs it under emulation where the
#                                     native package is not installed); for the ARM64 release,
#                                     win32-arm64 with "cpu": ["arm64"]
#   velkor-dpapi-<version>.tgz        the Node.js client (clients/node) and LICENSE; it lists the
#                                     platform packages under optionalDependencies, at its
#                                     version, and pins.cjs holds the SHA-256 of the executable in
#                                     each, read from the platform tarballs themselves: this
#                                     release's, and the ARM64 release's, packed before it. Packed
#                                     by the x64 release alone
#
# npm pack dates every entry 1985-10-26 08:15:00 UTC, writes no owner, and sorts the entries, but
# keeps each file's mode bits: the files are staged with fixed modes, whatever the umask, so that
# two packings of one commit give the same bytes.
#
# Set in CPackConfig.cmake: CPACK_VELKOR_NPM, CPACK_VELKOR_VERSION,
# CPACK_VELKOR_NPM_PLATFORM_PACKAGE, CPACK_VELKOR_NPM_PLATFORM (packaging/npm's folder),
# CPACK_VELKOR_NPM_CLIENT, CPACK_VELKOR_NPM_ARM64_TARBALL (with the client), CPACK_VELKOR_SOURCE_DIR;
# by cpack: CPACK_PACKAGE_FILES (the zip, not yet moved to its folder) and CPACK_PACKAGE_DIRECTORY.

set(zip "")
foreach(file IN LISTS CPACK_PACKAGE_FILES)
  if(file MATCHES "\\.zip$")
    set(zip "${file}")
  endif()
endforeach()
if(zip STREQUAL "")
  message(FATAL_ERROR "no release zip to make the npm packages from")
endif()
string(REGEX REPLACE "\\.zip$" "" release_name "${zip}")
get_filename_component(release_name "${release_name}" NAME)

set(work "${CPACK_PACKAGE_DIRECTORY}/_CPack_Packages/npm")
file(REMOVE_RECURSE "${work}")
file(ARCHIVE_EXTRACT INPUT "${zip}" DESTINATION "${work}/zip")
set(released "${work}/zip/${release_name}")

set(file_mode OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
set(program_mode OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                 WORLD_EXECUTE)

# The platform package.
set(platform "${work}/platform")
set(VELKOR_NPM_PLATFORM_PACKAGE "${CPACK_VELKOR_NPM_PLATFORM_PACKAGE}")
set(PROJECT_VERSION "${CPACK_VELKOR_VERSION}")
set(npm_sources "${CPACK_VELKOR_SOURCE_DIR}/packaging/npm/${CPACK_VELKOR_NPM_PLATFORM}")
configure_file("${npm_sources}/package.json.in" "${platform}/package.json" @ONLY)
file(COPY "${npm_sources}/README.md" "${released}/LICENSE" DESTINATION "${platform}"
     FILE_PERMISSIONS ${file_mode})
file(CHMOD "${platform}/package.json" FILE_PERMISSIONS ${file_mode})
file(COPY "${released}/velkor-dpapi.exe" DESTINATION "${platform}"
     FILE_PERMISSIONS ${program_mode})
foreach(name velkor-dpapi.cdx.json THIRD-PARTY-NOTICES.txt)
  if(EXISTS "${released}/${name}")
    file(COPY "${released}/${name}" DESTINATION "${platform}" FILE_PERMISSIONS ${file_mode})
  endif()
endforeach()

# npm's cache (and its logs) in the work folder; no lifecycle script runs. Packs the folder beside
# the zip and sets the variable named to the tarball's path.
set(ENV{npm_config_cache} "${work}/npm-cache")
set(ENV{npm_config_update_notifier} false)
function(npm_pack folder tarball_variable)
  execute_process(
    COMMAND "${CPACK_VELKOR_NPM}" pack --ignore-scripts --json
            --pack-destination "${CPACK_PACKAGE_DIRECTORY}"
    WORKING_DIRECTORY "${folder}"
    RESULT_VARIABLE failed OUTPUT_VARIABLE packed ERROR_VARIABLE errors)
  if(failed)
    message(FATAL_ERROR "npm pack failed in ${folder}:\n${packed}${errors}")
  endif()
  string(JSON tarball GET "${packed}" 0 filename)
  message(STATUS "npm package: ${CPACK_PACKAGE_DIRECTORY}/${tarball}")
  set(${tarball_variable} "${CPACK_PACKAGE_DIRECTORY}/${tarball}" PARENT_SCOPE)
endfunction()

npm_pack("${platform}" platform_tarball)
if(NOT CPACK_VELKOR_NPM_CLIENT)
  return()
endif()

# The client package: its package.json, README and the files it lists, and the licence.
set(client_sources "${CPACK_VELKOR_SOURCE_DIR}/clients/node")
set(client "${work}/client")
file(READ "${client_sources}/package.json" client_package)
string(JSON client_version GET "${client_package}" version)
if(NOT client_version STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "clients/node/package.json has version ${client_version}; the release is "
    "${PROJECT_VERSION}")
endif()
set(client_files package.json README.md)
string(JSON count LENGTH "${client_package}" files)
math(EXPR last "${count} - 1")
foreach(index RANGE ${last})
  string(JSON listed GET "${client_package}" files ${index})
  list(APPEND client_files "${listed}")
endforeach()
list(TRANSFORM client_files PREPEND "${client_sources}/")
file(COPY ${client_files} "${released}/LICENSE" DESTINATION "${client}"
     FILE_PERMISSIONS ${file_mode})

# The pins: the SHA-256 of velkor-dpapi.exe in each platform tarball, by the name in its
# package.json, which must be at this release's version.
if(NOT EXISTS "${CPACK_VELKOR_NPM_ARM64_TARBALL}")
  message(FATAL_ERROR "the client pins the executable of every platform package it lists, and "
    "the ARM64 release's (${CPACK_VELKOR_NPM_ARM64_TARBALL}) is not there: pack that release "
    "first (cpack --preset windows-arm64), or point VELKOR_NPM_ARM64_RELEASE_DIR at the folder "
    "that holds its velkor-dpapi-win32-arm64-${PROJECT_VERSION}.tgz")
endif()
set(digests "{}")
set(tarballs "${platform_tarball}" "${CPACK_VELKOR_NPM_ARM64_TARBALL}")
foreach(tarball IN LISTS tarballs)
  list(FIND tarballs "${tarball}" index)
  set(unpacked "${work}/pinned/${index}")
  file(ARCHIVE_EXTRACT INPUT "${tarball}" DESTINATION "${unpacked}"
       PATTERNS package/package.json package/velkor-dpapi.exe)
  file(READ "${unpacked}/package/package.json" package)
  string(JSON name GET "${package}" name)
  string(JSON version GET "${package}" version)
  if(NOT version STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "${tarball} holds ${name} ${version}; the release is ${PROJECT_VERSION}")
  endif()
  file(SHA256 "${unpacked}/package/velkor-dpapi.exe" digest)
  string(JSON digests SET "${digests}" "${name}" "\"${digest}\"")
endforeach()
set(pins "")
string(JSON count LENGTH "${client_package}" optionalDependencies)
math(EXPR last "${count} - 1")
foreach(index RANGE ${last})
  string(JSON name MEMBER "${client_package}" optionalDependencies ${index})
  string(JSON version GET "${client_package}" optionalDependencies "${name}")
  string(JSON digest ERROR_VARIABLE missing GET "${digests}" "${name}")
  if(NOT version STREQUAL PROJECT_VERSION OR missing)
    message(FATAL_ERROR "clients/node/package.json lists ${name} ${version}: the release packs "
      "${PROJECT_VERSION} and has no such platform package to pin")
  endif()
  string(APPEND pins "  \"${name}\": \"${digest}\",\n")
endforeach()
file(WRITE "${client}/pins.cjs" "\"use strict\";

// The SHA-256 of velkor-dpapi.exe in each platform package of release ${PROJECT_VERSION}, written
// when this package was packed: the client starts a packaged executable only when the file has
// its package's digest.
module.exports = Object.freeze({
${pins}});
")
file(CHMOD "${client}/pins.cjs" FILE_PERMISSIONS ${file_mode})
npm_pack("${client}" client_tarball)
