# Run at install time (install(CODE)): the project's README into the release, with each link into
# the project's other documents turned into its text. The release holds none of them, so such a
# link would lead nowhere; the text still names the document, which the project's source holds
# at the release's tag. Links to the licence (in the release), to the README's own headings and
# to web addresses stay.
#
# Set by the caller: VELKOR_README_SOURCE (the project's README.md), VELKOR_VERSION.

file(READ "${VELKOR_README_SOURCE}" readme)
string(REGEX MATCHALL "\\[[^]\n]*\\]\\([^)\n]*\\)" links "${readme}")
list(REMOVE_DUPLICATES links)
foreach(link IN LISTS links)
  string(REGEX REPLACE "^\\[([^]]*)\\]\\(([^)]*)\\)$" "\\1" text "${link}")
  string(REGEX REPLACE "^\\[([^]]*)\\]\\(([^)]*)\\)$" "\\2" target "${link}")
  if(NOT target MATCHES "^(LICENSE|#|https?://)")
    string(REPLACE "${link}" "${text}" readme "${readme}")
  endif()
endforeach()
# After the title: where the documents it names are.
string(REGEX REPLACE "^(# [^\n]*\n)" "\\1
The documents this README names (under `docs/`, `clients/node/`, `SECURITY.md`, `CHANGELOG.md`)
are in the project's source at the tag `v${VELKOR_VERSION}`; this release holds the tool, this
README and its licences.
" readme "${readme}")
# Written with the modes an installed file gets, whatever the umask: the zip keeps them.
set(installed "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/README.md")
file(WRITE "${installed}" "${readme}")
file(CHMOD "${installed}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
