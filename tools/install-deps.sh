#!/bin/sh
# Installs what building and testing wsbridge needs on Debian 12, when missing.
set -e
packages="build-essential cmake pkg-config libwireshark-dev libwiretap-dev libglib2.0-dev tshark
  libgtest-dev googletest python3 python3-pytest valgrind clang libclang-rt-14-dev llvm"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing >/dev/null
