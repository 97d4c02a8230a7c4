#!/usr/bin/env bash
# Installs what is missing, builds the tool four ways and runs every test: the native build
# (with valgrind's memcheck and the constant-time check), the native build under AddressSanitizer
# and UndefinedBehaviorSanitizer (with the fuzzers, a minute each), the Windows build under
# Wine, and the Windows on ARM64 build under an ARM64 Wine in an ARM64 Debian chroot. The ARM64
# runtimes and the chroot are made once per machine and kept (see tools/arm64-toolchain.sh and
# tools/arm64-chroot.sh); where they cannot be had, the run fails.
set -euo pipefail
cd "$(dirname "$0")/.."

# What no step can install is checked first, so that a machine without it fails in seconds, not
# after the long builds: Debian 12, whose packages the builds and tests use; root or sudo, for
# the packages and the ARM64 steps (apt-get source, the scripts' cache folder, binfmt_misc,
# chroot); and, once the packages are in, binfmt_misc with qemu's ARM64 entry.
release=$(. /etc/os-release 2>/dev/null && echo "${ID:-}-${VERSION_ID:-}") || release=
if [ "$release" != debian-12 ]; then
  echo "test.sh: needs Debian 12 (bookworm), whose packages the builds and tests use, not" \
    "${release:-an unknown system}" >&2
  exit 1
fi
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null ||
    { echo "test.sh: needs root, or sudo (the packages and the ARM64 steps)" >&2; exit 1; }
  sudo=(sudo)
fi

bash tools/install-deps.sh
source tools/wine-env.sh
"${sudo[@]}" bash tools/arm64-chroot.sh --check

# The chroot (mostly downloads and emulated package installs) is made while the presets build and
# run; the ARM64 runtimes once the native presets have run. The ARM64 release is built and packed
# before the windows preset, whose Node.js client pins its executable (and the x64 one); its own
# tests run last, in the chroot.
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
