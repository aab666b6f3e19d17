// SPDX-License-Identifier: GPL-2.0-or-later
// The command-line host as a user meets it: help, version and usage errors,
// standard input, closed pipes and full devices, times at the capture's
// precision, JSON Lines and CSV, -c, following in one pass and on a damaged
// capture. tshark and editcap are the oracles; python3 reads JSON and CSV.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "pcap_writer.h"
#include "test_support.h"
#include "wsbridge.h"

namespace {

using wsbtest::lines_of;
using wsbtest::run_command;
using wsbtest::shared_capture;
using wsbtest::shell_quote;
using wsbtest::temp_dir;

const std::string cli = shell_quote(WSB_CLI);

// Runs the host with arguments; stdout, and stderr separately.
struct result {
    std::string out, err;
    int status = -1;
};

result run(const std::string &arguments, const std::string &input_redirection = "")
{
    temp_dir dir;
    result r;
    r.out = run_command(cli + " " + arguments + " " + input_redirection + " 2>" + shell_quote(dir.file("err")),
                        &r.status);
    std::ifstream err(dir.file("err"));
    r.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
    return r;
}

TEST(CommandLine, HelpAndVersionGoToStandardOutput)
{
    for (const char *arguments : {"--help", "-h", "help", "summary --help", "follow -h", "help save"}) {
        result r = run(arguments);
        EXPECT_EQ(r.status, 0) << arguments;
        EXPECT_EQ(r.out.rfind("usage: wsbridge ", 0), 0u) << arguments;
        EXPECT_EQ(r.err, "") << arguments;
    }
    EXPECT_NE(run("summary --help").out.find("--json"), std::string::npos);
    result version = run("--version");
    EXPECT_EQ(version.status, 0);
    std::string engine = lines_of(run_command("tshark -v 2>/dev/null")).at(0);  // "TShark (Wireshark) 4.0.17 (..."
    engine = engine.substr(engine.find(") ") + 2);
    engine = engine.substr(0, engine.find(' '));
    EXPECT_EQ(version.out, std::string("wsbridge ") + WSB_VERSION_STRING + "\nWireshark engine (libwireshark) " + engine + "\n");
}

TEST(CommandLine, EveryMistakeSaysWhatWasWrongAndPointsToHelp)
{
    const std::string sample = shell_quote(WSB_SAMPLE_CAPTURE);
    const std::string dns_udp = shell_quote(shared_capture("dns_udp.pcap"));
    const std::vector<std::pair<std::string, std::string>> mistakes = {
        {"", "wsbridge: no verb given\nRun 'wsbridge --help' for usage.\n"},
        {"sumary x", "wsbridge: unknown verb 'sumary'\nRun 'wsbridge --help' for usage.\n"},
        {"summary", "wsbridge summary: FILE is missing (a capture file, '-' for standard input, or -i IFACE)\n"
                    "Run 'wsbridge summary --help' for usage.\n"},
        {"summary " + sample + " --format json",
         "wsbridge summary: unknown option '--format'\nRun 'wsbridge summary --help' for usage.\n"},
        {"summary " + sample + " -c 0",
         "wsbridge summary: -c needs a packet count from 1 on, not '0'\nRun 'wsbridge summary --help' for usage.\n"},
        {"tree " + sample + " -1", "wsbridge tree: FRAME must be a frame number from 1 on, not '-1'\n"
                                   "Run 'wsbridge tree --help' for usage.\n"},
        {"tree " + sample + " 24", "wsbridge tree: there is no frame 24: the capture has 23 packets\n"
                                   "Run 'wsbridge tree --help' for usage.\n"},
        {"follow tcp " + sample + " 0", "wsbridge follow: FRAME must be a frame number from 1 on, not '0'\n"
                                        "Run 'wsbridge follow --help' for usage.\n"},
        {"follow sctp", "wsbridge follow: can follow tcp or udp, not 'sctp'\nRun 'wsbridge follow --help' for usage.\n"},
        {"follow udp " + dns_udp + " 99", "wsbridge follow: there is no frame 99: the capture has 2 packets\n"
                                                "Run 'wsbridge follow --help' for usage.\n"},
        {"fields " + sample + " -e", "wsbridge fields: option '-e' needs a value (FIELD)\n"
                                     "Run 'wsbridge fields --help' for usage.\n"},
        {"summary " + sample + " -o", "wsbridge summary: option '-o' needs a value (NAME:VALUE)\n"
                                      "Run 'wsbridge summary --help' for usage.\n"},
        {"tree " + sample + " 1 -o tcp", "wsbridge tree: -o needs NAME:VALUE (as tshark -o takes it), not 'tcp'\n"
                                         "Run 'wsbridge tree --help' for usage.\n"},
        {"summary " + sample + " -z http,tree",
         "wsbridge summary: invalid -z argument \"http,tree\"; it must be one of conv,PROTOCOL[,FILTER], "
         "endpoints,PROTOCOL[,FILTER], io,phs[,FILTER] or io,stat,INTERVAL[,SERIES]...\n"
         "Run 'wsbridge summary --help' for usage.\n"},
        {"summary " + sample + " -q -z io,stat,abc", "wsbridge summary: -z io,stat,abc: \"io,stat,abc\" is not "
                                                     "\"io,stat,INTERVAL[,SERIES]...\".\n"
                                                     "Run 'wsbridge summary --help' for usage.\n"},
        {"summary " + sample + " -z io,phs -z conv,nosuch --jobs 2",
         "wsbridge summary: -z conv,nosuch: The engine keeps no conversation table for \"nosuch\".\n"
         "Run 'wsbridge summary --help' for usage.\n"},
        {"summary " + sample + " -z io,phs -c 5 -j 2",
         "wsbridge summary: -z with -c needs the packets in one process; leave out --jobs\n"
         "Run 'wsbridge summary --help' for usage.\n"},
    };
    for (const auto &[arguments, message] : mistakes) {
        result r = run(arguments);
        EXPECT_EQ(r.status, 2) << arguments;
        EXPECT_EQ(r.err, message) << arguments;
        EXPECT_EQ(r.out, "") << arguments;
    }
    result missing = run("summary /nonexistent/capture.pcap");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(lines_of(missing.err).size(), 1u) << missing.err;
}

TEST(CommandLine, StandardInputIsReadLikeAFileAndLeavesNothingBehind)
{
    temp_dir dir;
    const std::string capture = shared_capture("three_http_streams.pcap");
    const std::string expected = run("summary " + shell_quote(capture)).out;
    ASSERT_FALSE(expected.empty());
    const std::string tmpdir = "TMPDIR=" + shell_quote(dir.path.string()) + " ";
    int status = -1;
    EXPECT_EQ(run_command("cat " + shell_quote(capture) + " | " + tmpdir + cli + " summary -", &status), expected);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(run("summary -", "< " + shell_quote(capture)).out, expected);
    // The copy of a pipe was unlinked as soon as it was made.
    EXPECT_TRUE(std::filesystem::is_empty(dir.path));
}

// A closed standard input is no capture, and the command's own files never
// take the number of a closed standard descriptor: its output would go into
// them.
TEST(CommandLine, ClosedStandardDescriptors)
{
    const std::string capture = shell_quote(shared_capture("dns_udp.pcap"));
    for (const char *verb : {"summary -", "tree - 1", "follow udp - 1"}) {
        result closed = run(verb, "<&-");
        EXPECT_EQ(closed.status, 2) << verb;
        const std::string name = std::string(verb).substr(0, std::string(verb).find(' '));
        EXPECT_EQ(closed.err, "wsbridge " + name + ": FILE is '-' but standard input is closed\nRun 'wsbridge " +
                                  name + " --help' for usage.\n");
        EXPECT_EQ(closed.out, "");
    }
    temp_dir dir;
    const std::string err = shell_quote(dir.file("err"));
    int status = -1;
    run_command("cat " + capture + " | " + cli + " summary - >&- 2>" + err, &status);
    EXPECT_EQ(status, 1);
    std::ifstream errors(dir.file("err"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(errors), std::istreambuf_iterator<char>()),
              "wsbridge: cannot write the output: Bad file descriptor\n");
    EXPECT_EQ(run("summary " + capture, "<&-").out, run("summary " + capture).out);
}

// summary and fields read a pipe as its packets arrive: the writer sends
// the first packets, then waits for the first line before it sends the
// rest (it gives up after a while, and the test then fails). -x reads the
// packets again by offset, so it keeps the copy.
TEST(CommandLine, APipeIsShownAsItsPacketsArrive)
{
    temp_dir dir;
    const std::string capture = shell_quote(shared_capture("example2.pcap"));
    for (const std::string &verb : {std::string("summary -"), std::string("fields - -e ip.src -e dns.a")}) {
        const std::string out = shell_quote(dir.file("out")), early = shell_quote(dir.file("early"));
        run_command("rm -f " + out + " " + early);
        const std::string writer = "(head -c 2000 " + capture +
                                   "; i=0; while [ ! -s " + out + " ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done;"
                                   " [ -s " + out + " ] && : > " + early + "; tail -c +2001 " + capture + ")";
        int status = -1;
        run_command(writer + " | " + cli + " " + verb + " > " + out, &status);
        EXPECT_EQ(status, 0) << verb;
        EXPECT_TRUE(std::filesystem::exists(dir.file("early"))) << verb << ": the first line waited for the rest";
        const std::string whole = run_command(cli + " " + verb.substr(0, verb.find(" -")) + " " + capture +
                                              verb.substr(verb.find(" -") + 2));
        std::ifstream written(dir.file("out"));
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), std::istreambuf_iterator<char>()), whole)
            << verb;
    }
    EXPECT_EQ(run_command("cat " + capture + " | " + cli + " summary - -x | md5sum"),
              run_command(cli + " summary " + capture + " -x | md5sum"));
}

