#!/usr/bin/env bash
# Installs what is missing, builds the tool and runs it: natively (with the POSIX stand-in for
# DPAPI) and as the Windows .exe under Wine (with Wine's DPAPI). Each build runs the self-test,
# then seals a sample secret and opens it again (tools/demo.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
source tools/wine-env.sh

for preset in native windows; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done
echo "== native"
bash tools/demo.sh build/native/velkor-dpapi
echo "== windows (under Wine)"
bash tools/demo.sh wine build/windows/velkor-dpapi.exe
