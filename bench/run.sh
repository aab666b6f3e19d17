#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Benchmarks wsbridge against tshark and the bare engine, in one run on this
# machine, and prints one table of every figure with its ratio and target.
# Usage: bench/run.sh [BUILD_DIR] (default build). Scratch data goes to
# $BENCH_DIR (default /tmp/wsbridge-bench) and is made once. RUNS sets the
# number of rounds (default 3), each timing every command once; the median
# is reported. PACKETS sets the size of the made captures (default about
# 1,000,000; a smaller one in another BENCH_DIR makes a quick trial run).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build_arg=${1:-$here/build}
# The benchmark programs are built only on request.
"$here/tools/install-deps.sh" --bench
cmake -S "$here" -B "$build_arg" -DWSB_BENCH=ON >/dev/null
cmake --build "$build_arg" -j2 >/dev/null
build=$(cd "$build_arg" && pwd)
data=${BENCH_DIR:-/tmp/wsbridge-bench}
runs=${RUNS:-3}
want=${PACKETS:-1000000}
source_capture=$here/tests/captures/example2.pcap
# The preferences the library switches off, as tshark's -o options.
prefs=$(sed -n 's/^\([a-z0-9_]*\.[a-z0-9_]*:FALSE\)$/-o \1/p' "$here/lib/engine/preference_overrides.txt" | tr '\n' ' ')
mkdir -p "$data"
big=$data/big.pcap
small=$data/first20k.pcap
one=$data/first1.pcap

if [ ! -s "$big" ]; then
    echo "making $big from $(basename "$source_capture") (about $want packets)..."
    source_packets=$(capinfos -c -M "$source_capture" | awk '/Number of packets/ {print $NF}')
    parts=()
    for i in $(seq 0 $(( (want + source_packets - 1) / source_packets - 1 ))); do
        editcap -t $((i * 3600)) "$source_capture" "$data/part$i.pcap"
        parts+=("$data/part$i.pcap")
    done
    mergecap -a -w "$big" "${parts[@]}"
    rm -f "${parts[@]}"
fi
# A capture of as many packets with many conversations (the test captures
# with their addresses rewritten per copy), for reading on several cores.
many=$data/many.pcap
[ -s "$many" ] || "$here/bench/many_conversations.sh" "$many" "$(capinfos -c -M "$big" | awk '/Number of packets/ {print $NF}')"
# The shapes of captures users have (bench/real_shapes.py): one client and
# one server over many parallel connections, and a pair of hosts without
# ports carrying 40 % of the packets among many small captures.
one_pair=$data/one_pair.pcap
portless=$data/portless_pair.pcap
[ -s "$one_pair" ] && [ -s "$portless" ] || python3 "$here/bench/real_shapes.py" "$data" "$want"
[ -s "$small" ] || editcap -r "$big" "$small" 1-20000
[ -s "$one" ] || editcap -r "$big" "$one" 1
packets=$(capinfos -c -M "$big" | awk '/Number of packets/ {print $NF}')
echo "input: $big, $packets packets; $(nproc) cpus, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"
echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"