TEST(CommandLine, AClosedPipeEndsTheWorkQuietlyAndAFullDeviceIsReported)
{
    // example2.pcap prints far more than a pipe holds.
    const std::string capture = shell_quote(shared_capture("example2.pcap"));
    temp_dir dir;
    const std::string err = shell_quote(dir.file("err"));
    std::string out = run_command("bash -c " + shell_quote(cli + " summary " + capture + " 2>" + err +
                                                           " | head -1; echo \"status ${PIPESTATUS[0]}\""));
    std::vector<std::string> lines = lines_of(out);
    ASSERT_EQ(lines.size(), 2u) << out;
    EXPECT_EQ(lines[1], "status 141");  // ended by SIGPIPE, as tshark is
    EXPECT_EQ(std::filesystem::file_size(dir.file("err")), 0u);
    result full = run("summary " + capture + " >/dev/full");
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.err, "wsbridge: cannot write the output: No space left on device\n");
}

// The second column of the summary and the time column of tshark's default
// output, for a nanosecond copy of a capture.
TEST(CommandLine, TimesHaveTheCapturesPrecision)
{
    temp_dir dir;
    const std::string nanoseconds = dir.file("ns.pcap");
    run_command("editcap -F nsecpcap " + shell_quote(shared_capture("DnsPackets.pcap")) + " " +
                shell_quote(nanoseconds));
    const std::string awk = " | awk '{print $2}'";
    for (const std::string &capture : {nanoseconds, shared_capture("DnsPackets.pcap")}) {
        std::string ours = run_command(cli + " summary " + shell_quote(capture) + awk);
        std::string theirs = run_command("tshark -r " + shell_quote(capture) + " 2>/dev/null" + awk);
        ASSERT_FALSE(ours.empty());
        EXPECT_EQ(ours, theirs) << capture;
    }
    EXPECT_EQ(lines_of(run_command(cli + " summary " + shell_quote(nanoseconds) + awk)).at(1), "0.017500000");

    // pcapng's 64-bit time stamps put packets up to 584,000 years apart
    // (and before the first one): the times are those tshark prints.
    const std::string far = dir.file("far.pcapng");
    const pcapw::Bytes arp = pcapw::eth_arp_request(pcapw::mac("00:11:22:33:44:55"), pcapw::ip4("10.0.0.1"),
                                                    pcapw::ip4("10.0.0.2"));
    std::vector<pcapw::PcapngPacket> packets;
    for (uint64_t microseconds : {uint64_t{1500000}, uint64_t{10000000000000000}, uint64_t{1} << 63, ~uint64_t{0},
                                  uint64_t{5}, uint64_t{1500001}, uint64_t{1499999}})
        packets.push_back({0, microseconds, arp});
    pcapw::write_file(far, pcapw::pcapng_image({{}}, packets));
    std::string ours = run_command(cli + " summary " + shell_quote(far) + awk);
    EXPECT_EQ(ours, run_command("tshark -r " + shell_quote(far) + " 2>/dev/null" + awk));
    EXPECT_EQ(lines_of(ours).size(), packets.size());
}

// -t as tshark's -t, on the whole capture and under a filter (dd counts
// from the packet shown before, d from the one captured before); -x as
// tshark -x, alone or after each line with -P; -r and -n as tshark takes
// them. The number and time columns are compared.
TEST(CommandLine, SummaryTakesTsharksTimeFormatsAndHexDumps)
{
    temp_dir dir;
    const std::string nanoseconds = dir.file("ns.pcap");
    run_command("editcap -F nsecpcap " + shell_quote(shared_capture("example2.pcap")) + " " + shell_quote(nanoseconds));
    const std::string columns = " | awk '{print $1, $2, $3}'";
    for (const std::string &capture : {shared_capture("example2.pcap"), nanoseconds}) {
        for (const char *format : {"r", "a", "ad", "d", "dd", "e", "u", "ud"}) {
            for (const char *filter : {"", " -Y http"}) {
                const std::string options = std::string(" -t ") + format + filter;
                const std::string theirs =
                    run_command("tshark -n -r " + shell_quote(capture) + " " + wsbtest::tshark_prefs() + options + " 2>/dev/null" + columns);
                ASSERT_FALSE(theirs.empty()) << options;
                EXPECT_EQ(run_command(cli + " summary -n -r " + shell_quote(capture) + options + columns), theirs)
                    << capture << options;
            }
        }
    }
    // tshark pads the time column to 10 characters.
    EXPECT_EQ(lines_of(run("summary " + shell_quote(shared_capture("dns_udp.pcap"))).out).at(1).substr(0, 17),
              "    2   0.130282 ");

    for (const char *name : {"dns_udp.pcap", "OSPFv2_Capture_FINAL.pcapng", "bigtcp-ipv6.pcap"}) {
        const std::string capture = shell_quote(shared_capture(name));
        const std::string theirs = run_command("tshark -n -r " + capture + " -x 2>/dev/null");
        ASSERT_FALSE(theirs.empty()) << name;
        EXPECT_EQ(run("summary " + capture + " -x").out, theirs) << name;
        // With -P each line comes first, then an empty line and the bytes.
        const std::string lines = run_command("tshark -n -r " + capture + " -x -P 2>/dev/null | cut -c1-16");
        EXPECT_EQ(run_command(cli + " summary " + capture + " -P -x | cut -c1-16"), lines) << name;
        EXPECT_EQ(run_command(cli + " summary " + capture + " -P -x --jobs 2 | cut -c1-16"), lines) << name;
    }
    EXPECT_EQ(run("summary " + shell_quote(shared_capture("dns_udp.pcap")) + " -t dd --jobs 2").status, 2);
    EXPECT_EQ(run("summary " + shell_quote(shared_capture("dns_udp.pcap")) + " -x --json").status, 2);
}

