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
 * older spelling --skip-tcp-repeats) every packet is judged by the library's
 * TCP sequence tracker, which leaves out the packets of the tracked
 * conversation that only repeat bytes already written (see
 * gSavePacketToCaptureFile). */
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
#include "report.h"
#include "verbs.h"

typedef struct {
    uint32_t first, last;
} frame_range;

/* What the save requests need of a listed packet, in frame order. */
typedef struct {
    uint32_t frame_number;
    uint32_t packet_length;
    uint32_t captured_length;
    int64_t file_offset;
    int64_t time_seconds;
    int32_t time_nanoseconds;
    int32_t encapsulation;
} packet_place;

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

/* A range "N-" runs to the capture's last frame; collect_places ends it
 * there once the capture is read. */
static const uint32_t open_end = UINT32_MAX;

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

static int listed(const frame_range *ranges, size_t count, uint32_t frame)
{
    for (size_t i = 0; i < count; ++i)
        if (frame >= ranges[i].first && frame <= ranges[i].last)
            return 1;
    return 0;
}

static int compare_place(const void *key, const void *element)
{
    uint32_t frame = *(const uint32_t *)key;
    uint32_t other = ((const packet_place *)element)->frame_number;
    return frame < other ? -1 : frame > other;
}

/* Reads the capture again, without the display filter and the column texts,
 * up to frame `stop_at` (to its end for open_end) and counts its frames
 * into *frames: CLI_OK, or CLI_FAILED after a reported failure. A filtered
 * reading does not see the packets it passes over, so this is how the
 * frames it skipped at the end of the capture are known. */