# timing NAME COMMAND...: registers a command to time; run_timings runs every
# registered command once per round, $runs rounds, so that a spell in which
# the machine runs slower weighs on every figure alike. Each figure is the
# median wall time of its rounds (output to /dev/null), with the largest
# peak resident memory in kB.
declare -A seconds memory
timing_names=()
timing_commands=()
timing() {
    local name=$1; shift
    timing_names+=("$name")
    timing_commands+=("$(printf '%q ' "$@")")
}
run_timings() {
    local round i t m
    local -A times peaks
    for round in $(seq "$runs"); do
        for i in "${!timing_names[@]}"; do
            eval "/usr/bin/time -f '%e %M' -o '$data/time.out' ${timing_commands[$i]}" > /dev/null 2>&1
            read -r t m < "$data/time.out"
            times[$i]+="$t "
            [ "$m" -gt "${peaks[$i]:-0}" ] && peaks[$i]=$m
        done
        echo "  round $round of $runs done"
    done
    for i in "${!timing_names[@]}"; do
        local name=${timing_names[$i]}
        # shellcheck disable=SC2086
        seconds[$name]=$(printf '%s\n' ${times[$i]} | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
        memory[$name]=${peaks[$i]}
        printf '  %-44s %8.2f s  %8d kB peak\n' "$name" "${seconds[$name]}" "${memory[$name]}"
    done
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }

# The table, filled as the figures come in and printed at the end:
# figure | wsbridge | reference | ratio | target | met
rows=()
# row FIGURE OURS REFERENCE RATIO TARGET: TARGET is ">= x", "<= x" or "-".
row() {
    local met=-
    case $5 in
        ">= "*) met=$(awk -v r="$4" -v t="${5#>= }" 'BEGIN {print (r >= t) ? "yes" : "NO"}') ;;
        "<= "*) met=$(awk -v r="$4" -v t="${5#<= }" 'BEGIN {print (r <= t) ? "yes" : "NO"}') ;;
    esac
    rows+=("$(printf '| %-40s | %-15s | %-34s | %6s | %-7s | %-3s |' "$1" "$2" "$3" "$4" "$5" "$met")")
}
# faster OURS_NAME REFERENCE_NAME FIGURE REFERENCE_LABEL TARGET: a speed
# figure, ratio = reference time / our time (above 1: we are faster).
faster() {
    local ours=${seconds[$1]} reference=${seconds[$2]}
    row "$3" "${ours} s" "$4 ${reference} s" "$(ratio "$reference" "$ours")" "$5"
}

echo
echo "== timings ($runs rounds of every command, median wall time)"
set +o pipefail  # head and tail end tshark's output early
stream=$(tshark -r "$big" -T fields -e tcp.stream 2>/dev/null | grep . | sort -n | uniq -c | sort -n | tail -1 |
    awk '{print $2}')
frame=$(tshark -r "$big" -Y "tcp.stream==$stream" -T fields -e frame.number 2>/dev/null | head -1)
set -o pipefail
# shellcheck disable=SC2086
timing "library walk" "$build/wsb_walk" "$big"
timing "library walk, batches of 256" "$build/wsb_walk" --batch 256 "$big"
# Statistics as a host asks for them: a conversation table, the endpoints
# and traffic per interval (the capture spans years, hence the interval);
# and the protocol hierarchy, which needs every packet's protocol tree.
stats_options=(--stats conv,tcp --stats endpoints,ip --stats io,stat,100000)
timing "library walk with statistics" "$build/wsb_walk" "${stats_options[@]}" "$big"
timing "library walk with the hierarchy" "$build/wsb_walk" --stats io,phs "$big"
timing "tshark -T fields Protocol Info" tshark -r "$big" $prefs -T fields -e _ws.col.Protocol -e _ws.col.Info
timing "tshark plain" tshark -r "$big"
# The engine's own cost of the hierarchy: tshark's listing with and without
# io,phs (the protocol tree it builds, invisible, as the library's).
timing "tshark plain with io,phs" tshark -r "$big" -z io,phs
timing "bare engine loop" "$build/wsb_bare_engine" "$big"
timing "wiretap read only" "$build/wsb_wiretap_read" "$big"

# The C# binding walking the same capture (bench/dotnet_walk, the twin of
# walk.c through bindings/dotnet), when dotnet is found.
dotnet_walk=""
if command -v dotnet > /dev/null 2>&1; then
    if DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 dotnet build "$here/bench/dotnet_walk/DotnetWalk.csproj" \
        -c Release -nologo -p:WsbOutputRoot="$build/dotnet/" -p:WsbNativeLibrary="$build/libwsbridge.so" \
        > "$data/dotnet-build.out" 2>&1; then
        dotnet_walk=$build/dotnet/bin/DotnetWalk/Release/net10.0/DotnetWalk
        timing "C# walk (binding)" "$dotnet_walk" "$big"
    else
        echo "the C# walk did not build (see $data/dotnet-build.out)"
    fi
fi

timing "wsbridge summary" "$build/wsbridge" summary "$big"
timing "tshark -n -r" tshark -n -r "$big" $prefs