// tshark's -E options shape the text output; frame.number asked for is
// printed once, in its place. Every occurrence comes from the packet's tree
// (fields the tree hides, such as ip.addr, give their first only, so these
// are left out here). A capture without -e is a usage error.
TEST(CommandLine, FieldsTakeTsharksOutputOptions)
{
    const std::string fields =
        " -e frame.number -e ip.src -e dns.a -e dns.qry.name -e tcp.srcport -e _ws.col.Protocol -e eth";
    for (const char *name : {"dns_udp.pcap", "example2.pcap", "icmpv6.pcap"}) {
        const std::string capture = shell_quote(shared_capture(name));
        for (const char *options :
             {"", "-E occurrence=a", "-E occurrence=l -Y 'frame.number <= 60 && !tcp'",
              "-E occurrence=a -E aggregator=/s -E quote=d -E header=y -E separator=,",
              "-E quote=s -E separator=/s -E occurrence=a -E 'aggregator=;' -E header=n"}) {
            const std::string theirs = run_command("tshark -r " + capture + " " + wsbtest::tshark_prefs() +
                                                   " -T fields -E occurrence=f " + options + fields +
                                                   " -c 60 2>/dev/null");
            ASSERT_FALSE(theirs.empty()) << name << " " << options;
            EXPECT_EQ(run(std::string("fields ") + capture + fields + " -c 60 " + options).out, theirs)
                << name << " " << options;
        }
    }
    // Without frame.number the frame number leads, as before.
    const std::string dns_udp = shell_quote(shared_capture("dns_udp.pcap"));
    EXPECT_EQ(run("fields " + dns_udp + " -e ip.src -E header=y -E quote=d").out,
              "frame.number\tip.src\n1\t\"192.168.1.11\"\n2\t\"209.87.249.18\"\n");
    result missing = run("fields " + dns_udp);
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("-e FIELD is missing"), std::string::npos) << missing.err;
    EXPECT_EQ(run("fields " + dns_udp + " -e ip.src -E occurrence=x").status, 2);
    EXPECT_EQ(run("fields " + dns_udp + " -e ip.src -E quote=d --json").status, 2);
}

// --index N follows the conversation the engine numbers N; raw prints each
// segment's bytes in hex (the server's after a tab), as tshark -z
// follow,PROTO,raw,N does between its banner lines.
TEST(CommandLine, FollowByConversationIndexInTsharksRawFormat)
{
    const std::string example2 = shell_quote(shared_capture("example2.pcap"));
    for (const char *spelled : {"tcp 0", "tcp 5", "tcp 12", "udp 0", "udp 3"}) {
        const std::string conversation = spelled;
        const std::string protocol = conversation.substr(0, 3), index = conversation.substr(4);
        const std::string theirs = run_command("tshark -r " + example2 + " " + wsbtest::tshark_prefs() +
                                               " -q -z follow," + protocol + ",raw," + index +
                                               " 2>/dev/null | sed '1,6d;$d'");
        ASSERT_FALSE(theirs.empty()) << conversation;
        EXPECT_EQ(run_command(cli + " follow " + protocol + " " + example2 + " --index " + index +
                              " --format raw | tail -n +4"),
                  theirs)
            << conversation;
    }
    // The same conversation by one of its frames.
    const std::string first_frame =
        run_command("tshark -r " + example2 + " -Y 'tcp.stream == 5' -T fields -e frame.number 2>/dev/null | head -1");
    ASSERT_FALSE(first_frame.empty());
    EXPECT_EQ(run("follow tcp " + example2 + " --index 5").out,
              run("follow tcp " + example2 + " " + first_frame.substr(0, first_frame.size() - 1)).out);
    result missing = run("follow udp " + shell_quote(shared_capture("dns_tcp.pcap")) + " --index 0");
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.err, "wsbridge follow: there is no udp.stream 0: the capture has no udp conversation\n"
                           "Run 'wsbridge follow --help' for usage.\n");
    EXPECT_EQ(run("follow tcp " + example2 + " 3 --index 0").status, 2);
}

// python3 checks the structured output against tshark's fields.
TEST(CommandLine, JsonLinesAndCsvHoldWhatTsharkShows)
{
    temp_dir dir;
    const std::string capture = shell_quote(shared_capture("dns_tcp.pcap"));
    run_command(cli + " summary " + capture + " --json > " + shell_quote(dir.file("summary.json")));
    run_command(cli + " fields " + capture + " -e ip.src -e tcp.srcport -e dns.qry.name --offsets --json > " +
                shell_quote(dir.file("fields.json")));
    run_command(cli + " fields " + capture + " -e ip.src -e tcp.srcport -e dns.qry.name --csv > " +
                shell_quote(dir.file("fields.csv")));
    run_command(cli + " tree " + capture + " 4 --json > " + shell_quote(dir.file("tree.json")));
    run_command("tshark -r " + capture + " " + wsbtest::tshark_prefs() +
                " -T fields -E occurrence=f -e frame.number -e _ws.col.Info -e ip.src -e tcp.srcport"
                " -e dns.qry.name > " + shell_quote(dir.file("tshark.txt")) + " 2>/dev/null");
    const std::string check = R"(
import csv, json, sys
d = sys.argv[1]
rows = [line.rstrip("\n").split("\t") for line in open(d + "/tshark.txt")]
summary = [json.loads(line) for line in open(d + "/summary.json")]
assert [s["frame_number"] for s in summary] == [int(r[0]) for r in rows]
assert [s["info_text"] for s in summary] == [r[1] for r in rows], "info"
fields = [json.loads(line) for line in open(d + "/fields.json")]
for f, r in zip(fields, rows):
    assert f["ip.src"] == r[2] and f["tcp.srcport"] == int(r[3]), f
    assert f["dns.qry.name"] == (r[4] or None), f
    assert (f["dns.qry.name@offset"] is None) == (not r[4]), f
assert len(fields) == len(rows)
table = list(csv.reader(open(d + "/fields.csv", newline="")))
assert table[0] == ["frame_number", "ip.src", "tcp.srcport", "dns.qry.name"], table[0]
assert table[1:] == [[r[0], r[2], r[3], r[4]] for r in rows], "csv"
tree = json.loads(open(d + "/tree.json").read())
assert tree["frame_number"] == 4 and tree["nodes"][0]["label"].startswith("Frame 4:")
def count(nodes): return sum(1 + count(n.get("children", [])) for n in nodes)
print(count(tree["nodes"]))
)";
    std::ofstream(dir.file("check.py")) << check;
    int status = -1;
    std::string counted =
        run_command("python3 " + shell_quote(dir.file("check.py")) + " " + shell_quote(dir.path.string()), &status);
    EXPECT_EQ(status, 0) << counted;
    EXPECT_EQ(counted, std::to_string(lines_of(run("tree " + capture + " 4").out).size()) + "\n");
}

