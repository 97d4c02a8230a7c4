#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need that this Debian machine lacks,
# and any further packages named as arguments.
set -euo pipefail

packages=(
  cmake ninja-build g++ libgtest-dev python3 libsodium-dev valgrind clang libclang-rt-dev
  g++-mingw-w64-x86-64-posix wine wine64 osslsigncode openssl sbsigntool git gdb
  "$@"
)
# Installed without the packages they recommend, which are many and none of them needed here.
lean_packages=(devscripts)

missing_of() {
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      echo "$package"
  done
}
mapfile -t missing < <(missing_of "${packages[@]}")
mapfile -t missing_lean < <(missing_of "${lean_packages[@]}")
[ ${#missing[@]} -eq 0 ] && [ ${#missing_lean[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
if [ ${#missing[@]} -ne 0 ]; then "${sudo[@]}" apt-get install -y -qq "${missing[@]}"; fi
if [ ${#missing_lean[@]} -ne 0 ]; then
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing_lean[@]}"
fi
