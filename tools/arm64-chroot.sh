#!/usr/bin/env bash
# Makes, once per machine, the ARM64 Debian 12 the ARM64 build's tests run in: debootstrap's
# minimal bookworm for arm64, run through qemu-user-static's binfmt_misc entry, with Debian's ARM64
# Wine in it. Kept in the scripts' cache folder and made again when this script changes or when its
# record of what was installed no longer matches. Prints the chroot's path. With --check, only
# checks (and prepares) what it needs of the machine, in seconds, and makes nothing.
# Fails, saying why, where binfmt_misc or the chroot cannot be had: the ARM64 tests never pass by
# skipping.
set -euo pipefail

cache=/var/cache/velkor-dpapi
root=$cache/arm64-chroot
stamp=$cache/arm64-chroot.stamp
say() { echo "arm64-chroot: $*" >&2; }
fail() { say "$*"; exit 1; }

[ "$(id -u)" -eq 0 ] || fail "needs root (debootstrap, binfmt_misc and chroot): run it with sudo"
for program in debootstrap qemu-aarch64-static; do
  command -v "$program" >/dev/null ||
    fail "$program is missing: install qemu-user-static and debootstrap (tools/install-deps.sh)"
done

# binfmt_misc, mounted where a fresh machine (or a container) has it empty, with qemu's aarch64
# entry, which runs the chroot's ARM64 programs on this machine's processor.
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
  mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
    fail "binfmt_misc cannot be mounted at $binfmt: ARM64 programs cannot run here"
fi
# Registered from the entry qemu-user-static ships, where no service did at its install (a fresh
# machine without systemd, or binfmt_misc mounted only now).
entry=/usr/lib/binfmt.d/qemu-aarch64.conf
if [ ! -e "$binfmt/qemu-aarch64" ] && [ -r "$entry" ]; then
  { cat "$entry" >"$binfmt/register"; } 2>/dev/null || true
fi
if ! grep -qs '^enabled' "$binfmt/qemu-aarch64"; then
  { echo 1 >"$binfmt/qemu-aarch64"; } 2>/dev/null || true
  grep -qs '^enabled' "$binfmt/qemu-aarch64" ||
    fail "binfmt_misc has no enabled qemu-aarch64 entry: ARM64 programs cannot run here"
fi
grep -qs '^flags: .*F' "$binfmt/qemu-aarch64" ||
  fail "binfmt_misc's qemu-aarch64 entry lacks the F flag: it cannot run inside a chroot"
[ "${1:-}" != --check ] || exit 0

inputs=$(sha256sum "$0" | cut -d' ' -f1)
# What was installed, as the stamp recorded it: a chroot whose packages changed is made anew.
installed() {
  chroot "$root" dpkg-query -W -f='${Package} ${Version} ${Architecture}\n' |
    sha256sum | cut -d' ' -f1
}
if [ -f "$stamp" ] && [ -x "$root/usr/bin/wine" ] &&
  [ "$(cat "$stamp")" = "$inputs $(installed 2>/dev/null)" ]; then
  echo "$root"
  exit 0
fi

say "making an ARM64 Debian 12 with Wine in $root (a few minutes, once per machine)"
start=$SECONDS
log=$(mktemp "${TMPDIR:-/tmp}/arm64-chroot.XXXXXX")
trap 'rm -f "$log"' EXIT
run() {
  "$@" </dev/null >>"$log" 2>&1 || {
    status=$?
    say "$1 failed (status $status); the end of its output:"
    tail -n 30 "$log" >&2
    exit "$status"
  }
}
mkdir -p "$cache"
rm -f "$stamp"
# Nothing of the chroot's is mounted: the tests' runner mounts in a namespace of each run's own.
[ ! -e "$root" ] || rm -rf --one-file-system "$root"
run debootstrap --arch=arm64 --variant=minbase bookworm "$root" http://deb.debian.org/debian
run chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get -y -q update
run chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get -y -q install \
  --no-install-recommends wine wine64
run chroot "$root" apt-get clean
echo "$inputs $(installed)" >"$stamp"
say "made in $((SECONDS - start)) s"
echo "$root"