// In JSON every integer type is a number (uint24, int24, frame numbers,
// hexadecimal ones, 64-bit ones), worth what tshark prints; other values are
// tshark's texts.
TEST(CommandLine, JsonIntegersOfEveryTypeAreNumbers)
{
    temp_dir dir;
    // A Performance Co-Pilot result whose value block has the length -8, an
    // int24.
    pcapw::Bytes pcp;
    for (uint32_t word : {52u, 0x7001u, 1u, 1u, 0u, 1u, 0x00400001u, 1u, 1u, 7u, 11u, 0xfffffff8u, 0xfffffffbu})
        pcapw::put32be(pcp, word);
    pcp[44] = 0xff;  // the value block's type, then its 24-bit length
    pcapw::PcapWriter writer;
    writer.add(1, 0,
               pcapw::eth_ipv4_tcp(pcapw::mac("00:11:22:33:44:55"), pcapw::mac("00:11:22:33:44:66"),
                                   pcapw::ip4("10.0.0.1"), pcapw::ip4("10.0.0.2"), 40000, 44321, 1, 0,
                                   pcapw::tcpflag::PSH | pcapw::tcpflag::ACK, pcp));
    writer.write(dir.file("pcp.pcap"));
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {dir.file("pcp.pcap"), {"pcp.instance.vallength", "eth.src.oui", "tcp.flags", "tcp.flags.syn", "ip.src"}},
        {shared_capture("geneve.pcap"), {"geneve.vni", "eth.dst.oui", "ip.id", "ip.ttl", "udp.length"}},
        {shared_capture("dns_udp.pcap"), {"dns.response_to", "dns.id", "dns.time", "frame.len"}},
        {shared_capture("three_http_streams.pcap"), {"tcp.analysis.acks_frame", "tcp.seq", "tcp.stream", "frame.number",
                                                     "tcp.options.timestamp.tsval", "tcp.window_size_scalefactor"}},
    };
    std::string script = "import json, sys\nchecked = 0\n";
    for (size_t i = 0; i < cases.size(); ++i) {
        const auto &[capture, fields] = cases[i];
        std::string arguments;
        for (const std::string &field : fields)
            arguments += " -e " + field;
        const std::string base = dir.file(std::to_string(i));
        run_command(cli + " fields " + shell_quote(capture) + arguments + " --json > " + shell_quote(base + ".json"));
        run_command("tshark -r " + shell_quote(capture) + " " + wsbtest::tshark_prefs() +
                    " -T fields -E occurrence=f -e frame.number" + arguments + " > " + shell_quote(base + ".txt") +
                    " 2>/dev/null");
        std::string names;
        for (const std::string &field : fields)
            names += "'" + field + "',";
        script += "names = [" + names + "]\n"
                  "ours = [json.loads(line) for line in open('" + base + ".json')]\n"
                  "theirs = [line.rstrip('\\n').split('\\t') for line in open('" + base + ".txt')]\n"
                  "assert len(ours) == len(theirs) > 0, '" + base + "'\n"
                  "for o, t in zip(ours, theirs):\n"
                  "    for name, text in zip(names, t[1:]):\n"
                  "        if not text:\n"
                  "            assert o[name] is None, (name, o)\n"
                  "        elif name in ('ip.src', 'dns.time'):\n"
                  "            assert o[name] == text, (name, o)\n"
                  "        else:\n"
                  "            assert type(o[name]) is int and o[name] == int(text, 0), (name, text, o)\n"
                  "            checked += 1\n";
    }
    script += "print(checked)\n";
    std::ofstream(dir.file("check.py")) << script;
    int status = -1;
    const std::string out = run_command("python3 " + shell_quote(dir.file("check.py")) + " 2>&1", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_GT(std::atoi(out.c_str()), 100) << out;
}

// -Y keeps the packets tshark -Y keeps (same preferences), on summary,
// fields and save; -o sets preferences on every verb (reassembly back on
// gives plain tshark's Info); what the engine refuses is reported.
TEST(CommandLine, DisplayFiltersAndPreferencesAsTsharkTakesThem)
{
    const std::string prefs = wsbtest::tshark_prefs();
    size_t kept = 0;
    for (const char *file : {"example2.pcap", "three_http_streams.pcap", "icmpv6.pcap", "dns_udp.pcap"}) {
        const std::string capture = shell_quote(shared_capture(file));
        for (const char *filter : {"tcp.analysis.ack_rtt > 0.01", "http.request || dns", "ipv6 && !udp", "frame"}) {
            SCOPED_TRACE(std::string(file) + " -Y " + filter);
            std::vector<std::string> ours =
                lines_of(run_command(cli + " summary " + capture + " -Y " + shell_quote(filter) +
                                     " | awk '{print $1}'"));
            std::vector<std::string> theirs =
                lines_of(run_command("tshark -r " + capture + " " + prefs + " -Y " + shell_quote(filter) +
                                     " -T fields -e frame.number 2>/dev/null"));
            EXPECT_EQ(ours, theirs);
            kept += ours.size();
        }
    }
    EXPECT_GT(kept, 4000u);

    // Reassembly back on: the Info column of plain tshark.
    const std::string example = shell_quote(shared_capture("example2.pcap"));
    const std::string reassembly = " -o tcp.desegment_tcp_streams:TRUE -o http.desegment_headers:TRUE"
                                   " -o http.desegment_body:TRUE -o http.dechunk_body:TRUE";
    result info = run("fields " + example + " -e _ws.col.Info" + reassembly);
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.out, run_command("tshark -r " + example + " -T fields -e frame.number -e _ws.col.Info 2>/dev/null"));
    EXPECT_NE(info.out, run("fields " + example + " -e _ws.col.Info").out);
    result tree = run("tree " + example + " 74" + reassembly);
    EXPECT_NE(tree.out.find("[2 Reassembled TCP Segments (434 bytes): #73(359), #74(75)]"), std::string::npos)
        << tree.out;

    // save -Y: the listed packets that match, no others.
    temp_dir dir;
    const std::string out = dir.file("out.pcap");
    result saved = run("save " + example + " " + shell_quote(out) + " 1-400 -Y 'tcp.len>0'");
    const std::vector<std::string> want = lines_of(run_command(
        "tshark -r " + example + " " + prefs + " -Y 'tcp.len>0 && frame.number<=400' -T fields -e frame.len 2>/dev/null"));
    EXPECT_EQ(lines_of(run_command("tshark -r " + shell_quote(out) + " -T fields -e frame.len 2>/dev/null")), want);
    EXPECT_EQ(saved.out, std::to_string(want.size()) + " written, 0 skipped, " + std::to_string(400 - want.size()) +
                             " not matching the filter\n");

    // What the engine refuses.
    result filter = run("summary " + example + " -Y 'tcp.port =='");
    EXPECT_EQ(filter.status, 1);
    EXPECT_EQ(filter.err, "wsbridge: -Y: Unexpected end of filter expression.\n");
    result preference = run("follow tcp " + example + " 1 -o tcp.no_such_preference:TRUE");
    EXPECT_EQ(preference.status, 1);
    EXPECT_EQ(preference.err, "wsbridge: -o: \"Set Preference\" operation failed. \"tcp.no_such_preference:TRUE\" "
                              "specifies unknown preference.\n");
}

// Under -Y the times still count from the capture's first packet, shown or
// not, as tshark's do.
TEST(CommandLine, FilteredSummariesKeepTheCapturesTimes)
{
    const std::string capture = shell_quote(shared_capture("example2.pcap"));
    std::vector<std::string> ours;
    for (const std::string &line : lines_of(run("summary " + capture + " -Y http.request").out)) {
        std::vector<std::string> words;
        for (const std::string &word : wsbtest::split(line, ' '))
            if (!word.empty())
                words.push_back(word);
        ours.push_back(words.at(0) + "\t" + words.at(1));
    }
    const std::vector<std::string> theirs = lines_of(run_command(
        "tshark -r " + capture + " " + wsbtest::tshark_prefs() +
        " -Y http.request -T fields -e frame.number -e frame.time_relative 2>/dev/null | sed 's/\\(\\.[0-9]\\{6\\}\\)[0-9]*/\\1/'"));
    ASSERT_FALSE(theirs.empty());
    EXPECT_EQ(ours, theirs);
    // A packet re-read by its offset (protocol labels, every occurrence)
    // counts from the packet shown before it, not from the one before it.
    const std::string delta = " -Y 'tcp.len > 0' -e frame.time_delta_displayed";
    const std::string tshark_delta = run_command("tshark -r " + capture + " " + wsbtest::tshark_prefs() + delta +
                                                 " -T fields -e frame.number -E occurrence=a 2>/dev/null");
    ASSERT_FALSE(tshark_delta.empty());
    EXPECT_EQ(run("fields " + capture + delta + " -E occurrence=a -e frame.number").out, tshark_delta);
    EXPECT_EQ(run("fields " + capture + delta + " -e ip -e frame.number").out,
              run_command("tshark -r " + capture + " " + wsbtest::tshark_prefs() + delta +
                          " -T fields -e ip -e frame.number 2>/dev/null"));
}

