#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Makes a capture of about 1,000,000 packets with many conversations: the
# Ethernet test captures joined, then copied with every address rewritten
# from a different seed (tcprewrite, Debian's tcpreplay) and each copy an
# hour after the one before, then joined again.
# Usage: bench/many_conversations.sh OUTPUT [PACKETS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=$1
want=${2:-1000000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
command -v tcprewrite >/dev/null || { echo "tcprewrite (Debian's tcpreplay) is needed" >&2; exit 1; }
ethernet=()
for capture in "$here"/tests/captures/*.pcap; do
    [ "$(capinfos -E -M "$capture" 2>/dev/null | awk -F': *' '/encapsulation/ {print $2}')" = "ether" ] &&
        ethernet+=("$capture")
done
mergecap -a -F pcap -w "$work/base.pcap" "${ethernet[@]}"
base=$(capinfos -c -M "$work/base.pcap" | awk '/Number of packets/ {print $NF}')
copies=$(( (want + base - 1) / base ))
parts=()
for i in $(seq 1 "$copies"); do
    tcprewrite --seed="$i" --fixcsum -i "$work/base.pcap" -o "$work/seeded.pcap" 2>/dev/null
    editcap -t $((i * 3600)) "$work/seeded.pcap" "$work/part$i.pcap"
    parts+=("$work/part$i.pcap")
done
mergecap -a -F pcap -w "$work/all.pcap" "${parts[@]}"
editcap -r "$work/all.pcap" "$out" "1-$want"
echo "$out: $(capinfos -c -M "$out" | awk '/Number of packets/ {print $NF}') packets, $copies copies of $base"