timing "wsbridge summary --jobs 1, many conv." "$build/wsbridge" summary "$many" --jobs 1
timing "wsbridge summary --jobs 2, many conv." "$build/wsbridge" summary "$many" --jobs 2
timing "tshark -n -r, many conversations" tshark -n -r "$many" $prefs
timing "wsbridge summary --jobs 2" "$build/wsbridge" summary "$big" --jobs 2
timing "wsbridge summary --jobs 4, many conv." "$build/wsbridge" summary "$many" --jobs 4
timing "wsbridge summary --jobs 2, one pair" "$build/wsbridge" summary "$one_pair" --jobs 2
timing "wsbridge summary --jobs 4, one pair" "$build/wsbridge" summary "$one_pair" --jobs 4
timing "tshark -n -r, one pair" tshark -n -r "$one_pair" $prefs
timing "wsbridge summary --jobs 2, port-less pair" "$build/wsbridge" summary "$portless" --jobs 2
timing "tshark -n -r, port-less pair" tshark -n -r "$portless" $prefs

timing "wsbridge fields" "$build/wsbridge" fields "$big" -e ip.src -e dns.qry.name
timing "tshark -T fields" tshark -n -r "$big" $prefs -T fields -E occurrence=f -e frame.number -e ip.src \
    -e dns.qry.name

# Trees and PDML of the same 20,000 packets: the library reads them in
# sequence, then builds the tree of each; tshark writes the PDML of each.
timing "library pass only, 20000 packets" "$build/wsb_trees" "$small" 0
timing "library pass + 20000 trees" "$build/wsb_trees" "$small" 20000
timing "tshark -T pdml, 20000 packets" tshark -r "$small" $prefs -T pdml
timing "tshark -T pdml, 1 packet" tshark -r "$one" $prefs -T pdml

timing "library follow (tcp.stream $stream)" "$build/wsb_follow" "$big" "$frame"
timing "tshark -z follow,tcp,ascii" tshark -r "$big" $prefs -q -z "follow,tcp,ascii,$stream"

timing "wsbridge save, every packet" "$build/wsbridge" save "$big" "$data/saved.pcap" "1-$packets"
timing "tshark -Y frame -w" tshark -r "$big" $prefs -Y frame -F pcap -w "$data/saved-tshark.pcap"
run_timings
tree_cost=$(awk -v a="${seconds[library pass + 20000 trees]}" -v b="${seconds[library pass only, 20000 packets]}" \
    'BEGIN {printf "%.1f", (a - b) / 20000 * 1e6}')
pdml_cost=$(awk -v a="${seconds[tshark -T pdml, 20000 packets]}" -v b="${seconds[tshark -T pdml, 1 packet]}" \
    'BEGIN {printf "%.1f", (a - b) / 19999 * 1e6}')
rm -f "$data/saved.pcap" "$data/saved-tshark.pcap"

echo
echo "== memory over time"
# Resident memory while one process opens, reads and closes many captures:
# every shared capture but the large one, in turn, 1000 captures in all. The
# target for a host that stays up is less than 30 MB of growth after the
# first 30 (bench/reopen.c prints it last).
mix=()
for capture in "$here"/tests/captures/*.pcap "$here"/tests/captures/*.pcapng; do
    [ "$(basename "$capture")" = "$(basename "$source_capture")" ] || mix+=("$capture")
done
echo "opening, reading and closing 1000 captures, ${#mix[@]} shared ones in turn (opens, resident kB):"
"$build/wsb_reopen" 1000 "${mix[@]}" > "$data/reopen.out"
head -n -1 "$data/reopen.out" | tr '\n' ' '; echo
tail -1 "$data/reopen.out"
reopen_growth=$(sed -n 's/^growth after the first 30 captures: \([0-9.-]*\) MB.*/\1/p' "$data/reopen.out")
reopen_per_capture=$(awk -v g="$reopen_growth" 'BEGIN {printf "%.1f", g * 1024 / 970}')
echo "the same 300 times with gHackedCleanup after each capture's first packet:"
WSB_HACKED_CLEANUP=1 "$build/wsb_reopen" 300 "${mix[@]}" > "$data/reopen-hacked.out"
tail -1 "$data/reopen-hacked.out"
hacked_growth=$(sed -n 's/^growth after the first 30 captures: \([0-9.-]*\) MB.*/\1/p' "$data/reopen-hacked.out")
echo "reading the large file (packets, resident kB):"
WSB_RSS_EVERY=200000 "$build/wsb_walk" "$big" 2>&1 >/dev/null | tr '\n' ' '; echo