// With --jobs the workers' output, merged in frame order, is what one
// process writes, in every form, for the test captures (joined into one);
// so are the -z tables (io,stat in one interval: the capture spans years).
TEST(CommandLine, JobsWriteWhatOneProcessWrites)
{
    // As many cores as the largest --jobs below, whatever this machine has.
    setenv("WSB_JOBS_CPUS", "4", 1);
    temp_dir dir;
    std::string inputs;
    for (const std::string &name : wsbtest::shared_capture_names())
        inputs += " " + shell_quote(shared_capture(name));
    const std::string capture = shell_quote(dir.file("all.pcapng"));
    int status = -1;
    run_command("mergecap -a -F pcapng -w " + capture + inputs + " 2>&1", &status);
    ASSERT_EQ(status, 0);
    size_t lines = 0;
    for (const std::string &arguments :
         {"summary " + capture, "summary " + capture + " --json -Y 'ip || ipv6'", "summary " + capture + " --csv -c 700",
          "summary " + capture + " -q -z conv,tcp -z endpoints,ip -z io,phs -z conv,udp -z 'io,stat,0,tcp,dns' "
          "-z endpoints,eth --json",
          "fields " + capture + " -e ip.src -e udp.port -e _ws.col.Info -e frame.time_delta -e frame.time_delta_displayed"}) {
        SCOPED_TRACE(arguments);
        result one = run(arguments), two = run(arguments + " --jobs 2"), three = run(arguments + " -j 3");
        EXPECT_EQ(two.status, one.status) << two.err;
        EXPECT_EQ(two.out, one.out);
        EXPECT_EQ(three.out, one.out);
        lines += lines_of(one.out).size();
    }
    EXPECT_GT(lines, 10000u);
    // Long runs of one conversation between packets of others, key-less
    // frames (all in the first share), and packets whose hex dumps are larger
    // than what a pipe holds (a 262,144-byte frame prints 1.2 MB).
    pcapw::PcapWriter writer;
    const pcapw::Mac near = pcapw::mac("00:11:22:33:44:55"), far = pcapw::mac("00:11:22:33:44:66");
    uint32_t second = 1;
    for (int round = 0; round < 3; ++round) {
        for (int pair = 0; pair < 4; ++pair) {
            const pcapw::Ip4 from = pcapw::ip4("10.0." + std::to_string(pair) + ".1");
            const pcapw::Ip4 to = pcapw::ip4("10.0." + std::to_string(pair) + ".2");
            for (int i = 0; i < 500; ++i)
                writer.add(second++, 0, pcapw::eth_ipv4_udp(far, near, from, to, 5000, 53, pcapw::Bytes(40, 'x')));
        }
        writer.add(second++, 0, pcapw::ethernet(far, near, 0x88b5, pcapw::Bytes(262144 - 14, 0)));
    }
    writer.write(dir.file("runs.pcap"));
    for (const std::string &arguments :
         {"summary " + shell_quote(dir.file("runs.pcap")), "summary " + shell_quote(dir.file("runs.pcap")) + " -x"}) {
        SCOPED_TRACE(arguments);
        result one = run(arguments), two = run(arguments + " --jobs 2");
        EXPECT_EQ(two.status, 0) << two.err;
        EXPECT_EQ(two.out, one.out);
    }
    // Failures as one process reports them: a capture cut short prints every
    // packet before the cut, then its message once; a refused filter or
    // field, its message once.
    const std::string cut = shell_quote(dir.file("cut.pcap"));
    run_command("head -c 300000 " + shell_quote(shared_capture("example2.pcap")) + " > " + cut);
    for (const std::string &arguments :
         {"summary " + cut, "summary " + cut + " --csv", "fields " + cut + " -e ip.src -e _ws.col.Info",
          "summary " + cut + " -Y 'ip.src =='", "fields " + cut + " -e no.such.field"}) {
        SCOPED_TRACE(arguments);
        result one = run(arguments), two = run(arguments + " --jobs 2"), three = run(arguments + " -j 3");
        EXPECT_EQ(one.status, 1);
        EXPECT_EQ(two.status, one.status);
        EXPECT_EQ(three.status, one.status);
        EXPECT_EQ(two.out, one.out);
        EXPECT_EQ(three.out, one.out);
        EXPECT_EQ(two.err, one.err);
        EXPECT_EQ(three.err, one.err);
    }
    const std::string sample = shell_quote(WSB_SAMPLE_CAPTURE);
    EXPECT_EQ(run("summary - --jobs 2", "< " + sample).out, run("summary " + sample).out);
    // --jobs-stats: the packets each share gave, on stderr.
    result stats = run("summary " + capture + " --jobs 2 --jobs-stats");
    EXPECT_EQ(stats.out, run("summary " + capture).out);
    const std::vector<std::string> stat_lines = lines_of(stats.err);
    ASSERT_EQ(stat_lines.size(), 3u) << stats.err;
    size_t shared = 0;
    for (int share = 0; share < 2; ++share) {
        const std::string head = "wsbridge: share " + std::to_string(share + 1) + " of 2: ";
        ASSERT_EQ(stat_lines[share].rfind(head, 0), 0u) << stat_lines[share];
        shared += std::stoul(stat_lines[share].substr(head.size()));
    }
    EXPECT_EQ(shared, lines_of(stats.out).size());
    EXPECT_EQ(stat_lines[2].rfind("wsbridge: largest share / even share: 1.0", 0), 0u) << stat_lines[2];
    // More jobs than cores: as many shares as cores, and the same output.
    result capped = run("summary " + capture + " --jobs 6 --jobs-stats");
    EXPECT_EQ(capped.out, stats.out);
    EXPECT_EQ(capped.err.rfind("wsbridge: 6 jobs asked, 4 cores to run them: 4 shares\n", 0), 0u) << capped.err;
    EXPECT_NE(capped.err.find("wsbridge: share 4 of 4: "), std::string::npos) << capped.err;
    result refused = run("fields " + sample + " -e tcp.stream --jobs 2");
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("tcp.stream numbers the conversations"), std::string::npos) << refused.err;
    // With -Y the packet shown before may be another process's.
    result displayed = run("fields " + capture + " -e frame.time_delta_displayed -Y tcp --jobs 2");
    EXPECT_EQ(displayed.status, 2);
    EXPECT_TRUE(displayed.out.empty()) << displayed.out.size();
    EXPECT_NE(displayed.err.find("frame.time_delta_displayed counts from the packet shown before"), std::string::npos)
        << displayed.err;
    EXPECT_EQ(run("summary " + sample + " --jobs 0").status, 2);
    result missing = run("summary /nonexistent.pcap --jobs 2");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("/nonexistent.pcap"), std::string::npos) << missing.err;
}

