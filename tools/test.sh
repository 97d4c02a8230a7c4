#!/usr/bin/env bash
# Installs what is missing, builds the tool three ways and runs every test: the native build
# (with valgrind's memcheck and the constant-time check), the native build under AddressSanitizer
# and UndefinedBehaviorSanitizer (with the fuzzers, a minute each), and the Windows build under
# Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
source tools/wine-env.sh

for preset in native sanitize windows; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
