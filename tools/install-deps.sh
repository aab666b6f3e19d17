#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs, on Debian 12, what a wsbridge command needs, when missing:
#   tools/install-deps.sh          building and running (compiler, CMake,
#                                  pkg-config, the engine's -dev packages)
#   tools/install-deps.sh --test   that, and what the test suite runs (tshark
#                                  and the engine's tools as oracles,
#                                  GoogleTest, pytest, pandas, dask.distributed;
#                                  pip, setuptools and wheel, dpkg-dev, man and
#                                  groff for the packaging tests)
#   tools/install-deps.sh --ci     that, and the sanitizer, valgrind and
#                                  fuzzing tools of the extra CI steps
#   tools/install-deps.sh --bench  the test tools, and tcpreplay, which
#                                  bench/run.sh rewrites addresses with
set -e
build="build-essential cmake pkg-config libwireshark-dev libwiretap-dev libglib2.0-dev"
test_tools="tshark libgtest-dev googletest python3 python3-pytest python3-pandas python3-distributed python3-matplotlib
  python3-pip python3-setuptools python3-wheel dpkg-dev man-db groff-base"
ci_tools="valgrind clang libclang-rt-14-dev llvm"
bench_tools="tcpreplay time"
case "${1:-}" in
  "") packages=$build ;;
  --test) packages="$build $test_tools" ;;
  --ci) packages="$build $test_tools $ci_tools" ;;
  --bench) packages="$build $test_tools $bench_tools" ;;
  *) echo "usage: tools/install-deps.sh [--test | --ci | --bench]" >&2; exit 2 ;;
esac
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "installing:$missing" >&2
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing >/dev/null