// -z prints the tables after the packets as tshark -z prints them (the last
// asked for first), -q only the tables. -Y changes what is shown, not what is
// counted, as with tshark (checked too); --jobs adds up the workers' tables.
// A capture cut short gives its packets and the tables of what was read
// before the cut, as tshark does, then the failure.
TEST(CommandLine, StatisticsTablesAsTsharkPrintsThem)
{
    // As many cores as the largest --jobs below, whatever this machine has.
    setenv("WSB_JOBS_CPUS", "3", 1);
    const std::string tables = " -z conv,tcp -z endpoints,ip -z io,phs -z 'io,stat,1,tcp,SUM(frame.len)frame.len'";
    auto tshark = [&](const std::string &capture, const std::string &options) {
        return run_command("tshark -n -q -r " + capture + " " + wsbtest::tshark_prefs() + options + tables +
                           " 2>/dev/null");
    };
    for (const char *name : {"mptcp-v0.pcap", "bgp-4byte-asn.pcap", "DnsPackets.pcap", "edns-opts.pcap"}) {
        SCOPED_TRACE(name);
        const std::string capture = shell_quote(shared_capture(name));
        const std::string theirs = tshark(capture, "");
        ASSERT_NE(theirs.find("Protocol Hierarchy Statistics"), std::string::npos);
        EXPECT_EQ(tshark(capture, " -Y udp"), theirs);
        const result quiet = run("summary " + capture + " -q" + tables);
        EXPECT_EQ(quiet.status, 0) << quiet.err;
        EXPECT_EQ(quiet.out, theirs);
        EXPECT_EQ(run("summary " + capture + " -Y udp -q" + tables).out, theirs);
        const std::string packets = run("summary " + capture).out;
        EXPECT_EQ(run("summary " + capture + tables).out, packets + theirs);
        EXPECT_EQ(run("summary " + capture + tables + " --jobs 2").out, packets + theirs);
        EXPECT_EQ(run("summary " + capture + " -q" + tables + " -j 3").out, theirs);
    }
    temp_dir dir;
    const std::string cut = shell_quote(dir.file("cut.pcap"));
    run_command("head -c 300000 " + shell_quote(shared_capture("example2.pcap")) + " > " + cut);
    const std::string packets = run("summary " + cut).out;
    const std::string theirs = run_command("tshark -n -q -r " + cut + " " + wsbtest::tshark_prefs() +
                                           " -z conv,ip -z io,phs 2>/dev/null");
    ASSERT_NE(theirs.find("Protocol Hierarchy Statistics"), std::string::npos);
    for (const char *jobs : {"", " --jobs 2", " -j 3"}) {
        const result r = run("summary " + cut + " -z conv,ip -z io,phs" + jobs);
        EXPECT_EQ(r.status, 1) << jobs;
        EXPECT_EQ(r.out, packets + theirs) << jobs;
        EXPECT_EQ(r.err, "wsbridge: read: The capture file appears to have been cut short in the middle of a packet.\n")
            << jobs;
    }
}

// --json: one object a line per table, its numbers worth what the text
// tables show. --csv: a header line and rows; with more than one table, or
// after the packets' rows, each table follows an empty line and '# REQUEST'.
TEST(CommandLine, StatisticsAsJsonAndCsv)
{
    // As many cores as the largest --jobs below, whatever this machine has.
    setenv("WSB_JOBS_CPUS", "3", 1);
    temp_dir dir;
    const std::string capture = shell_quote(shared_capture("mptcp-v0.pcap"));
    const std::string tables = " -z conv,tcp -z endpoints,ip -z io,phs -z io,stat,1,tcp";
    for (const auto &[options, file] : std::vector<std::pair<std::string, std::string>>{
             {" -q" + tables, "tables.txt"},
             {" -q --json" + tables, "tables.json"},
             {" -q --csv" + tables, "tables.csv"},
             {" -q --csv -z conv,tcp", "conv.csv"},
             {" --csv -z io,phs", "packets.csv"}}) {
        const result r = run("summary " + capture + options);
        EXPECT_EQ(r.status, 0) << options << r.err;
        std::ofstream(dir.file(file), std::ios::binary) << r.out;
        EXPECT_EQ(run("summary " + capture + options + " --jobs 2").out, r.out) << options;
    }
    const std::string check = R"(
import csv, io, json, re, sys
d = sys.argv[1]
tables = [json.loads(line) for line in open(d + "/tables.json")]
assert [t["request"] for t in tables] == ["conv,tcp", "endpoints,ip", "io,phs", "io,stat,1,tcp"], tables
assert [t["kind"] for t in tables] == ["conversations", "endpoints", "hierarchy", "intervals"]
conv, ends, phs, stat = (t["rows"] for t in tables)
text = open(d + "/tables.txt").read()
pairs = [l.split() for l in text.splitlines() if " <-> " in l]
assert [(p[0], p[2], int(p[3]), int(p[6]), int(p[9])) for p in pairs] == [
    ("%s:%d" % (c["address_a"], c["port_a"]), "%s:%d" % (c["address_b"], c["port_b"]),
     c["frames_b_to_a"], c["frames_a_to_b"], c["frames_a_to_b"] + c["frames_b_to_a"]) for c in conv], pairs
hosts = [[int(n) if n.isdigit() else n for n in l.split()]
         for l in text.split("IPv4 Endpoints")[1].split("=====")[0].splitlines()[3:]]
assert hosts == [[e["address"], e["tx_frames"] + e["rx_frames"], e["tx_bytes"] + e["rx_bytes"], e["tx_frames"],
                  e["tx_bytes"], e["rx_frames"], e["rx_bytes"]] for e in ends], hosts
levels = [(len(m[1]) // 2, m[2], int(m[3]), int(m[4]))
          for m in re.finditer(r"^( *)(\S+) +frames:(\d+) bytes:(\d+)$", text, re.M)]
assert levels == [(h["depth"], h["protocol"], h["frames"], h["bytes"]) for h in phs], levels
rows = [(int(m[1]), int(m[2])) for m in re.finditer(r"^\| +\d+ <> \S+ *\| +(\d+) \| +(\d+) \|$", text, re.M)]
counted = {r["interval"]: (r["frames"], r["bytes"]) for r in stat if r["series"] == 0}
assert rows == [counted.get(i, (0, 0)) for i in range(len(rows))] and len(rows) == 10, rows
single = list(csv.reader(open(d + "/conv.csv", newline="")))
assert single[0][:5] == ["address_a", "port_a", "address_b", "port_b", "address_type"], single[0]
assert [dict(zip(single[0], row)) for row in single[1:]] == [{k: str(v) for k, v in c.items()} for c in conv]
blocks = [b + "\r\n" for b in open(d + "/tables.csv", newline="").read()[:-2].split("\r\n\r\n")]
assert [b.split("\r\n")[0] for b in blocks] == ["# " + t["request"] for t in tables], blocks
assert blocks[0].split("\r\n", 1)[1] == open(d + "/conv.csv", newline="").read()
for block, t in zip(blocks, tables):
    rows = list(csv.DictReader(io.StringIO(block.split("\r\n", 1)[1], newline="")))
    assert len(rows) == len(t["rows"]) and all(str(v) == row[k] for row, r in zip(rows, t["rows"]) for k, v in r.items())
packets, hierarchy = open(d + "/packets.csv", newline="").read().split("\r\n\r\n# io,phs\r\n")
assert len(list(csv.reader(io.StringIO(packets + "\r\n", newline="")))) == 265
assert [b.split("\r\n", 1)[1] for b in blocks][2] == hierarchy
)";
    std::ofstream(dir.file("check.py")) << check;
    int status = -1;
    const std::string said =
        run_command("python3 " + shell_quote(dir.file("check.py")) + " " + shell_quote(dir.path.string()) + " 2>&1",
                    &status);
    EXPECT_EQ(status, 0) << said;
}

