/* SPDX-License-Identifier: GPL-2.0-or-later */
/* wsbridge save FILE OUT [FRAMES] [-Y FILTER] [-F pcap|pcapng|nsecpcap]
 *                [--drop-tcp-retransmissions]:
 * copies the listed packets of FILE into OUT, in the order listed; with -Y
 * only those of them that match the display filter. FRAMES is a
 * comma-separated list of frame numbers and ranges ("1,3-5,9", "100-" to the
 * end, "all"); a frame may be listed more than once; without it -Y saves
 * every matching packet. OUT "-" is standard output: the library writes a
 * private unlinked temporary file, which is then copied out. The format is
 * -F's, else OUT's extension's, else the capture's own when it keeps
 * everything, else pcapng. With --drop-tcp-retransmissions (or its
 * older spelling --skip-tcp-repeats) the library's TCP sequence tracker
 * leaves out the packets of the tracked conversation that only repeat bytes
 * already written. The library saves them in one call (gSaveFrames). */
#define _GNU_SOURCE
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "wsbridge.h"
#include "engine.h"
#include "input.h"
#include "options.h"
#include "output.h"
#include "live.h"
#include "report.h"
#include "verbs.h"

typedef struct {
    uint32_t first, last;
} frame_range;

static int parse_frame(const char *text, char **end, uint32_t *frame)
{
    if (*text < '0' || *text > '9')
        return 0;
    errno = 0;
    unsigned long value = strtoul(text, end, 10);
    if (errno != 0 || value == 0 || value > UINT32_MAX)
        return 0;
    *frame = (uint32_t)value;
    return 1;
}

/* A range "N-" runs to the capture's last frame. */
static const uint32_t open_end = UINT32_MAX;
/* Frames a closed list may name before the capture is counted first. */
static const uint64_t long_list = 1u << 24;

/* Parses FRAMES into ranges ("all" is "1-"); 0 on a malformed list. The
 * caller frees. */
static int parse_frames(const char *text, frame_range **ranges, size_t *count)
{
    if (strcmp(text, "all") == 0)
        text = "1-";
    size_t capacity = 1;
    for (const char *p = text; *p; ++p)
        capacity += *p == ',';
    *ranges = calloc(capacity, sizeof **ranges);
    *count = 0;
    if (!*ranges)
        return 0;
    const char *p = text;
    for (;;) {
        char *end;
        frame_range range;
        if (!parse_frame(p, &end, &range.first))
            return 0;
        range.last = range.first;
        if (*end == '-' && (end[1] == '\0' || end[1] == ',')) {
            range.last = open_end;
            ++end;
        } else if (*end == '-' && (!parse_frame(end + 1, &end, &range.last) || range.last < range.first)) {
            return 0;
        }
        (*ranges)[(*count)++] = range;
        if (*end == '\0')
            return 1;
        if (*end != ',')
            return 0;
        p = end + 1;
    }
}

/* Reads the capture, without the display filter, up to frame `stop_at` (to
 * its end for open_end) and counts its frames into *frames: CLI_OK, or
 * CLI_FAILED after a reported failure. */
static int count_frames(uint32_t stop_at, uint32_t *frames)
{
    if (gSetDisplayFilter(NULL) != WSB_OK)
        return cli_fail("-Y");
    PacketSummary summary;
    int status;
    *frames = 0;
    while ((status = gGetNextPacket(&summary)) == WSB_OK) {
        *frames = summary.frame_number;
        if (summary.frame_number >= stop_at)
            return CLI_OK;
    }
    return status == WSB_END ? CLI_OK : cli_fail("read");
}

/* The last frame the list needs the capture to have: a closed range's last,
 * an open range's first ("1-" needs none: a capture without packets saves an
 * empty capture, as tshark and editcap write one). */
static uint32_t last_needed(const frame_range *ranges, size_t count)
{
    uint32_t needed = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t last = ranges[i].last != open_end ? ranges[i].last : ranges[i].first > 1 ? ranges[i].first : 0;
        if (last > needed)
            needed = last;
    }
    return needed;
}

/* The frames the ranges list, in order, open ranges ending at frame `last`;
 * NULL after a reported failure. */
static uint32_t *list_frames(const frame_range *ranges, size_t count, uint32_t last, int32_t *listed)
{
    uint64_t total = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t end = ranges[i].last < last ? ranges[i].last : last;
        total += end >= ranges[i].first ? (uint64_t)end - ranges[i].first + 1 : 0;
    }
    uint32_t *frames = total <= INT32_MAX ? malloc((size_t)(total ? total : 1) * sizeof *frames) : NULL;
    if (!frames) {
        fprintf(stderr, "wsbridge: out of memory\n");
        return NULL;
    }
    *listed = 0;
    for (size_t i = 0; i < count; ++i)
        for (uint64_t frame = ranges[i].first; frame <= ranges[i].last && frame <= last; ++frame)
            frames[(*listed)++] = (uint32_t)frame;
    return frames;
}

/* Copies the finished save file onto standard output; CLI_OK or
 * CLI_FAILED. */
