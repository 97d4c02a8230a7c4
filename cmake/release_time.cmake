# Included by cpack before it packs (CPACK_PROJECT_CONFIG_FILE): the time the zip's entries
# carry, so that two packings of one commit give the same bytes.

# A zip entry's DOS date and time are local time: pack in UTC, wherever the packer lives.
set(ENV{TZ} UTC0)

# cpack's ZIP generator stamps every entry with SOURCE_DATE_EPOCH when it is set. Kept when the
# environment sets it; else the time of the source tree's last commit; else, outside a git
# checkout, the time of its CMakeLists.txt, which an archive made by git (as hosting sites serve
# them) dates to that commit.
if("$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  set(release_time "")
  find_program(VELKOR_GIT git)
  if(VELKOR_GIT)
    # Only the source tree's own repository: not one it happens to be unpacked inside.
    execute_process(
      COMMAND "${VELKOR_GIT}" -C "${CPACK_VELKOR_SOURCE_DIR}" rev-parse --show-toplevel
      OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
    if(NOT failed AND EXISTS "${top}")
      file(REAL_PATH "${top}" top)
      file(REAL_PATH "${CPACK_VELKOR_SOURCE_DIR}" source)
      if(top STREQUAL source)
        execute_process(
          COMMAND "${VELKOR_GIT}" -C "${CPACK_VELKOR_SOURCE_DIR}" log -1 --format=%ct
          OUTPUT_VARIABLE release_time OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      endif()
    endif()
  endif()
  if(NOT release_time MATCHES "^[0-9]+$")
    file(TIMESTAMP "${CPACK_VELKOR_SOURCE_DIR}/CMakeLists.txt" release_time "%s" UTC)
  endif()
  set(ENV{SOURCE_DATE_EPOCH} "${release_time}")
endif()
