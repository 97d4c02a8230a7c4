# Sourced from the project root: quiet, prompt-free Wine in a prefix of the Windows build folder's
# own, made before the first timed or tested run, so that no other Wine run on the machine (nor its
# wineserver) can disturb these runs. The test suite uses the same prefix. Wine's services start
# here, with no pipes of the caller's to hold open, and the session outlives its last process by
# 15 s, so that no pipeline waits seconds for them to let go of its pipes.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX="$PWD/build/windows/wineprefix"
mkdir -p build/windows
wineserver -p15 </dev/null >/dev/null 2>&1 || true
wine wineboot -i </dev/null >/dev/null 2>&1 || true
