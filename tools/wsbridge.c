/* SPDX-License-Identifier: GPL-2.0-or-later */
/* wsbridge: the library's command-line host. It uses only the public header:
 * each verb starts the engine, does one job and shuts the engine down. */
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include "cli/cli.h"

static const struct {
    const char *name;
    int (*run)(int argc, char **argv);
    const char *synopsis;
    const char *help;
} verbs[] = {
    {"summary", cli_summary,
     "summary FILE [-Y FILTER] [-c COUNT] [-t FORMAT] [-x [-P]] [--json | --csv] [--jobs N]",
     "One line per packet, as tshark prints them: number, time since the first\n"
     "packet (at the capture's own precision), source -> destination, Protocol,\n"
     "length, Info.\n"
     "\n"
     "  FILE          the capture; '-' reads it from standard input\n"
     "  -r FILE       the same, as tshark -r takes it\n"
     "  -Y FILTER     only the packets that match the display filter, as tshark -Y\n"
     "                shows them (numbers and times are those of the whole file)\n"
     "  -c COUNT      stop after COUNT packets\n"
     "  -t FORMAT     the time column, as tshark -t: r relative to the first packet\n"
     "                (default), a absolute, ad absolute with date, d since the\n"
     "                previous captured packet, dd since the previous one shown,\n"
     "                e seconds since 1970, u UTC, ud UTC with date\n"
     "  -x            each packet's bytes as tshark -x prints them (the frame's\n"
     "                bytes; reassembled data is not shown)\n"
     "  -P            with -x, each line too, then the bytes\n"
     "  -n            taken for tshark's sake: addresses are never resolved\n"
     "  --json        JSON Lines: one object per packet with the PacketSummary\n"
     "                fields of wsbridge.h (frame_number, info_text, ...)\n"
     "  --csv         a header line of those field names, then one RFC 4180 row\n"
     "                per packet\n"
     "  --jobs N, -j N  N processes, each dissecting a share of the capture's\n"
     "                conversations (by address pair); the same output, merged\n"
     "                (not with -t d or -t dd)\n"},
    {"fields", cli_fields,
     "fields FILE -e FIELD [-e FIELD ...] [-Y FILTER] [--offsets] [-c COUNT] [-E OPTION=VALUE]\n"
     "                [--json | --csv] [--jobs N]\n"
     "  wsbridge fields NAME...",
     "With FILE: one line per packet, tab-separated like tshark -T fields\n"
     "-E occurrence=f: the frame number, then the first occurrence of each field\n"
     "as tshark prints it, of any type (empty when absent). Protocol fields (ip,\n"
     "tcp, ...) print their labels: each packet is then dissected twice.\n"
     "With -e frame.number, that field takes the leading frame number's place.\n"
     "With names only: registers each name and prints its engine id and type code.\n"
     "\n"
     "  FILE          the capture; '-' reads it from standard input\n"
     "  -e FIELD      a field to print (repeat for more); _ws.col.Protocol and\n"
     "                _ws.col.Info print those columns\n"
     "  -Y FILTER     only the packets that match the display filter\n"
     "  --offsets     after each value, the field's offset from the TCP/UDP payload\n"
     "                (JSON and CSV: a key or column named FIELD@offset)\n"
     "  -c COUNT      stop after COUNT packets\n"
     "  -E OPTION=VALUE  the text output as tshark -E shapes it: header=y|n,\n"
     "                separator=/t|/s|C, occurrence=f|l|a (every or the last one from\n"
     "                the packet's tree; fields it hides, such as ip.addr, give\n"
     "                their first), aggregator=,|/s|C, quote=d|s|n\n"
     "  --json        JSON Lines: {\"frame_number\": N, \"FIELD\": value or null, ...}\n"
     "                (integers as numbers, other values as tshark's texts)\n"
     "  --csv         a header line (frame_number and the fields), then RFC 4180 rows\n"
     "  --jobs N, -j N  N processes, as for summary (conversation indexes such as\n"
     "                tcp.stream are refused then)\n"},
    {"tree", cli_tree, "tree FILE FRAME [--json]",
     "The protocol tree of packet FRAME, one item per line indented by depth, with\n"
     "[start, length] of its bytes, close to tshark -V.\n"
     "\n"
     "  FILE          the capture; '-' reads it from standard input\n"
     "  FRAME         the frame number, from 1 on\n"
     "  --json        one JSON object: {\"frame_number\": N, \"nodes\": [...]}, each node\n"
     "                with label, field_abbrev, field_name, field_type, start,\n"
     "                length and its children\n"},
    {"save", cli_save,
     "save FILE OUT [FRAMES] [-Y FILTER] [-F pcap|pcapng|nsecpcap] [--drop-tcp-retransmissions]",
     "Copies the packets listed in FRAMES (\"1,3-5,9\", \"100-\" to the end or\n"
     "\"all\"; listed order, repeats allowed) into the new capture file OUT and\n"
     "prints how many were written and left out. OUT '-' writes the capture to\n"
     "standard output (the counts then go to stderr).\n"
     "\n"
     "  FILE          the capture; '-' reads it from standard input\n"
     "  -Y FILTER     only the listed packets that match the display filter (the\n"
     "                count of those that do not is printed too); without FRAMES,\n"
     "                every packet that matches\n"
     "  -F FORMAT     pcap (microsecond libpcap), nsecpcap (nanosecond libpcap) or\n"
     "                pcapng, as tshark -F names them; without it OUT's extension\n"
     "                chooses (.pcapng, or .pcap in the libpcap variant the time\n"
     "                stamps need), else the capture's own format when it keeps\n"
     "                everything, else pcapng (comments, interfaces, several link\n"
     "                types)\n"
     "  --drop-tcp-retransmissions  (also --skip-tcp-repeats)\n"
     "                leave out the packets of the first TCP conversation saved\n"
     "                that only repeat bytes already written (retransmissions and\n"
     "                duplicates); everything else is written\n"},
    {"follow", cli_follow,
     "follow tcp|udp FILE FRAME|--index N [--format ascii|ebcdic|hexdump|carray|raw]\n"
     "                [--direction client|server|both]",
     "Follows the TCP or UDP conversation of packet FRAME over the whole capture\n"
     "(one pass) and prints the client's, the server's and the whole\n"
     "conversation's description, then each segment or datagram as text. On a\n"
     "damaged capture it prints what it followed, then the error (exit 1).\n"
     "\n"
     "  FILE          the capture; '-' reads it from standard input\n"
     "  --index N     instead of FRAME: the conversation the engine numbers N\n"
     "                (tcp.stream or udp.stream, from 0, as tshark -z follow names it)\n"
     "  --format      ascii (default), ebcdic, hexdump, carray, or raw: each\n"
     "                segment's bytes in hex, the server's after a tab, as\n"
     "                tshark -z follow,tcp,raw,N prints them\n"
     "  --direction   client, server or both (default)\n"},
};
enum { verb_count = sizeof verbs / sizeof verbs[0] };