static int copy_to_standard_output(int fd)
{
    if (lseek(fd, 0, SEEK_SET) != 0) {
        fprintf(stderr, "wsbridge: cannot read back the saved packets: %s\n", strerror(errno));
        return CLI_FAILED;
    }
    static char buffer[1 << 16];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            fprintf(stderr, "wsbridge: cannot read back the saved packets: %s\n", strerror(errno));
            return CLI_FAILED;
        }
        if (got == 0)
            break;
        /* cli_output_failed tells a closed pipe (the process then ends
         * quietly, as by SIGPIPE) from other failures (reported). */
        if (fwrite(buffer, 1, (size_t)got, stdout) != (size_t)got) {
            cli_output_failed();
            return CLI_FAILED;
        }
        if (cli_output_failed())
            return CLI_FAILED;
    }
    return cli_finish_output();
}

/* gSaveFrames failed: a frame the capture lacks is a usage error naming the
 * last frame the list needs; other failures are reported in the library's
 * words. */
static int report_failure(uint32_t needed)
{
    char message[2048];
    snprintf(message, sizeof message, "%s", gGetLastError());
    uint32_t frames = 0;
    if (gGetLastErrorCode() == WSB_E_BAD_ARGUMENT) {
        if (count_frames(needed, &frames) != CLI_OK)
            return CLI_FAILED;
        if (needed > frames)
            return cli_no_such_frame("save", needed, frames);
    }
    fprintf(stderr, "wsbridge: save: %s\n", message);
    return CLI_FAILED;
}

/* Saves the listed packets in order (every packet for NULL frames) and
 * prints the counts; 0 or the status after reporting. */
static int save_frames(const char *out, int32_t format, const uint32_t *frames, int32_t count, const char *filter,
                       int skip_repeats, uint32_t needed)
{
    const int to_standard_output = strcmp(out, "-") == 0;
    char private_path[64];
    int private_fd = -1;
    if (to_standard_output) {
        if ((private_fd = cli_private_file("save", private_path, sizeof private_path)) < 0)
            return CLI_FAILED;
        out = private_path;
    }
    /* Without -F: OUT's extension, else the capture's own format when it
     * keeps everything (the library falls back to pcapng). */
    if (format < 0)
        format = to_standard_output ? WSB_SAVE_FORMAT_AS_CAPTURE : WSB_SAVE_FORMAT_BY_NAME;
    int32_t written = 0, skipped = 0, not_matching = 0;
    int status = gSaveFrames(out, format, frames, count, filter, skip_repeats ? WSB_SAVE_DROP_TCP_REPEATS : 0,
                             &written, &skipped, &not_matching) == WSB_OK
                     ? CLI_OK
                     : report_failure(needed);
    /* The capture did not reach its reader: nothing is claimed written (a
     * closed pipe ends the process quietly). */
    if (private_fd >= 0) {
        if (status == CLI_OK)
            status = copy_to_standard_output(private_fd);
        close(private_fd);
    }
    if (status != CLI_OK)
        return status;
    /* The counts go where the capture does not. */
    FILE *counts = to_standard_output ? stderr : stdout;
    fprintf(counts, "%d written, %d skipped", (int)written, (int)skipped);
    fprintf(counts, filter ? ", %d not matching the filter\n" : "\n", (int)not_matching);
    return cli_output_failed() ? CLI_FAILED : CLI_OK;
}

/* The formats -F names, as tshark -F does (libpcap is pcap). */
static const cli_choice save_formats[] = {
    {"pcap", WSB_SAVE_FORMAT_PCAP, 0},           {"pcapng", WSB_SAVE_FORMAT_PCAPNG, 0},
    {"nsecpcap", WSB_SAVE_FORMAT_PCAP_NSEC, 0},  {"libpcap", WSB_SAVE_FORMAT_PCAP, 1},
    {NULL, 0, 0},
};

/* What the arguments set. */
static struct {
    const char *file, *out, *frames, *filter;
    int format; /* -1: chosen by OUT's name or the capture */
    int skip_repeats;
    uint64_t limit; /* -c, with -i */
} settings = {NULL, NULL, NULL, NULL, -1, 0, UINT64_MAX};

static const cli_option save_options[] = {
    CLI_FILE_ARGUMENT(CLI_TEXT, &settings.file),
    {"OUT", NULL, NULL, CLI_TEXT, &settings.out, .help = NULL},
    {"FRAMES", NULL, NULL, CLI_TEXT, &settings.frames, .help = NULL},
    CLI_FILTER_OPTION(&settings.filter, "only the listed packets that match the display filter (the\n"
                                        "count of those that do not is printed too); without FRAMES,\n"
                                        "every packet that matches"),
    {"-F", NULL, "FORMAT", CLI_CHOICE, &settings.format, .choices = save_formats,
     .refusal = "unknown save format '%s' (pcap, pcapng or nsecpcap)",
     .help = "pcap (microsecond libpcap), nsecpcap (nanosecond libpcap) or\n"
             "pcapng, as tshark -F names them; without it OUT's extension\n"
             "chooses (.pcapng, or .pcap in the libpcap variant the time\n"
             "stamps need), else the capture's own format when it keeps\n"
             "everything, else pcapng (comments, interfaces, several link\n"
             "types)"},
    CLI_LIVE_OPTIONS,
    {"-c", NULL, "COUNT", CLI_COUNT, &settings.limit, .help = "with -i, stop capturing after COUNT packets"},
    {"--drop-tcp-retransmissions", "--skip-tcp-repeats", NULL, CLI_FLAG, &settings.skip_repeats,
     .help = "(also --skip-tcp-repeats)\n"
             "leave out the packets of the first TCP conversation saved\n"
             "that only repeat bytes already written (retransmissions and\n"
             "duplicates); everything else is written"},
    {0},
};