# Parallel captures: bench/parallel.py (Python binding, 1 and 2 worker
# processes over 80 captures) when it exists.
parallel_row=("parallel captures, 2 processes vs 1" "not measured" "bench/parallel.py absent" "-" "-")
if [ -f "$here/bench/parallel.py" ]; then
    echo
    echo "== parallel captures (bench/parallel.py)"
    if RUNS=$runs BENCH_DIR=$data python3 "$here/bench/parallel.py" "$build" > "$data/parallel.out" 2>&1; then
        cat "$data/parallel.out"
        one_process=$(sed -n 's/^map_captures, 1 process: \([0-9.]*\) s.*/\1/p' "$data/parallel.out")
        two_processes=$(sed -n 's/^map_captures, 2 processes: \([0-9.]*\) s.*/\1/p' "$data/parallel.out")
        if [ -n "$one_process" ] && [ -n "$two_processes" ]; then
            parallel_row=("parallel captures, 2 processes vs 1" "${two_processes} s" "1 process ${one_process} s"
                "$(ratio "$one_process" "$two_processes")" "-")
        fi
    else
        cat "$data/parallel.out"
        parallel_row=("parallel captures, 2 processes vs 1" "failed" "see above" "-" "-")
    fi
fi

echo
echo "== reading shares: packets per share by each way of sharing (bench/shard_balance.cpp)"
"$build/wsb_shard_balance" "$big" "$many" "$one_pair" "$portless"
# Every test capture joined into one, as the tests join them.
joined=$data/test_captures.pcapng
mergecap -a -F pcapng -w "$joined" "$here"/tests/captures/*.pcap "$here"/tests/captures/*.pcapng
echo "lines of summary --jobs 2 that differ from one process, and the packets of each share (--jobs-stats):"
declare -A equal balance
for capture in "$big" "$many" "$one_pair" "$portless" "$joined"; do
    name=$(basename "$capture")
    "$build/wsbridge" summary "$capture" > "$data/jobs1.txt"
    "$build/wsbridge" summary "$capture" --jobs 2 --jobs-stats > "$data/jobs2.txt" 2> "$data/jobs2.err"
    lines=$(wc -l < "$data/jobs1.txt")
    differing=$(diff "$data/jobs1.txt" "$data/jobs2.txt" | grep -c '^<' || true)
    equal[$name]=$(awk -v l="$lines" -v d="$differing" 'BEGIN {printf "%.3f", l ? 100 * (l - d) / l : 100}')
    balance[$name]=$(sed -n 's/^wsbridge: largest share \/ even share: //p' "$data/jobs2.err")
    echo "  $name: $differing of $lines lines differ; $(grep -o '[0-9]* packets ([0-9.]* %)' "$data/jobs2.err" |
        tr '\n' ' ')"
done
rm -f "$data/jobs1.txt" "$data/jobs2.txt" "$data/jobs2.err"

# Python reading in batches: to_dataframe against tshark -T fields read by
# pandas, iterating a capture against the C walk (wall time; processor time,
# user + system, in parentheses: the machine may be shared).
python=$(sed -n 's/^WSB_PYTHON:FILEPATH=//p' "$build/CMakeCache.txt")
python=${python:-python3}
echo
echo "== Python reading in batches (bench/python_batches.py)"
python_figure() { sed -n "s/^$1: \([0-9.]*\) s wall, \([0-9.]*\) s cpu\$/\\$2/p" "$data/python_batches.out"; }
# shellcheck disable=SC2086
if RUNS=$runs "$python" "$here/bench/python_batches.py" "$build" "$big" $prefs > "$data/python_batches.out" 2>&1; then
    cat "$data/python_batches.out"
    frame_wall=$(python_figure "to_dataframe (summary and 4 fields)" 1)
    frame_cpu=$(python_figure "to_dataframe (summary and 4 fields)" 2)
    csv_wall=$(python_figure "tshark -T fields | pandas.read_csv" 1)
    csv_cpu=$(python_figure "tshark -T fields | pandas.read_csv" 2)
    iterate_wall=$(python_figure "Python iteration" 1)
    iterate_cpu=$(python_figure "Python iteration" 2)
    walk_wall=$(python_figure "C walk" 1)
    walk_cpu=$(python_figure "C walk" 2)
    python_rows=(
        "to_dataframe (Python) vs tshark+pandas|${frame_wall} s (cpu ${frame_cpu})|tshark+read_csv ${csv_wall} s (cpu ${csv_cpu})|$(ratio "$csv_wall" "$frame_wall")|>= 2"
        "to_dataframe vs tshark+pandas, cpu|${frame_cpu} s|tshark+read_csv ${csv_cpu} s|$(ratio "$csv_cpu" "$frame_cpu")|>= 2"
        "Python iteration / C walk|${iterate_wall} s (cpu ${iterate_cpu})|C walk ${walk_wall} s (cpu ${walk_cpu})|$(ratio "$iterate_wall" "$walk_wall")|<= 1.5"
        "Python iteration / C walk, cpu|${iterate_cpu} s|C walk ${walk_cpu} s|$(ratio "$iterate_cpu" "$walk_cpu")|<= 1.5"
    )
else
    cat "$data/python_batches.out"
    python_rows=("Python reading in batches|failed|see above|-|-")
fi

faster "library walk" "tshark -T fields Protocol Info" "summary walk (library) vs tshark fields" "tshark -T fields" ">= 2"
faster "library walk" "tshark plain" "summary walk (library) vs tshark plain" "tshark -r" ">= 1"
row "summary walk (library) / bare engine" "${seconds[library walk]} s" "bare loop ${seconds[bare engine loop]} s" \
    "$(ratio "${seconds[library walk]}" "${seconds[bare engine loop]}")" "<= 1.05"
row "batch walk (256 a call) / plain walk" "${seconds[library walk, batches of 256]} s" \
    "plain walk ${seconds[library walk]} s" \
    "$(ratio "${seconds[library walk, batches of 256]}" "${seconds[library walk]}")" "<= 1.05"
row "walk with conv, endpoints, io,stat / plain" "${seconds[library walk with statistics]} s" \
    "plain walk ${seconds[library walk]} s" \
    "$(ratio "${seconds[library walk with statistics]}" "${seconds[library walk]}")" "<= 1.1"
row "walk with io,phs / plain walk" "${seconds[library walk with the hierarchy]} s" \
    "plain walk ${seconds[library walk]} s" \
    "$(ratio "${seconds[library walk with the hierarchy]}" "${seconds[library walk]}")" "-"
row "tshark: listing with io,phs / plain" "-" \
    "tshark ${seconds[tshark plain with io,phs]} s / ${seconds[tshark plain]} s" \
    "$(ratio "${seconds[tshark plain with io,phs]}" "${seconds[tshark plain]}")" "-"
row "summary walk (library) / wiretap alone" "${seconds[library walk]} s" \
    "wiretap ${seconds[wiretap read only]} s" "$(ratio "${seconds[library walk]}" "${seconds[wiretap read only]}")" "-"
if [ -n "$dotnet_walk" ]; then
    row "C# walk (binding) / C walk" "${seconds[C# walk (binding)]} s" "C walk ${seconds[library walk]} s" \
        "$(ratio "${seconds[C# walk (binding)]}" "${seconds[library walk]}")" "<= 1.3"
else
    row "C# walk (binding) / C walk" "not measured" "no dotnet" "-" "-"
fi
faster "wsbridge summary" "tshark -n -r" "CLI summary vs tshark -n -r" "tshark -n -r" ">= 1.2"
faster "wsbridge summary --jobs 2" "tshark -n -r" "CLI summary --jobs 2 vs tshark -n -r" "tshark -n -r" "-"
faster "wsbridge summary --jobs 1, many conv." "tshark -n -r, many conversations" \
    "many conv.: summary --jobs 1 vs tshark" "tshark -n -r" "-"
faster "wsbridge summary --jobs 2, many conv." "tshark -n -r, many conversations" \
    "many conv.: summary --jobs 2 vs tshark" "tshark -n -r" ">= 1.7"
faster "wsbridge summary --jobs 2, one pair" "tshark -n -r, one pair" \
    "one pair: summary --jobs 2 vs tshark" "tshark -n -r" ">= 1.6"
faster "wsbridge summary --jobs 2, port-less pair" "tshark -n -r, port-less pair" \
    "port-less: summary --jobs 2 vs tshark" "tshark -n -r" ">= 1.4"
row "one pair: --jobs 4 / --jobs 2 (2 cpus)" "${seconds[wsbridge summary --jobs 4, one pair]} s" \
    "--jobs 2 ${seconds[wsbridge summary --jobs 2, one pair]} s" \
    "$(ratio "${seconds[wsbridge summary --jobs 4, one pair]}" "${seconds[wsbridge summary --jobs 2, one pair]}")" "<= 1"
row "many conv.: --jobs 4 / --jobs 2 (2 cpus)" "${seconds[wsbridge summary --jobs 4, many conv.]} s" \
    "--jobs 2 ${seconds[wsbridge summary --jobs 2, many conv.]} s" \
    "$(ratio "${seconds[wsbridge summary --jobs 4, many conv.]}" "${seconds[wsbridge summary --jobs 2, many conv.]}")" \
    "<= 1"
for capture in "$big" "$many" "$one_pair" "$portless" "$joined"; do
    name=$(basename "$capture")
    row "--jobs 2 lines equal to 1 process (%)" "${equal[$name]} %" "$name; balance ${balance[$name]}" \
        "${equal[$name]}" ">= 99.9"
done
faster "wsbridge fields" "tshark -T fields" "CLI fields (2 fields) vs tshark" "tshark -T fields" ">= 1"
row "tree per packet vs tshark pdml" "${tree_cost} us" "pdml ${pdml_cost} us" "$(ratio "$pdml_cost" "$tree_cost")" ">= 3"
faster "library follow (tcp.stream $stream)" "tshark -z follow,tcp,ascii" "follow largest TCP conversation" \
    "tshark -z follow" ">= 1"
row "save every packet / tshark -Y frame -w" "${seconds[wsbridge save, every packet]} s" \
    "tshark ${seconds[tshark -Y frame -w]} s" \
    "$(ratio "${seconds[wsbridge save, every packet]}" "${seconds[tshark -Y frame -w]}")" "<= 2"
row "reopen: growth over 1000 captures (MB)" "${reopen_growth} MB" "after the first 30; ${reopen_per_capture} kB each" \
    "${reopen_growth}" "<= 30"
row "reopen with gHackedCleanup, 300 (MB)" "${hacked_growth} MB" "after the first 30" "${hacked_growth}" "<= 30"
row "${parallel_row[@]}"
for python_row in "${python_rows[@]}"; do
    IFS='|' read -r figure ours reference value target <<< "$python_row"
    row "$figure" "$ours" "$reference" "$value" "$target"
done
row "peak memory, walk / tshark fields" "${memory[library walk]} kB" \
    "${memory[tshark -T fields Protocol Info]} kB" \
    "$(ratio "${memory[library walk]}" "${memory[tshark -T fields Protocol Info]}")" "<= 1"

echo
echo "== every figure ($packets packets, $runs rounds; $(nproc) cpus; load average at the end: $(cut -d' ' -f1-3 /proc/loadavg))"
echo "ratio: reference time / wsbridge time for speed (above 1: wsbridge faster), wsbridge / reference for the rows marked /"
printf '| %-40s | %-15s | %-34s | %6s | %-7s | %-3s |\n' figure wsbridge reference ratio target met
printf '|%s|%s|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..42})" "$(printf -- '-%.0s' {1..17})" \
    "$(printf -- '-%.0s' {1..36})" "$(printf -- '-%.0s' {1..8})" "$(printf -- '-%.0s' {1..9})" \
    "$(printf -- '-%.0s' {1..5})"
printf '%s\n' "${rows[@]}"
