#!/usr/bin/env bash
# Installs what is missing, builds the tool four ways and runs every test: the native build
# (with valgrind's memcheck and the constant-time check), the native build under AddressSanitizer
# and UndefinedBehaviorSanitizer (with the fuzzers, a minute each), the Windows build under
# Wine, and the Windows on ARM64 build under an ARM64 Wine in an ARM64 Debian chroot. The ARM64
# runtimes and the chroot are made once per machine and kept (see tools/arm64-toolchain.sh and
# tools/arm64-chroot.sh); where they cannot be had, the run fails.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
source tools/wine-env.sh

# The ARM64 steps need root, as CI has it: apt-get source, the scripts' cache folder, binfmt_misc,
# chroot. The chroot (mostly downloads and emulated package installs) is made while the presets
# build and run; the ARM64 runtimes once the native presets have run. The ARM64 release is built
# and packed before the windows preset, whose Node.js client pins its executable (and the x64
# one); its own tests run last, in the chroot.
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
"${sudo[@]}" bash tools/arm64-chroot.sh >/dev/null &
chroot_job=$!

for preset in native sanitize; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

"${sudo[@]}" bash tools/arm64-toolchain.sh >/dev/null
cmake --preset windows-arm64
cmake --build --preset windows-arm64
cpack --preset windows-arm64

cmake --preset windows
cmake --build --preset windows
ctest --preset windows

wait "$chroot_job"  # its failure (no binfmt_misc, no chroot) fails the run
ctest --preset windows-arm64
