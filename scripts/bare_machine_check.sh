#!/bin/sh
# Runs the README's two commands, exactly as written, in a fresh minimal Debian 13 root file
# system: a clean checkout of HEAD and nothing else (no make, no compiler, no Python venv).
#   sh scripts/bare_machine_check.sh
# Needs root (debootstrap, mount, chroot). The minimal root file system is made once with
# debootstrap from Debian's own packages and kept as a tarball (ROOTFS_CACHE) for later runs.
set -eu
cd "$(dirname "$0")/.."

suite=${DEBIAN_SUITE:-trixie}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
cache=${ROOTFS_CACHE:-/var/cache/revuradova/$suite-minbase.tar}
root=$(pwd)/build/bare-$suite
started=$(date +%s)
elapsed() { echo "$(($(date +%s) - started)) s"; }

if [ "$(id -u)" -ne 0 ]; then
  echo "error: the bare-machine check needs root (debootstrap, mount, chroot)" >&2
  exit 1
fi
command -v debootstrap >/dev/null 2>&1 || {
  echo "error: debootstrap is missing: apt-get install -y debootstrap" >&2
  exit 1
}

if [ ! -s "$cache" ]; then
  echo "making a minimal Debian $suite root file system with debootstrap"
  work=$(mktemp -d)
  debootstrap --variant=minbase "$suite" "$work/root" "$mirror" >"$work/log" 2>&1 || {
    tail -20 "$work/log" >&2
    exit 1
  }
  mkdir -p "$(dirname "$cache")"
  tar -C "$work/root" -cf "$cache.part" . && mv "$cache.part" "$cache"
  rm -rf "$work"
  echo "root file system ready ($(elapsed))"
fi

cleanup() {
  for m in dev/pts dev sys proc; do
    if mountpoint -q "$root/$m" 2>/dev/null; then umount -l "$root/$m"; fi
  done
}
trap cleanup EXIT INT TERM
cleanup
rm -rf "$root"
mkdir -p "$root"
tar -C "$root" -xf "$cache"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# The host's certificate authorities, for a network whose TLS goes through a proxy of its own.
tls=""
host_ca=${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}
if [ -f "$host_ca" ]; then
  mkdir -p "$root/etc/ssl/certs"
  cp "$host_ca" "$root/etc/ssl/certs/host-ca.crt"
  tls="PIP_CERT=/etc/ssl/certs/host-ca.crt"
fi
mkdir -p "$root/root/revuradova"
git archive --format=tar HEAD | tar -C "$root/root/revuradova" -xf -
mount -t proc proc "$root/proc"
mount --bind /sys "$root/sys"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"

# The README's commands, as a user types them after cloning, with a bare environment.
commands=$(awk '/^## Two commands/ { found = 1; next }
  found && /^```sh$/ { inside = 1; next }
  inside && /^```$/ { exit }
  inside { sub(/ *#.*/, ""); if ($0 != "") print }' README.md)
[ -n "$commands" ] || { echo "error: no commands found under '## Two commands' in README.md" >&2; exit 1; }
echo "running in a fresh Debian $suite:"
echo "$commands" | sed 's/^/  /'
[ -z "${BARE_ALSO:-}" ] || echo "  then make: $BARE_ALSO"
# BARE_ALSO names more make targets to run there afterwards (CI: sanitize, so that the
# sanitizers run with Debian 13's compiler and GoogleTest too).
also=""
for target in ${BARE_ALSO:-}; do also="$also
make $target"; done
env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
  LANG=C.UTF-8 TERM=dumb $tls chroot "$root" /bin/sh -euc "cd /root/revuradova
$commands$also"
cleanup
rm -rf "$root"  # a whole root file system: nothing later should walk through it
echo "bare-machine check passed ($(elapsed))"
