#!/usr/bin/env bash
# Installs what is missing, builds the native and the Windows tool, and runs every test:
# natively, and the Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
source tools/wine-env.sh

for preset in native windows; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