// Protocol and Info are whole in every output, however long (DNS responses
// with many answers have an Info of more than 255 bytes).
TEST(CommandLine, ColumnTextsAreWhole)
{
    temp_dir dir;
    const std::string capture = shell_quote(shared_capture("DnsPackets.pcap"));
    const std::string tshark = run_command("tshark -r " + capture + " " + wsbtest::tshark_prefs() +
                                           " -T fields -e frame.number -e _ws.col.Protocol -e _ws.col.Info 2>/dev/null");
    size_t longest = 0;
    for (const std::string &line : lines_of(tshark))
        longest = std::max(longest, line.size() - line.rfind('\t') - 1);
    ASSERT_GT(longest, 300u);
    EXPECT_EQ(run("fields " + capture + " -e _ws.col.Protocol -e _ws.col.Info").out, tshark);
    EXPECT_EQ(run("fields " + capture + " -e _ws.col.Protocol -e _ws.col.Info --jobs 2").out, tshark);
    for (const char *form : {"", " --json", " --csv"})
        EXPECT_EQ(run("summary " + capture + form + " --jobs 2").out, run("summary " + capture + form).out) << form;
    EXPECT_EQ(run("fields " + capture + " -e _ws.col.Protocol -e ip -e _ws.col.Info").out.size(),
              run("fields " + capture + " -e _ws.col.Protocol -e _ws.col.Info -e ip").out.size());
    std::ofstream(dir.file("tshark.txt")) << tshark;
    std::ofstream(dir.file("text.txt")) << run("summary " + capture).out;
    std::ofstream(dir.file("json.txt")) << run("summary " + capture + " --json").out;
    std::ofstream(dir.file("csv.txt")) << run("summary " + capture + " --csv").out;
    const std::string check = R"(
import csv, json, re, sys
d = sys.argv[1]
rows = [line.rstrip("\n").split("\t") for line in open(d + "/tshark.txt")]
text = [line.rstrip("\n") for line in open(d + "/text.txt")]
assert all(re.search(r" %s \d+ %s$" % (re.escape(r[1]), re.escape(r[2])), t) for t, r in zip(text, rows))
assert [(j["protocol_text"], j["info_text"]) for j in map(json.loads, open(d + "/json.txt"))] == [(r[1], r[2]) for r in rows]
table = list(csv.DictReader(open(d + "/csv.txt", newline="")))
assert [(c["protocol_text"], c["info_text"]) for c in table] == [(r[1], r[2]) for r in rows]
assert len(text) == len(rows) == len(table)
)";
    std::ofstream(dir.file("check.py")) << check;
    int status = -1;
    const std::string out =
        run_command("python3 " + shell_quote(dir.file("check.py")) + " " + shell_quote(dir.path.string()) + " 2>&1", &status);
    EXPECT_EQ(status, 0) << out;
}

// Naming a field again is no work for the registry: 70,000 -e print
// 70,000 columns.
TEST(CommandLine, ManyFieldsOfTheSameNames)
{
    const std::string capture = shell_quote(shared_capture("dns_udp.pcap"));
    result r = run("fields " + capture + " $(for i in $(seq 35000); do printf -- '-e ip.src -e udp.srcport '; done)");
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> tshark =
        lines_of(run_command("tshark -r " + capture + " -T fields -e frame.number -e ip.src -e udp.srcport 2>/dev/null"));
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), tshark.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::vector<std::string> ours = wsbtest::split(lines[i], '\t');
        const std::vector<std::string> theirs = wsbtest::split(tshark[i], '\t');
        ASSERT_EQ(ours.size(), 70001u);
        for (size_t column = 1; column < ours.size(); ++column)
            ASSERT_EQ(ours[column], theirs[2 - column % 2]) << column;
    }
}

// Values holding line breaks, tabs and other control characters print as
// tshark -T fields prints them (\\n, \\t, \\r, \\b, \\f; a backslash as it
// is); JSON and CSV quote the value itself.
TEST(CommandLine, FieldValuesAreEscapedAsTsharkEscapesThem)
{
    temp_dir dir;
    const std::string capture = dir.file("syslog.pcap");
    const std::string message = "<13>Jan  1 00:00:00 host app: a\tb\nc\rd\\e\bf\fg\x01h\xc3\xa9i";
    pcapw::PcapWriter writer;
    writer.add(1, 0,
               pcapw::eth_ipv4_udp(pcapw::mac("00:11:22:33:44:55"), pcapw::mac("00:11:22:33:44:66"),
                                   pcapw::ip4("10.0.0.1"), pcapw::ip4("10.0.0.2"), 5555, 514, pcapw::to_bytes(message)));
    writer.write(capture);
    const std::string fields = " -e syslog.msg -e _ws.col.Info -e syslog.hostname";
    const std::string theirs =
        run_command("tshark -r " + shell_quote(capture) + " -T fields -e frame.number" + fields + " 2>/dev/null");
    ASSERT_NE(theirs.find("a\\tb\\nc\\rd\\e\\bf\\fg\x01h"), std::string::npos) << theirs;
    EXPECT_EQ(run("fields " + shell_quote(capture) + fields).out, theirs);
    // Every occurrence mode escapes alike (the last and every occurrence come
    // from the packet's tree): telnet gives one item per line of a segment,
    // each ending in CR LF; HTTP bodies hold line breaks.
    pcapw::PcapWriter telnet;
    telnet.add(1, 0,
               pcapw::eth_ipv4_tcp(pcapw::mac("00:11:22:33:44:55"), pcapw::mac("00:11:22:33:44:66"),
                                   pcapw::ip4("10.0.0.2"), pcapw::ip4("10.0.0.1"), 23, 40000, 1, 1, 0x18,
                                   pcapw::to_bytes("Last login:\tnever\r\nWelcome\r\n$ \bx\fy\r\n")));
    telnet.write(dir.file("telnet.pcap"));
    const std::string many = " -e telnet.data -e syslog.msg -e http.file_data";
    for (const char *occurrence : {"f", "l", "a"}) {
        for (const std::string &name : {shell_quote(dir.file("telnet.pcap")), shell_quote(capture),
                                         shell_quote(shared_capture("three_http_streams.pcap"))}) {
            const std::string options = std::string(" -E occurrence=") + occurrence;
            const std::string tshark = run_command("tshark -r " + name + " " + wsbtest::tshark_prefs() +
                                                   " -T fields -e frame.number" + many + options + " 2>/dev/null");
            ASSERT_FALSE(tshark.empty()) << name;
            const std::string ours = run("fields " + name + many + options).out;
            EXPECT_EQ(ours, tshark) << name << options;
            EXPECT_EQ(lines_of(ours).size(), lines_of(run("summary " + name).out).size()) << name << options;
        }
    }
    EXPECT_NE(run("fields " + shell_quote(dir.file("telnet.pcap")) + many + " -E occurrence=a").out.find(
                  "\tLast login:\\tnever\\r\\n,Welcome\\r\\n,$ \\bx\\fy\\r\\n\t"),
              std::string::npos);
    const std::string json = run("fields " + shell_quote(capture) + " -e syslog.msg --json").out;
    EXPECT_NE(json.find("a\\tb\\nc\\rd\\\\e\\u0008f\\u000cg\\u0001h\xc3\xa9i"), std::string::npos) << json;
}

