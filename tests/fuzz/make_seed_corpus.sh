#!/usr/bin/env bash
# make_seed_corpus.sh CAPTURES_DIR OUT_DIR
# Builds the fuzzing seed corpus from the shared captures, in the build tree
# (never in the repository): small captures as they are, larger ones cut to
# their first packets, plus a gzip-compressed one. Every seed stays under
# 64 KB, the harness's -max_len.
set -euo pipefail
captures=$1
out=$2
limit=65536
mkdir -p "$out"
for path in "$captures"/*.pcap "$captures"/*.pcapng; do
    [ -f "$path" ] || continue
    name=$(basename "$path")
    case "$name" in
        *.pcapng) format=pcapng ;;
        *) format=pcap ;;
    esac
    if [ "$(stat -c %s "$path")" -le 16384 ]; then
        cp "$path" "$out/$name"
        chmod u+w "$out/$name"
        continue
    fi
    for count in 24 8 2; do
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
