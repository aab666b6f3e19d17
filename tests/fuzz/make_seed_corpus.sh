#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# make_seed_corpus.sh CAPTURES_DIR OUT_DIR
# Builds the fuzzing seed corpus from the shared captures, in the build tree
# (never in the repository): each capture cut to its first 16 packets in its
# own format, kept when it stays within 16 KB (every input costs the harness
# a full sweep, so small seeds leave time for fuzzing), plus a
# gzip-compressed one.
set -euo pipefail
captures=$1
out=$2
limit=16384
mkdir -p "$out"
for path in "$captures"/*.pcap "$captures"/*.pcapng; do
    [ -f "$path" ] || continue
    name=$(basename "$path")
    case "$name" in
        *.pcapng) format=pcapng ;;
        *) format=pcap ;;
    esac
    for count in 16 4 1; do
        editcap -F "$format" -r "$path" "$out/$name" "1-$count" >/dev/null 2>&1 || true
        if [ -f "$out/$name" ] && [ "$(stat -c %s "$out/$name")" -le "$limit" ]; then
            break
        fi
        rm -f "$out/$name"
    done
done
if [ -f "$out/dns_tcp.pcap" ]; then
    gzip -c "$out/dns_tcp.pcap" > "$out/dns_tcp.pcap.gz"
fi
echo "seed corpus: $(ls "$out" | wc -l) files, $(du -sk "$out" | cut -f1) KB in $out"
