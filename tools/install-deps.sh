#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need that this Debian machine lacks,
# and any further packages named as arguments. Prints nothing when nothing is missing, otherwise
# one line before and one after: apt-get's own output goes to a log, shown only if a step fails.
set -euo pipefail

packages=(
  cmake ninja-build g++ libgtest-dev python3 libsodium-dev valgrind clang libclang-rt-dev
  g++-mingw-w64-x86-64-posix pkg-config openssl sbsigntool git gdb
  clang-14 lld-14 llvm-14 dpkg-dev make qemu-user-static debootstrap
  "$@"
)
# Installed without the packages they recommend, which are many and none of them needed here:
# Wine's alone are about 170 (media codecs, graphics and video drivers, fonts, systemd).
lean_packages=(wine wine64 devscripts)

installed() { [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]; }
missing_of() {
  local package
  for package in "$@"; do installed "$package" || echo "$package"; done
}
mapfile -t missing < <(missing_of "${packages[@]}")
mapfile -t missing_lean < <(missing_of "${lean_packages[@]}")

# The release is signed with the password on osslsigncode's standard input (-readpass -), which
# it reads from 2.9 on; Debian 12 has that version in its backports only.
backports=
if [ "$(. /etc/os-release && echo "${VERSION_CODENAME:-}")" = bookworm ]; then
  if ! installed osslsigncode ||
    ! dpkg --compare-versions "$(dpkg-query -W -f='${Version}' osslsigncode)" ge 2.9; then
    backports=bookworm-backports
    missing+=("osslsigncode/$backports")
  fi
elif ! installed osslsigncode; then
  missing+=(osslsigncode)
fi
[ ${#missing[@]} -eq 0 ] && [ ${#missing_lean[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
log=$(mktemp "${TMPDIR:-/tmp}/install-deps.XXXXXX")
trap 'rm -f "$log"' EXIT

# Runs one apt-get step with its output in the log, and no terminal to prompt on; on failure shows
# the end of the log and stops with apt-get's status.
apt_get() {
  local status=0
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -y -q "$@" </dev/null >>"$log" 2>&1 ||
    status=$?
  if [ "$status" -ne 0 ]; then
    echo "install-deps: apt-get $1 failed (status $status); the end of its output:" >&2
    tail -n 30 "$log" >&2
    exit "$status"
  fi
}

count=$((${#missing[@]} + ${#missing_lean[@]}))
echo "install-deps: installing $count missing package$([ "$count" -eq 1 ] || echo s)" \
  "(and what they need) with apt-get:" "${missing[@]}" "${missing_lean[@]}"
start=$SECONDS
if [ -n "$backports" ] && ! grep -Eqs "^[^#]*$backports" /etc/apt/sources.list \
  /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; then
  printf '%s\n' "Types: deb" "URIs: http://deb.debian.org/debian" "Suites: $backports" \
    "Components: main" "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" |
    "${sudo[@]}" tee "/etc/apt/sources.list.d/$backports.sources" >/dev/null
fi
apt_get update
if [ ${#missing[@]} -ne 0 ]; then apt_get install "${missing[@]}"; fi
if [ ${#missing_lean[@]} -ne 0 ]; then apt_get install --no-install-recommends "${missing_lean[@]}"; fi
echo "install-deps: done in $((SECONDS - start)) s"