static int run_save(void)
{
    static const char verb[] = "save";
    /* With -i the capture is the interface's: the words are OUT [FRAMES]. */
    const int live = cli_live_requested();
    if (live && settings.frames)
        return cli_usage_error(verb, "-i captures instead of reading FILE: the words are OUT [FRAMES]");
    if (!live && settings.limit != UINT64_MAX)
        return cli_usage_error(verb, "-c needs -i IFACE (a file's packets are chosen by FRAMES)");
    const char *const positional[3] = {live ? "" : settings.file, live ? settings.file : settings.out,
                                       live ? settings.out : settings.frames};
    const int positional_count = live + !!settings.file + !!settings.out + !!settings.frames;
    const char *filter = settings.filter;
    int status = CLI_OK;
    static const char *const missing[] = {"FILE, OUT and FRAMES are missing", "OUT and FRAMES are missing",
                                          "FRAMES is missing (e.g. 1,3-5,9, 100- or all; optional with -Y)"};
    if (positional_count < 2 || (positional_count == 2 && !filter && !live))
        return cli_usage_error(verb, "%s", missing[positional_count]);
    if (strcmp(positional[1], "-") == 0 && isatty(STDOUT_FILENO))
        return cli_usage_error(verb, "OUT is '-' but standard output is a terminal, not a file or pipe");
    /* With -Y alone (or a live capture), every matching packet. */
    const char *frames = positional_count == 3 ? positional[2] : "all";
    frame_range *ranges = NULL;
    size_t range_count = 0;
    if (!parse_frames(frames, &ranges, &range_count)) {
        free(ranges);
        return cli_usage_error(verb, "malformed frame list '%s' (expected e.g. 1,3-5,9, 100- or all)", frames);
    }
    if (cli_start_engine() != CLI_OK || cli_set_display_filter(filter) != CLI_OK ||
        (status = cli_open_capture(verb, positional[0])) != CLI_OK) {
        free(ranges);
        return status == CLI_OK ? CLI_FAILED : status;
    }
    /* Counting frames needs no column texts. */
    gSetSummaryTexts(0);
    /* A live capture is read until it ends (its stop condition, Ctrl-C):
     * what was read is then saved. */
    if (live) {
        PacketSummary packet;
        int read;
        uint64_t packets = 0;
        while (packets < settings.limit && (read = gGetNextPacket(&packet)) == WSB_OK)
            ++packets;
        if (packets < settings.limit && read != WSB_END) {
            free(ranges);
            gCloseCapture();
            return cli_fail("capture");
        }
    }
    /* "all" ("1-") is every packet; a list with open ranges needs the
     * capture's frame count, and so does a list too long to write out
     * before the capture is known to have its frames. */
    const int every = range_count == 1 && ranges[0].first == 1 && ranges[0].last == open_end;
    const uint32_t needed = last_needed(ranges, range_count);
    uint64_t closed = 0;
    int open_range = 0;
    for (size_t i = 0; i < range_count; ++i) {
        open_range |= ranges[i].last == open_end;
        closed += ranges[i].last == open_end ? 0 : (uint64_t)ranges[i].last - ranges[i].first + 1;
    }
    uint32_t in_capture = open_end;
    if (!every && (open_range || closed > long_list)) {
        status = count_frames(open_range ? open_end : needed, &in_capture);
        if (status == CLI_OK && needed > in_capture)
            status = cli_no_such_frame(verb, needed, in_capture);
    }
    uint32_t *list = NULL;
    int32_t listed = 0;
    if (status == CLI_OK && !every && !(list = list_frames(ranges, range_count, in_capture, &listed)))
        status = CLI_FAILED;
    if (status == CLI_OK)
        status = save_frames(positional[1], settings.format, list, listed, filter, settings.skip_repeats, needed);
    gCloseCapture();
    free(list);
    free(ranges);
    return status;
}

const cli_verb cli_save_verb = {
    "save",
    "save FILE OUT [FRAMES] [-Y FILTER] [-F pcap|pcapng|nsecpcap] [--drop-tcp-retransmissions]\n"
    "  wsbridge save -i IFACE OUT [FRAMES] [-f BPF] [-s SNAPLEN] [-a duration:S] [-c COUNT] [...]",
    "Copies the packets listed in FRAMES (\"1,3-5,9\", \"100-\" to the end or\n"
    "\"all\"; listed order, repeats allowed) into the new capture file OUT and\n"
    "prints how many were written and left out. OUT '-' writes the capture to\n"
    "standard output (the counts then go to stderr).",
    save_options,
    run_save,
    NULL,
};