static int count_frames(uint32_t stop_at, uint32_t *frames)
{
    if (gSetDisplayFilter(NULL) != WSB_OK)
        return cli_fail("-Y");
    if (cli_reopen_capture() != CLI_OK)
        return CLI_FAILED;
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

/* Reads the capture up to the last listed frame and keeps the places of the
 * listed packets (with a display filter set, of those that match it: the
 * reading then goes on to the end, and a listed frame that is not read is
 * one that does not match, once the capture is known to have it). Open
 * ranges end at the capture's last frame. "all" ("1-") needs no frame at
 * all: a capture without packets, or a filter that matches none, saves an
 * empty capture, as tshark and editcap write one. 0 on success, else the
 * status after a reported failure or usage error. */
static int collect_places(frame_range *ranges, size_t range_count, int filtered, packet_place **places,
                          size_t *count)
{
    uint32_t last_listed = 0, last_read = 0, last_needed = 0;
    int open_range = 0;
    for (size_t i = 0; i < range_count; ++i) {
        if (ranges[i].last > last_listed)
            last_listed = ranges[i].last;
        open_range |= ranges[i].last == open_end;
        /* An open range needs its first frame, but "1-" needs none. */
        uint32_t needed = ranges[i].last != open_end ? ranges[i].last : ranges[i].first > 1 ? ranges[i].first : 0;
        if (needed > last_needed)
            last_needed = needed;
    }
    size_t capacity = 0;
    *places = NULL;
    *count = 0;
    PacketSummary summary;
    int status;
    while ((status = gGetNextPacket(&summary)) == WSB_OK) {
        if (listed(ranges, range_count, summary.frame_number)) {
            if (*count == capacity) {
                size_t grown = capacity ? capacity * 2 : 64;
                packet_place *bigger = realloc(*places, grown * sizeof *bigger);
                if (!bigger) {
                    fprintf(stderr, "wsbridge: out of memory\n");
                    return 1;
                }
                *places = bigger;
                capacity = grown;
            }
            packet_place *place = &(*places)[(*count)++];
            place->frame_number = summary.frame_number;
            place->packet_length = summary.packet_length;
            place->captured_length = summary.captured_length;
            place->file_offset = summary.file_offset;
            place->time_seconds = summary.time_seconds;
            place->time_nanoseconds = summary.time_nanoseconds;
            place->encapsulation = summary.encapsulation;
        }
        last_read = summary.frame_number;
        if (last_read >= last_listed)
            return 0;
    }
    if (status != WSB_END)
        return cli_fail("read");
    /* Without a filter every frame was read. With one, the packets it passed
     * over were not seen: whether the capture has the last frame needed, and
     * where open ranges end, take another look. */
    uint32_t frames = last_read;
    if (filtered && (open_range || last_needed > last_read)) {
        const int counted = count_frames(open_range ? open_end : last_needed, &frames);
        if (counted != CLI_OK)
            return counted;
    }
    if (last_needed > frames)
        return cli_no_such_frame("save", last_needed, frames);
    for (size_t i = 0; i < range_count; ++i)
        if (ranges[i].last == open_end)
            ranges[i].last = frames;
    return 0;
}

static int ends_with(const char *text, const char *suffix)
{
    size_t length = strlen(text), suffix_length = strlen(suffix);
    return length > suffix_length && strcasecmp(text + length - suffix_length, suffix) == 0;
}

/* Without -F: OUT's extension, else the capture's own format when it keeps
 * everything (the library falls back to pcapng). A ".pcap" file gets the
 * libpcap variant the stamps need, as the capture's precision says. */
static int32_t format_for(const char *out)
{
    if (ends_with(out, ".pcapng"))
        return WSB_SAVE_FORMAT_PCAPNG;
    if (ends_with(out, ".pcap")) {
        int32_t decimals = 6;
        gGetPacketTimePrecision(&decimals);
        return decimals > 6 ? WSB_SAVE_FORMAT_PCAP_NSEC : WSB_SAVE_FORMAT_PCAP;
    }
    return WSB_SAVE_FORMAT_AS_CAPTURE;
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

/* Saves the listed packets in order; 0 or 1. */
static int save_places(const char *out, int32_t format, const frame_range *ranges, size_t range_count,
                       const packet_place *places, size_t count, int skip_repeats, int filtered)
{
    const int to_standard_output = strcmp(out, "-") == 0;
    char private_path[64];
    int private_fd = -1;
    if (to_standard_output) {
        if ((private_fd = cli_private_file("save", private_path, sizeof private_path)) < 0)
            return CLI_FAILED;
        out = private_path;
    }
    if (format < 0)
        format = to_standard_output ? WSB_SAVE_FORMAT_AS_CAPTURE : format_for(out);
    if (gCreateCaptureFileForSaveInFormat(out, format) != WSB_OK) {
        if (private_fd >= 0)
            close(private_fd);
        return cli_fail("create");
    }
    unsigned long written = 0, skipped = 0, not_matching = 0;
    for (size_t i = 0; i < range_count; ++i) {
        for (uint64_t frame = ranges[i].first; frame <= ranges[i].last; ++frame) {
            uint32_t key = (uint32_t)frame;
            const packet_place *place = bsearch(&key, places, count, sizeof *places, compare_place);
            if (!place) {
                /* Every listed frame is in the capture (collect_places
                 * checked): one not kept did not match the filter. */
                ++not_matching;
                continue;
            }
            SavePacketRequest request;
            memset(&request, 0, sizeof request);
            request.frame_number = place->frame_number;
            request.packet_length = place->packet_length;
            request.captured_length = place->captured_length;
            request.file_offset = place->file_offset;
            request.time_seconds = place->time_seconds;
            request.time_nanoseconds = place->time_nanoseconds;
            request.encapsulation = place->encapsulation;
            request.skip_flag = skip_repeats ? 1 : 0;
            uint8_t left_out = 0;
            if (gSavePacketToCaptureFile(&left_out, &request) != WSB_OK) {
                int status = cli_fail("save");
                gCloseCaptureFileForSave();
                if (private_fd >= 0)
                    close(private_fd);
                return status;
            }
            if (left_out)
                ++skipped;
            else
                ++written;
        }
    }
    if (gCloseCaptureFileForSave() != WSB_OK) {
        if (private_fd >= 0)
            close(private_fd);
        return cli_fail("close");
    }
    if (private_fd >= 0) {
        const int status = copy_to_standard_output(private_fd);
        close(private_fd);
        /* The capture did not reach its reader: nothing is claimed written
         * (a closed pipe ends the process quietly). */
        if (status != CLI_OK)
            return status;
    }
    /* The counts go where the capture does not. */
    FILE *counts = to_standard_output ? stderr : stdout;
    if (filtered)
        fprintf(counts, "%lu written, %lu skipped, %lu not matching the filter\n", written, skipped, not_matching);
    else
        fprintf(counts, "%lu written, %lu skipped\n", written, skipped);
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
} settings = {NULL, NULL, NULL, NULL, -1, 0};

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
    const char *const positional[3] = {settings.file, settings.out, settings.frames};
    const int positional_count = !!settings.file + !!settings.out + !!settings.frames;
    const char *filter = settings.filter;
    int status = CLI_OK;
    static const char *const missing[] = {"FILE, OUT and FRAMES are missing", "OUT and FRAMES are missing",
                                          "FRAMES is missing (e.g. 1,3-5,9, 100- or all; optional with -Y)"};
    if (positional_count < 2 || (positional_count == 2 && !filter))
        return cli_usage_error(verb, "%s", missing[positional_count]);
    if (strcmp(positional[1], "-") == 0 && isatty(STDOUT_FILENO))
        return cli_usage_error(verb, "OUT is '-' but standard output is a terminal, not a file or pipe");
    /* With -Y alone, every matching packet. */
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
    /* Finding the listed packets needs their places, not their texts. */
    gSetSummaryTexts(0);
    packet_place *places = NULL;
    size_t place_count = 0;
    status = collect_places(ranges, range_count, filter != NULL, &places, &place_count);
    if (status == CLI_OK)
        status = save_places(positional[1], settings.format, ranges, range_count, places, place_count,
                             settings.skip_repeats, filter != NULL);
    gCloseCapture();
    free(places);
    free(ranges);
    return status;
}

const cli_verb cli_save_verb = {
    "save",
    "save FILE OUT [FRAMES] [-Y FILTER] [-F pcap|pcapng|nsecpcap] [--drop-tcp-retransmissions]",
    "Copies the packets listed in FRAMES (\"1,3-5,9\", \"100-\" to the end or\n"
    "\"all\"; listed order, repeats allowed) into the new capture file OUT and\n"
    "prints how many were written and left out. OUT '-' writes the capture to\n"
    "standard output (the counts then go to stderr).",
    save_options,
    run_save,
};
