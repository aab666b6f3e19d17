#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Live capture on the loopback interface (needs capture rights): PACKETS UDP
# datagrams at RATE a second read through the library with one session and
# with a new session every SESSION packets (resident memory at every
# million), then tshark -i lo on the same traffic (what it captured and
# dropped). The spool of one session grows by about 80 bytes a packet in
# $TMPDIR (400 MB for 5 million); the session run keeps a ring of two 64 MB
# files.
#
# Usage: bench/live.sh [BUILD_DIR] [PACKETS] [RATE] [SESSION]
# (defaults: build 1000000 100000 100000; BUILD_DIR configured with
# -DWSB_BENCH=ON and wsb_live built)
set -eu
build=${1:-build}
packets=${2:-1000000}
rate=${3:-100000}
session=${4:-100000}
program=$build/wsb_live
[ -x "$program" ] || { echo "live.sh: build $program first (cmake -DWSB_BENCH=ON; --target wsb_live)" >&2; exit 2; }

echo "== wsbridge, one session"
"$program" capture "$packets" "$rate"
echo "== wsbridge, a new session every $session packets"
"$program" capture "$packets" "$rate" "$session"

echo "== tshark -i lo on the same traffic"
port=47391
# Generous: tshark reads (and prints) what dumpcap wrote after the sending.
seconds=$((packets / (rate > 0 ? rate : 100000) * 3 + 30))
tshark -i lo -n -f "udp dst port $port" -c "$packets" -a "duration:$seconds" > /dev/null 2> "${TMPDIR:-/tmp}/wsb_live_tshark.$$" &
tshark_pid=$!
sleep 2
start=$(date +%s.%N)
"$program" send "$port" "$packets" "$rate"
wait "$tshark_pid" || true
end=$(date +%s.%N)
grep -v "^Capturing\|^Running as" "${TMPDIR:-/tmp}/wsb_live_tshark.$$" || true
rm -f "${TMPDIR:-/tmp}/wsb_live_tshark.$$"
echo "tshark: $(echo "$end - $start" | bc) s from the first datagram sent to its end"
