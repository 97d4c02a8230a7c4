#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need that this Debian machine lacks,
# and any further packages named as arguments.
set -euo pipefail

packages=(
  cmake ninja-build g++ libgtest-dev python3 libsodium-dev valgrind clang libclang-rt-dev
  g++-mingw-w64-x86-64-posix wine wine64 osslsigncode openssl git
  "$@"
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq "${missing[@]}"
