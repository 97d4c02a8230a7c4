# Run by the install step (and so by cpack, before it packs): signs the installed
# velkor-dpapi.exe with Authenticode, SHA-256, through osslsigncode, when a key is named.
#
# Each setting is a CMake variable of the build, or else an environment variable of the same name
# at install time:
#   VELKOR_SIGN_PKCS12         PKCS#12 file with the signing certificate, its chain and its key
#   VELKOR_SIGN_PASSWORD_FILE  a file holding the PKCS#12 password
#   VELKOR_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamping server (none: no timestamp)
# The password may also come from the environment variable VELKOR_SIGN_PASSWORD (never a CMake
# variable: the cache is a plain file). It reaches osslsigncode through a pipe (-readpass -),
# so it is never on a command line nor written to disk.
#
# Set by the install rule before it includes this script: VELKOR_SIGN_EXE (the installed file's
# path below the install prefix), VELKOR_OSSLSIGNCODE, and the build's values of the settings.

foreach(setting VELKOR_SIGN_PKCS12 VELKOR_SIGN_PASSWORD_FILE VELKOR_SIGN_TIMESTAMP_URL)
  if("${${setting}}" STREQUAL "" AND DEFINED ENV{${setting}})
    set(${setting} "$ENV{${setting}}")
  endif()
endforeach()

set(exe "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${VELKOR_SIGN_EXE}")
if(VELKOR_SIGN_PKCS12 STREQUAL "")
  message(NOTICE "velkor-dpapi.exe is NOT signed: no signing key (set VELKOR_SIGN_PKCS12 to sign)")
  return()
endif()
if(NOT VELKOR_OSSLSIGNCODE)
  find_program(VELKOR_OSSLSIGNCODE osslsigncode)
endif()
if(NOT VELKOR_OSSLSIGNCODE)
  message(FATAL_ERROR "VELKOR_SIGN_PKCS12 is set but osslsigncode was not found")
endif()

set(password_source)
set(password_option)
if(NOT VELKOR_SIGN_PASSWORD_FILE STREQUAL "")
  set(password_option -readpass "${VELKOR_SIGN_PASSWORD_FILE}")
elseif(DEFINED ENV{VELKOR_SIGN_PASSWORD})
  find_program(VELKOR_PRINTENV printenv)
  if(NOT VELKOR_PRINTENV)
    message(FATAL_ERROR "VELKOR_SIGN_PASSWORD needs printenv: use VELKOR_SIGN_PASSWORD_FILE")
  endif()
  set(password_source COMMAND "${VELKOR_PRINTENV}" VELKOR_SIGN_PASSWORD)
  set(password_option -readpass -)
endif()
set(timestamp_option)
if(NOT VELKOR_SIGN_TIMESTAMP_URL STREQUAL "")
  set(timestamp_option -ts "${VELKOR_SIGN_TIMESTAMP_URL}")
endif()

# osslsigncode will not write over its input: sign into a new file, then put it in place.
set(signed "${exe}.signed")
file(REMOVE "${signed}")
execute_process(
  ${password_source}
  COMMAND "${VELKOR_OSSLSIGNCODE}" sign -pkcs12 "${VELKOR_SIGN_PKCS12}" ${password_option}
          -h sha256 -n velkor-dpapi ${timestamp_option} -in "${exe}" -out "${signed}"
  RESULTS_VARIABLE results
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
if(NOT results MATCHES "^0(;0)?$")
  file(REMOVE "${signed}")
  message(FATAL_ERROR "signing velkor-dpapi.exe failed (${results}):\n${output}")
endif()
file(RENAME "${signed}" "${exe}")
# The modes install() gives a program, whatever the umask osslsigncode wrote its file with.
file(CHMOD "${exe}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                               WORLD_READ WORLD_EXECUTE)
message(NOTICE "velkor-dpapi.exe is signed with ${VELKOR_SIGN_PKCS12}")
