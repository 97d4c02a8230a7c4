#!/usr/bin/env bash
# Installs what is missing, builds the tool and runs it: natively (with the POSIX stand-in for
# DPAPI) and as the Windows .exe under Wine (with Wine's DPAPI). Each build runs the self-test,
# then seals a sample secret and opens it again.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
source tools/wine-env.sh

demo() {
  "$@" selftest
  local secret=76656c6b6f72 blob digits
  blob=$(printf '%s\n' "$secret" | "$@" protect)
  digits=$(printf '%s' "$blob" | tr -cd '0-9a-f')  # not the carriage return of a Windows line
  echo "sealed $secret into a blob of ${#digits} hex digits; opened again:"
  printf '%s\n' "$blob" | "$@" unprotect
}

for preset in native windows; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done
echo "== native"
demo build/native/velkor-dpapi
echo "== windows (under Wine)"
demo wine build/windows/velkor-dpapi.exe
