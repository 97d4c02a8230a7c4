# Sourced from the project root: quiet, prompt-free Wine in a prefix of the Windows build folder's
# own, made before the first timed or tested run, so that no other Wine run on the machine (nor its
# wineserver) can disturb these runs. The test suite uses the same prefix.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX="$PWD/build/windows/wineprefix"
mkdir -p build/windows
wine wineboot -i >/dev/null 2>&1 || true
