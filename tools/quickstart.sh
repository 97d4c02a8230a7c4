#!/usr/bin/env bash
# Installs what is missing, builds the Windows tool and runs it under Wine: the self-test, then
# a sample secret sealed and opened again.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
source tools/wine-env.sh

cmake --preset windows >/dev/null
cmake --build --preset windows
tool=(wine build/windows/velkor-dpapi.exe)

"${tool[@]}" selftest
secret=76656c6b6f72
blob=$(printf '%s\n' "$secret" | "${tool[@]}" protect)
echo "sealed $secret into ${#blob} hex digits"
printf '%s\n' "$blob" | "${tool[@]}" unprotect