static const char preference_help[] =
    "  -o NAME:VALUE an engine preference, as tshark -o sets it (repeat for more);\n"
    "                -o tcp.desegment_tcp_streams:TRUE turns TCP reassembly back on\n";

void cli_print_help(const char *verb)
{
    for (int i = 0; verb && i < verb_count; ++i) {
        if (strcmp(verb, verbs[i].name) == 0) {
            printf("usage: wsbridge %s\n\n%s%s", verbs[i].synopsis, verbs[i].help, preference_help);
            return;
        }
    }
    printf("usage: wsbridge VERB ARGUMENTS...\n"
           "       wsbridge --help | --version\n"
           "       wsbridge VERB --help\n"
           "\n"
           "The command-line host of the wsbridge library (the Wireshark dissection engine\n"
           "behind a flat C interface). Verbs:\n");
    for (int i = 0; i < verb_count; ++i)
        printf("  wsbridge %s\n", verbs[i].synopsis);
    printf("\nEvery verb takes -o NAME:VALUE, an engine preference as tshark -o sets it.\n");
    printf("\nFILE may be '-' for standard input. Progress shows on stderr when it is a\n"
           "terminal. Exit status: 0 done, 1 failed, 2 usage error.\n");
}

static int print_version(void)
{
    const char *library = NULL, *engine = NULL;
    if (gGetVersion(&library, &engine) != WSB_OK)
        return cli_fail("version");
    printf("wsbridge %s\nWireshark engine (libwireshark) %s\n", library, engine);
    return CLI_OK;
}

/* Output went into a closed pipe: end as a writer killed by SIGPIPE does,
 * quietly, now that the engine has cleaned up after itself. */
static void end_on_broken_pipe(void)
{
    fflush(stderr);
    signal(SIGPIPE, SIG_DFL);
    raise(SIGPIPE);
}

int main(int argc, char **argv)
{
    cli_guard_standard_descriptors();
    if (argc < 2)
        return cli_usage_error(NULL, "no verb given");
    const char *first = argv[1];
    if (strcmp(first, "--help") == 0 || strcmp(first, "-h") == 0 || strcmp(first, "help") == 0) {
        if (strcmp(first, "help") == 0 && argc > 2)
            first = argv[2];
        else
            first = NULL;
        cli_print_help(first);
        return cli_finish_output();
    }
    if (strcmp(first, "--version") == 0 || strcmp(first, "-V") == 0) {
        int status = print_version();
        return status == CLI_OK ? cli_finish_output() : status;
    }
    for (int i = 0; i < verb_count; ++i) {
        if (strcmp(first, verbs[i].name) != 0)
            continue;
        for (int a = 2; a < argc && strcmp(argv[a], "--") != 0; ++a) {
            if (strcmp(argv[a], "--help") == 0 || strcmp(argv[a], "-h") == 0) {
                cli_print_help(verbs[i].name);
                return cli_finish_output();
            }
        }
        int status = verbs[i].run(argc - 2, argv + 2);
        if (status == CLI_OK)
            status = cli_finish_output();
        cli_stop_engine();
        if (cli_broken_pipe)
            end_on_broken_pipe();
        return status;
    }
    if (first[0] == '-')
        return cli_usage_error(NULL, "unknown option '%s'", first);
    return cli_usage_error(NULL, "unknown verb '%s'", first);
}
