#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# valgrind_corpus.sh BUILD_DIR
# Runs a representative subset of the corpus and misuse tests (one test per
# process, as the engine starts once per process; two at a time) under valgrind's memcheck with the engine's own leaks
# suppressed (valgrind.supp). Any memcheck error or definite leak left fails
# the run; logs go to BUILD_DIR/valgrind/.
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
logs=$build/valgrind
mkdir -p "$logs"
rm -f "$logs"/*.log

tests=(
  "corpus_test Captures/CorpusSweep.EveryCallAnswersOnEveryPacket/one_tcp_stream_pcap"
  "corpus_test Captures/CorpusSweep.EveryCallAnswersOnEveryPacket/one_ipv6_http_stream_pcap"
  "corpus_test Captures/CorpusSweep.EveryCallAnswersOnEveryPacket/pcapng_example_pcapng"
  "corpus_test Captures/CorpusSweep.EveryCallAnswersOnEveryPacket/DnsPackets_pcap"
  "corpus_test Captures/CorpusSweep.EveryCallAnswersOnEveryPacket/geneve_pcap"
  "corpus_test Captures/CorpusSweep.EveryCallAnswersOnEveryPacket/of13_ericsson_pcapng"
  "corpus_test Captures/CorpusSweep.EveryCallAnswersOnEveryPacket/smb_data_print_segv_pcap"
  "corpus_test Captures/CorpusSweep.EveryCallAnswersOnEveryPacket/aarp_heapoverflow_1_pcap"
  "corpus_test Captures/DamagedSweep.EveryDamagedCopyAnswers/three_http_streams_pcap"
  "corpus_test Captures/DamagedSweep.EveryDamagedCopyAnswers/dns_tcp_pcap"
  "corpus_test Captures/TruncatedSweep.EveryCutAnswers/dns_tcp_pcap_from_cut_1"
  "corpus_test CraftedCaptures.HeadersThatLieAreAnsweredWithStatuses"
  "corpus_test CraftedCaptures.TheLargestPacketGoesThroughEveryCall"
  "corpus_test CraftedCaptures.PacketsClaimingTwoGigabytesOnTheWireAreRead"
  "corpus_test FullDevice.AFailedSaveKeepsTheEarlierPacketsAndAFailedFollowLeavesNoFile"
  "misuse_inputs_test Misuse.GarbageLocators"
  "misuse_streams_test Misuse.TcpStreamInEveryState"
  "misuse_streams_test Misuse.UdpStreamInEveryState"
  "misuse_states_test Misuse.EngineShutDown"
)

run_one() {
    local program=$1 filter=$2
    local log=$logs/$(echo "$filter" | tr -c 'A-Za-z0-9_\n' '_').log
    if valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite --show-leak-kinds=definite \
            --error-exitcode=99 --num-callers=40 --suppressions="$here/valgrind.supp" \
            "$build/tests/$program" --gtest_filter="$filter" > "$log" 2>&1; then
        echo "ok     $filter ($(grep -o 'ERROR SUMMARY: [0-9]* errors' "$log" | head -1))"
    else
        echo "FAILED $filter: see $log"
        grep -E 'ERROR SUMMARY|definitely lost|Invalid|uninitialised|Failure' "$log" | head -5
        return 1
    fi
}
export -f run_one
export build logs here

status=0
printf '%s\n' "${tests[@]}" | xargs -P 2 -L 1 bash -c 'run_one "$0" "$1"' > "$logs/summary.txt" || status=$?
cat "$logs/summary.txt"
passed=$(grep -c '^ok' "$logs/summary.txt" || true)
failed=$(grep -c '^FAILED' "$logs/summary.txt" || true)
echo "valgrind: $passed passed, $failed failed"
[ "$status" -eq 0 ] && [ "$failed" -eq 0 ]