// A frame list that reaches beyond the capture is a mistake, with or without
// a display filter (whose reading does not see the packets it passes over),
// found before anything is written.
TEST(CommandLine, SaveRefusesFramesTheCaptureLacks)
{
    temp_dir dir;
    const std::string capture = shell_quote(shared_capture("dns_udp.pcap"));  // 2 packets: query, response
    const std::string out = shell_quote(dir.file("out.pcap"));
    for (const char *filter : {"", " -Y udp", " -Y dns.flags.response==0"}) {
        for (const char *frames : {"1-4000000000", "3", "2,1-3"}) {
            SCOPED_TRACE(std::string(frames) + filter);
            result r = run("save " + capture + " " + out + " " + frames + filter);
            EXPECT_EQ(r.status, 2);
            EXPECT_EQ(r.err, "wsbridge save: there is no frame " + std::string(frames).substr(std::string(frames).rfind('-') + 1) +
                                 ": the capture has 2 packets\nRun 'wsbridge save --help' for usage.\n");
            EXPECT_EQ(r.out, "");
            EXPECT_FALSE(std::filesystem::exists(dir.file("out.pcap")));
        }
    }
    result r = run("save - " + out + " 1-2 -Y dns.flags.response==0", "< " + capture);
    EXPECT_EQ(r.out, "1 written, 0 skipped, 1 not matching the filter\n");
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST(CommandLine, CountStopsAfterThatManyPackets)
{
    const std::string capture = shell_quote(shared_capture("dns_tcp.pcap"));
    EXPECT_EQ(lines_of(run("summary " + capture + " -c 3").out).size(), 3u);
    EXPECT_EQ(lines_of(run("fields " + capture + " -e ip.src -c2 --csv").out).size(), 3u);
}

// Following from a packet in the middle of a conversation gives what
// following from its first packet gives; a damaged capture gives what was
// followed up to the damage, then the error.
TEST(CommandLine, FollowReadsTheCaptureOnceAndSurvivesDamage)
{
    const std::string capture = shared_capture("three_http_streams.pcap");
    result first = run("follow tcp " + shell_quote(capture) + " 1");
    result middle = run("follow tcp " + shell_quote(capture) + " 6");
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(middle.out, first.out);
    ASSERT_GT(lines_of(first.out).size(), 3u);

    temp_dir dir;
    const std::string damaged = dir.file("damaged.pcap");
    const auto size = std::filesystem::file_size(capture);
    std::filesystem::copy_file(capture, damaged);
    std::filesystem::resize_file(damaged, size - 10);  // cuts the last record
    result cut = run("follow tcp " + shell_quote(damaged) + " 1");
    EXPECT_EQ(cut.status, 1);
    EXPECT_EQ(lines_of(cut.out).at(2).rfind("Entire conversation (", 0), 0u) << cut.out;
    EXPECT_EQ(lines_of(cut.err).size(), 1u) << cut.err;
    EXPECT_EQ(cut.err.rfind("wsbridge: read: ", 0), 0u) << cut.err;
}

// ---- Live capture (-i) -------------------------------------------------------

// Starts the host with arguments, TMPDIR in dir (where its spool appears),
// standard output and error into dir's "out" and "err" files.
pid_t start_host(const std::vector<std::string> &arguments, const temp_dir &dir)
{
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("TMPDIR", dir.path.c_str(), 1);
        if (!freopen(dir.file("out").c_str(), "w", stdout) || !freopen(dir.file("err").c_str(), "w", stderr))
            _exit(99);
        std::vector<char *> argv{const_cast<char *>(WSB_CLI)};
        for (const std::string &argument : arguments)
            argv.push_back(const_cast<char *>(argument.c_str()));
        argv.push_back(nullptr);
        execv(WSB_CLI, argv.data());
        _exit(98);
    }
    return pid;
}

// Waits until the host's spool folder appears in dir (dumpcap is capturing).
bool capturing(const temp_dir &dir)
{
    for (int waited = 0; waited < 10000; waited += 20) {
        for (const auto &entry : std::filesystem::directory_iterator(dir.path))
            if (entry.path().filename().string().rfind("wsbridge-live-", 0) == 0 &&
                !std::filesystem::is_empty(entry.path()))
                return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int exit_status(pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string file_text(const std::string &path)
{
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// A port on 127.0.0.1 no one listens on now.
uint16_t udp_port()
{
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr *>(&address), &size);
    close(s);
    return ntohs(address.sin_port);
}

// count datagrams of 4 bytes to port on 127.0.0.1.
void send_datagrams(uint16_t port, int count)
{
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < count; ++i)
        sendto(s, "live", 4, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    close(s);
}

#define REQUIRE_ROOT_FOR_CAPTURE()                                                                  \
    do {                                                                                            \
        int found = 0;                                                                              \
        run_command("command -v dumpcap >/dev/null", &found);                                       \
        if (found != 0 || geteuid() != 0)                                                           \
            GTEST_SKIP() << "needs capture rights on lo (root, with dumpcap installed), as in CI";  \
    } while (0)

// -c stops the capture after that many packets, each shown as it arrives.
TEST(CommandLine, LiveSummaryStopsAfterTheCount)
{
    REQUIRE_ROOT_FOR_CAPTURE();
    temp_dir dir;
    const uint16_t port = udp_port();
    const pid_t host = start_host({"summary", "-i", "lo", "-f", "udp port " + std::to_string(port), "-c", "3"}, dir);
    ASSERT_TRUE(capturing(dir)) << file_text(dir.file("err"));
    send_datagrams(port, 3);
    EXPECT_EQ(exit_status(host), 0) << file_text(dir.file("err"));
    const std::vector<std::string> lines = lines_of(file_text(dir.file("out")));
    ASSERT_EQ(lines.size(), 3u) << file_text(dir.file("out"));
    for (const std::string &line : lines)
        EXPECT_NE(line.find("UDP 46 "), std::string::npos) << line;
}

// Ctrl-C ends a capture cleanly: save writes every packet captured so far
// and exits 0, leaving no spool behind.
TEST(CommandLine, InterruptedLiveSaveKeepsWhatWasCaptured)
{
    REQUIRE_ROOT_FOR_CAPTURE();
    temp_dir dir;
    const uint16_t port = udp_port();
    const std::string saved = dir.file("saved.pcapng");
    const pid_t host = start_host({"save", "-i", "lo", "-f", "udp port " + std::to_string(port), saved}, dir);
    ASSERT_TRUE(capturing(dir)) << file_text(dir.file("err"));
    send_datagrams(port, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    kill(host, SIGINT);
    EXPECT_EQ(exit_status(host), 0) << file_text(dir.file("err"));
    EXPECT_EQ(file_text(dir.file("out")), "5 written, 0 skipped\n");
    EXPECT_EQ(run_command("tshark -r " + shell_quote(saved) + " 2>/dev/null | wc -l"), "5\n");
    for (const auto &entry : std::filesystem::directory_iterator(dir.path))
        EXPECT_EQ(entry.path().filename().string().rfind("wsbridge-live-", 0), std::string::npos)
            << entry.path() << " left behind";
}

TEST(CommandLine, LiveCaptureMistakes)
{
    result r = run("summary -i lo --jobs 2");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--jobs"), std::string::npos) << r.err;
    r = run("summary -f udp " + shell_quote(shared_capture("example2.pcap")));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("-f is a capture filter"), std::string::npos) << r.err;
    r = run("summary -i lo " + shell_quote(shared_capture("example2.pcap")));
    EXPECT_EQ(r.status, 2);
    r = run("fields -i lo -e ip.src -a size:3");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("duration:S"), std::string::npos) << r.err;
    r = run("save out.pcap -c 3 " + shell_quote(shared_capture("example2.pcap")));
    EXPECT_EQ(r.status, 2);
}

// -D lists the interfaces as tshark -D does (which adds extcap interfaces
// after them).
TEST(CommandLine, ListsInterfacesAsTsharkDoes)
{
    int found = 0;
    run_command("command -v dumpcap >/dev/null", &found);
    if (found != 0)
        GTEST_SKIP() << "dumpcap (wireshark-common) is not installed";
    const result r = run("-D");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> ours = lines_of(r.out);
    const std::vector<std::string> tshark = lines_of(run_command("tshark -D 2>/dev/null"));
    ASSERT_FALSE(ours.empty());
    ASSERT_LE(ours.size(), tshark.size());
    EXPECT_TRUE(std::equal(ours.begin(), ours.end(), tshark.begin())) << r.out;
}

}  // namespace
