#!/bin/sh
# The ARM64 build's runner: runs a Windows program under the ARM64 Wine of the tests' ARM64
# Debian 12 chroot (made by tools/arm64-chroot.sh), through qemu-user-static's binfmt_misc entry.
# With "wineserver" first, runs that Wine's server instead (the x64 host's cannot serve ARM64
# clients).
#
# The chroot sees /proc, /dev, the temporary folder and this project's tree at their own paths,
# mounted in a mount namespace of this run's own, so nothing stays mounted in the cache folder.
# The run keeps its working folder where the chroot has it. Each step execs the next: the caller's
# process is Wine's, for its signals and its status.
root=/var/cache/velkor-dpapi/arm64-chroot
project=$(cd "$(dirname "$0")/.." && pwd -P)
tmp=$(cd "${TMPDIR:-/tmp}" && pwd -P)
if [ ! -x "$root/usr/bin/wine" ]; then
  echo "arm64-wine: no ARM64 Wine at $root: run tools/arm64-chroot.sh" >&2
  exit 125
fi
program=wine
if [ "$1" = wineserver ]; then
  program=wineserver
  shift
  # Debian keeps the server out of PATH.
  [ -x "$root/usr/bin/wineserver" ] || program=/usr/lib/wine/wineserver
fi
mkdir -p "$root$project" "$root$tmp" "$root/tmp"
exec unshare --mount --propagation private -- /bin/sh -c '
  root=$1 project=$2 tmp=$3 cwd=$4
  shift 4
  mount --rbind /proc "$root/proc" && mount --rbind /dev "$root/dev" &&
    mount --bind "$project" "$root$project" && mount --bind "$tmp" "$root$tmp" &&
    { [ "$tmp" = /tmp ] || mount --bind /tmp "$root/tmp"; } || exit 125
  exec chroot "$root" /bin/sh -c "cd \"\$1\" 2>/dev/null || cd /; shift; exec \"\$@\"" \
    arm64-wine "$cwd" "$@"' arm64-wine "$root" "$project" "$tmp" "$(pwd -P)" "$program" "$@"
