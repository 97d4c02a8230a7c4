# Sourced: quiet, prompt-free Wine, with its prefix made before the first timed or tested run.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine wineboot -i >/dev/null 2>&1 || true
