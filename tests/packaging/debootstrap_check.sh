#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the Debian packages of a build into a fresh Debian 12 root the way
# a user does, and uses them there:
#   debootstrap --variant=minbase bookworm (the mirror of this system's APT
#   sources), then in the root: apt install ./libwsbridge0_*.deb
#   ./wsbridge_*.deb ./python3-wsbridge_*.deb (which pulls the engine's
#   packages), wsbridge summary CAPTURE, python3 -c 'import wsbridge;
#   wsbridge.start()', man wsbridge, then ./libwsbridge-dev_*.deb and
#   man 3 wsbridge, and apt remove, which leaves nothing of the packages
#   behind. Prints the time of every step.
#
# Needs root, debootstrap and the network; takes a few minutes (most of it
# debootstrap and the downloads), so it is not part of the test suite: the
# test packaging_debian_packages checks the packages unpacked into a folder.
#
# usage: tests/packaging/debootstrap_check.sh BUILD_DIR CAPTURE
#        (KEEP=1 keeps the root and prints where it is)
set -eu

build=$(cd "$1" && pwd)
capture=$2

fail() {
    echo "debootstrap_check: $*" >&2
    exit 1
}

[ "$(id -u)" -eq 0 ] || fail "run it as root (debootstrap and chroot)"
command -v debootstrap >/dev/null || fail "no debootstrap (apt install debootstrap)"

# The mirrors of this system's Debian sources (one-line and deb822 files).
uris=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
    sed -n -e 's/^deb[[:space:]]\{1,\}\(\[[^]]*\][[:space:]]\{1,\}\)\{0,1\}\([^[:space:]]*\).*/\2/p' \
        -e 's/^URIs:[[:space:]]*//p' | tr ' ' '\n' | grep -E '^https?://' || true)
mirror=$(printf '%s\n' "$uris" | grep -v -e security -e '^$' | head -n 1)
security=$(printf '%s\n' "$uris" | grep -e debian-security | head -n 1)
mirror=${mirror:-http://deb.debian.org/debian}

work=$(mktemp -d "${TMPDIR:-/tmp}/wsbridge-debootstrap.XXXXXX")
root=$work/root
cleanup() {
    umount "$root/proc" 2>/dev/null || true
    if [ "${KEEP:-0}" = 1 ]; then
        echo "kept: $root"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT INT TERM

seconds() {
    date +%s.%N
}
step() {
    label=$1
    shift
    start=$(seconds)
    "$@" >"$work/step.log" 2>&1 || { cat "$work/step.log" >&2; fail "$label failed"; }
    end=$(seconds)
    awk -v label="$label" -v start="$start" -v end="$end" 'BEGIN { printf "%-60s %6.1f s\n", label, end - start }'
}
in_root() {
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive MANWIDTH=80 MANPAGER=cat PAGER=cat "$@"
}

expected=$(tshark -r "$capture" 2>/dev/null | wc -l)
step "cpack -G DEB" cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/packages"
step "debootstrap --variant=minbase bookworm ($mirror)" \
    debootstrap --variant=minbase bookworm "$root" "$mirror"

{
    echo "deb $mirror bookworm main"
    echo "deb $mirror bookworm-updates main"
    [ -z "$security" ] || echo "deb $security bookworm-security main"
} >"$root/etc/apt/sources.list"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount -t proc proc "$root/proc"
mkdir -p "$root/tmp/wsbridge"
cp "$work"/packages/*.deb "$root/tmp/wsbridge/"
cp "$capture" "$root/tmp/wsbridge/capture"

step "apt-get update" in_root apt-get update
step "apt install ./libwsbridge0 ./wsbridge ./python3-wsbridge" in_root sh -c \
    'cd /tmp/wsbridge && apt-get install -y ./libwsbridge0_*.deb ./wsbridge_*.deb ./python3-wsbridge_*.deb'
grep -E '^[0-9]+ upgraded, [0-9]+ newly installed' "$work/step.log" || true
grep -E '^Need to get' "$work/step.log" || true
step "wsbridge summary CAPTURE" in_root sh -c 'wsbridge summary /tmp/wsbridge/capture >/tmp/wsbridge/summary'
lines=$(wc -l <"$root/tmp/wsbridge/summary")
[ "$lines" -eq "$expected" ] || fail "wsbridge summary printed $lines lines, not $expected"
step "python3 -c 'import wsbridge; wsbridge.start()'" in_root python3 -c '
import wsbridge
engine = wsbridge.start()
with engine.open("/tmp/wsbridge/capture") as capture:
    assert sum(1 for _ in capture) == int('"$expected"')
print(engine.library.path)'
cat "$work/step.log"
step "apt install man-db (minbase has no man)" in_root apt-get install -y --no-install-recommends man-db
step "man wsbridge" in_root sh -c 'man wsbridge | grep -q "wsbridge summary"'
step "apt install ./libwsbridge-dev; man 3 wsbridge" in_root sh -c \
    'apt-get install -y /tmp/wsbridge/libwsbridge-dev_*.deb && man 3 wsbridge | grep -q gGetNextPacket'
step "apt remove the packages" in_root apt-get remove -y --purge \
    python3-wsbridge wsbridge libwsbridge-dev libwsbridge0
left=$(cd "$root" && find usr -name '*wsbridge*' | head -n 5)
[ -z "$left" ] || fail "apt remove left: $left"
echo "the packages install into a fresh Debian 12 root and work there; removing them leaves nothing"
