#!/usr/bin/env bash
# Benchmarks wsbridge against tshark and the bare engine, in one run on this
# machine. Usage: bench/run.sh [BUILD_DIR] (default build). Scratch data goes
# to $BENCH_DIR (default /tmp/wsbridge-bench) and is made once. RUNS sets the
# number of timed runs per figure (default 5); the median is reported.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build_arg=${1:-$here/build}
# The benchmark programs are built only on request.
cmake -S "$here" -B "$build_arg" -DWSB_BENCH=ON >/dev/null
cmake --build "$build_arg" -j2 >/dev/null
build=$(cd "$build_arg" && pwd)
data=${BENCH_DIR:-/tmp/wsbridge-bench}
runs=${RUNS:-5}
source_capture=$here/tests/captures/example2.pcap
# The preferences the library switches off, as tshark's -o options.
prefs=$(sed -n 's/^\([a-z0-9_]*\.[a-z0-9_]*:FALSE\)$/-o \1/p' "$here/lib/engine/preference_overrides.txt" | tr '\n' ' ')
mkdir -p "$data"
big=$data/big.pcap
small=$data/first20k.pcap
one=$data/first1.pcap

if [ ! -s "$big" ]; then
    echo "making $big from $(basename "$source_capture") (about 1,000,000 packets)..."
    parts=()
    for i in $(seq 0 212); do
        editcap -t $((i * 3600)) "$source_capture" "$data/part$i.pcap"
        parts+=("$data/part$i.pcap")
    done
    mergecap -a -w "$big" "${parts[@]}"
    rm -f "${parts[@]}"
fi
[ -s "$small" ] || editcap -r "$big" "$small" 1-20000
[ -s "$one" ] || editcap -r "$big" "$one" 1
packets=$(capinfos -c -M "$big" | awk '/Number of packets/ {print $NF}')
echo "input: $big, $packets packets"

# median_time NAME COMMAND...: runs the command $runs times (output to
# /dev/null), records the median wall time in seconds and the largest peak
# resident memory in kB.
declare -A seconds memory
median_time() {
    local name=$1; shift
    local times=() peak=0
    for _ in $(seq "$runs"); do
        /usr/bin/time -f "%e %M" -o "$data/time.out" "$@" > /dev/null 2>&1
        read -r t m < "$data/time.out"
        times+=("$t")
        [ "$m" -gt "$peak" ] && peak=$m
    done
    seconds[$name]=$(printf '%s\n' "${times[@]}" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
    memory[$name]=$peak
    printf '%-34s %8.2f s  %8d kB peak\n' "$name" "${seconds[$name]}" "$peak"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }

echo
echo "== sequential reading ($runs runs each, median)"
# shellcheck disable=SC2086
median_time "a library walk" "$build/wsb_walk" "$big"
median_time "b tshark -T fields Protocol Info" tshark -r "$big" $prefs -T fields -e _ws.col.Protocol -e _ws.col.Info
median_time "c tshark plain" tshark -r "$big"
median_time "d bare engine loop" "$build/wsb_bare_engine" "$big"
median_time "e wiretap read only" "$build/wsb_wiretap_read" "$big"

echo
echo "== random access: trees of 10,000 packets spread over the file"
median_time "f0 library sequential pass only" "$build/wsb_trees" "$big" 0
median_time "f1 library pass + 10000 trees" "$build/wsb_trees" "$big" 10000
median_time "f2 tshark -T pdml, 20000 packets" tshark -r "$small" $prefs -T pdml
median_time "f3 tshark -T pdml, 1 packet" tshark -r "$one" $prefs -T pdml
tree_cost=$(awk -v a="${seconds[f1 library pass + 10000 trees]}" -v b="${seconds[f0 library sequential pass only]}" \
    'BEGIN {printf "%.1f", (a - b) / 10000 * 1e6}')
pdml_cost=$(awk -v a="${seconds[f2 tshark -T pdml, 20000 packets]}" -v b="${seconds[f3 tshark -T pdml, 1 packet]}" \
    'BEGIN {printf "%.1f", (a - b) / 19999 * 1e6}')

echo
echo "== following the largest TCP conversation"
set +o pipefail  # head and tail end tshark's output early
stream=$(tshark -r "$big" -T fields -e tcp.stream 2>/dev/null | grep . | sort -n | uniq -c | sort -n | tail -1 |
    awk '{print $2}')
frame=$(tshark -r "$big" -Y "tcp.stream==$stream" -T fields -e frame.number 2>/dev/null | head -1)
set -o pipefail
echo "tcp.stream $stream, first frame $frame"
median_time "g library follow" "$build/wsb_follow" "$big" "$frame"
median_time "g tshark -z follow,tcp,raw" tshark -r "$big" $prefs -q -z "follow,tcp,raw,$stream"

echo
echo "== ratios (targets in brackets)"
echo "b/a tshark fields vs library:     $(ratio "${seconds[b tshark -T fields Protocol Info]}" "${seconds[a library walk]}")  [>= 2]"
echo "c/a tshark plain vs library:      $(ratio "${seconds[c tshark plain]}" "${seconds[a library walk]}")  [>= 1]"
echo "a/d library vs bare engine:       $(ratio "${seconds[a library walk]}" "${seconds[d bare engine loop]}")  [<= 1.05]"
echo "a/e library vs wiretap alone:     $(ratio "${seconds[a library walk]}" "${seconds[e wiretap read only]}")"
echo "tree per packet: library ${tree_cost} us, tshark pdml ${pdml_cost} us, ratio $(ratio "$pdml_cost" "$tree_cost")  [>= 3]"
echo "follow: tshark/library $(ratio "${seconds[g tshark -z follow,tcp,raw]}" "${seconds[g library follow]}")  [>= 1]"
echo "peak memory a/b: $(ratio "${memory[a library walk]}" "${memory[b tshark -T fields Protocol Info]}")  [<= 1]"

echo
echo "== memory over time"
# Every shared capture but the large one, in turn, 1000 captures in all; the
# target for a host that stays up is less than 30 MB of growth after the
# first 30.
mix=()
for capture in "$here"/tests/captures/*.pcap "$here"/tests/captures/*.pcapng; do
    [ "$(basename "$capture")" = "$(basename "$source_capture")" ] || mix+=("$capture")
done
echo "opening, reading and closing 1000 captures, ${#mix[@]} shared ones in turn (opens, resident kB):"
"$build/wsb_reopen" 1000 "${mix[@]}" | tee "$data/reopen.out" | head -n -1 | tr '\n' ' '; echo
echo "$(tail -1 "$data/reopen.out")  [< 30 MB]"
echo "the same 300 times with gHackedCleanup after each capture's first packet:"
WSB_HACKED_CLEANUP=1 "$build/wsb_reopen" 300 "${mix[@]}" | tail -1
echo "reading the large file (packets, resident kB):"
WSB_RSS_EVERY=100000 "$build/wsb_walk" "$big" 2>&1 >/dev/null | tr '\n' ' '; echo
