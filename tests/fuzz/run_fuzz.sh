#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# run_fuzz.sh BUILD_DIR SECONDS [FORK_JOBS]
# Runs the capture fuzzer of a WSB_FUZZ build for SECONDS, starting from the
# seed corpus (made from the test captures if missing) and the corpus kept
# in BUILD_DIR/fuzz/corpus from earlier runs. Findings go to
# BUILD_DIR/fuzz/artifacts and make the script fail.
#
# With FORK_JOBS > 0 libFuzzer's fork mode runs the inputs in that many
# child processes: a long run uses more cores, and a child that reaches its
# memory limit is replaced by the next one.
set -euo pipefail
build=$(cd "$1" && pwd)
seconds=$2
jobs=${3:-0}
here=$(cd "$(dirname "$0")" && pwd)
fuzzer=$build/tests/fuzz/capture_fuzzer
seeds=$build/fuzz/seed_corpus
corpus=$build/fuzz/corpus
artifacts=$build/fuzz/artifacts
[ -d "$seeds" ] || "$here/make_seed_corpus.sh" "$here/../captures" "$seeds"
mkdir -p "$corpus" "$artifacts"
flags=(-max_total_time="$seconds" -max_len=16384 -timeout=120 -rss_limit_mb=6144
       -artifact_prefix="$artifacts/" -print_final_stats=1)
if [ "$jobs" -gt 0 ]; then
    flags+=(-fork="$jobs" -ignore_timeouts=0 -ignore_crashes=0)
fi
# Crashes, leaks and hangs are findings; in fork mode a child that reached
# its memory limit is not (slow inputs are only reported).
findings() {
    if [ "$jobs" -gt 0 ]; then
        ls "$artifacts" | grep -cE '^(crash|leak|timeout)-' || true
    else
        ls "$artifacts" | grep -cE '^(crash|leak|timeout|oom)-' || true
    fi
}
# libFuzzer's own output goes to a log; its final figures are shown.
log=$build/fuzz/last_run.log
before=$(findings)
status=0
"$fuzzer" "${flags[@]}" "$corpus" "$seeds" > "$log" 2>&1 || status=$?
after=$(findings)
grep -E '^(#[0-9]+.*(DONE|cov:)|stat::|Done )' "$log" | tail -8 || true
echo "fuzzing: exit status $status, corpus $(ls "$corpus" | wc -l) inputs, $((after - before)) new findings in $artifacts"
if [ "$status" -ne 0 ] || [ "$after" -ne "$before" ]; then
    tail -60 "$log"
    exit 1
fi
