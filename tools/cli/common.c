/* SPDX-License-Identifier: GPL-2.0-or-later */
/* What the verbs of the command-line host share; see cli.h. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include "cli.h"

int cli_broken_pipe;
static int engine_started;

/* The -o settings of the command line, in the order given; they point into
 * argv, which lives as long as the process. */
static const char **preferences;
static int preference_count;

static int add_preference(const char *verb, const char *assignment)
{
    if (!strchr(assignment, ':'))
        return cli_usage_error(verb, "-o needs NAME:VALUE (as tshark -o takes it), not '%s'", assignment);
    const char **grown = realloc(preferences, (size_t)(preference_count + 1) * sizeof *grown);
    if (!grown) {
        fprintf(stderr, "wsbridge: out of memory\n");
        return CLI_FAILED;
    }
    preferences = grown;
    preferences[preference_count++] = assignment;
    return CLI_OK;
}

int cli_start_engine(void)
{
    if (gInitEpan() != WSB_OK)
        return cli_fail("start");
    engine_started = 1;
    for (int i = 0; i < preference_count; ++i)
        if (gSetPreference(preferences[i]) != WSB_OK)
            return cli_fail("-o");
    return cli_job_apply_share();
}

int cli_set_display_filter(const char *filter)
{
    if (filter && gSetDisplayFilter(filter) != WSB_OK)
        return cli_fail("-Y");
    return CLI_OK;
}

void cli_stop_engine(void)
{
    if (engine_started)
        gCleanupEpan();
    engine_started = 0;
    free(preferences);
    preferences = NULL;
    preference_count = 0;
}

int cli_fail(const char *what)
{
    fprintf(stderr, "wsbridge: %s: %s\n", what, gGetLastError());
    return CLI_FAILED;
}

int cli_usage_error(const char *verb, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    fprintf(stderr, "wsbridge%s%s: ", verb ? " " : "", verb ? verb : "");
    vfprintf(stderr, format, arguments);
    va_end(arguments);
    fprintf(stderr, "\nRun 'wsbridge%s%s --help' for usage.\n", verb ? " " : "", verb ? verb : "");
    return CLI_USAGE;
}

/* ---- options ---- */

static int looks_negative_number(const char *text)
{
    if (text[0] != '-' || text[1] < '0' || text[1] > '9')
        return 0;
    for (const char *p = text + 1; *p; ++p)
        if ((*p < '0' || *p > '9') && *p != '.' && *p != ',')
            return 0;
    return 1;
}

/* Finds the option a spelling names; *inline_value gets what follows "="
 * (long options) or the short option's letter. */
static int find_option(const char *word, const cli_option *options, int option_count, const char **inline_value)
{
    *inline_value = NULL;
    for (int i = 0; i < option_count; ++i) {
        const char *spellings[2] = {options[i].name, options[i].alias};
        for (int s = 0; s < 2; ++s) {
            const char *name = spellings[s];
            if (!name)
                continue;
            size_t length = strlen(name);
            if (strncmp(word, name, length) != 0)
                continue;
            if (word[length] == '\0')
                return i;
            if (options[i].value_name && name[1] == '-' && word[length] == '=') {
                *inline_value = word + length + 1;
                return i;
            }
            if (options[i].value_name && name[1] != '-' && length == 2) {
                *inline_value = word + 2;
                return i;
            }
        }
    }
    return -1;
}

int cli_parse(const char *verb, int argc, char **argv, const cli_option *options, int option_count,
              cli_argument *out, int *count)
{
    *count = 0;
    int options_ended = 0;
    for (int i = 0; i < argc; ++i) {
        const char *word = argv[i];
        if (options_ended || word[0] != '-' || word[1] == '\0' || looks_negative_number(word)) {
            out[(*count)++] = (cli_argument){-1, word};
            continue;
        }
        if (strcmp(word, "--") == 0) {
            options_ended = 1;
            continue;
        }
        if (strcmp(word, "--help") == 0 || strcmp(word, "-h") == 0) {
            cli_print_help(verb);
            return -1;
        }
        /* -o NAME:VALUE, taken by every verb: an engine preference. */
        if (strncmp(word, "-o", 2) == 0) {
            const char *assignment = word[2] ? word + 2 : NULL;
            if (!assignment && i + 1 >= argc)
                return cli_usage_error(verb, "option '-o' needs a value (NAME:VALUE)");
            int status = add_preference(verb, assignment ? assignment : argv[++i]);
            if (status != CLI_OK)
                return status;
            continue;
        }
        const char *value = NULL;
        int option = find_option(word, options, option_count, &value);
        if (option < 0)
            return cli_usage_error(verb, "unknown option '%s'", word);
        if (!options[option].value_name) {
            out[(*count)++] = (cli_argument){option, NULL};
            continue;
        }
        if (!value) {
            if (i + 1 >= argc)
                return cli_usage_error(verb, "option '%s' needs a value (%s)", word, options[option].value_name);
            value = argv[++i];
        }
        out[(*count)++] = (cli_argument){option, value};
    }
    return CLI_OK;
}

static int parse_positive(const char *text, uint64_t limit, uint64_t *value)
{
    if (*text < '0' || *text > '9')
        return 0;
    errno = 0;
    char *end = NULL;
    unsigned long long parsed = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed == 0 || parsed > limit)
        return 0;
    *value = parsed;
    return 1;
}

int cli_parse_frame(const char *verb, const char *what, const char *text, uint32_t *frame)
{
    uint64_t value = 0;
    if (!parse_positive(text, UINT32_MAX, &value))
        return cli_usage_error(verb, "%s must be a frame number from 1 on, not '%s'", what, text);
    *frame = (uint32_t)value;
    return CLI_OK;
}

int cli_parse_count(const char *verb, const char *text, uint64_t *count)
{
    if (!parse_positive(text, UINT64_MAX, count))
        return cli_usage_error(verb, "-c needs a packet count from 1 on, not '%s'", text);
    return CLI_OK;
}

int cli_choose_output(const char *verb, int *format, int wanted)
{
    if (*format != CLI_TEXT_OUTPUT && *format != wanted)
        return cli_usage_error(verb, "--json and --csv exclude each other");
    *format = wanted;
    return CLI_OK;
}

int cli_no_such_frame(const char *verb, uint32_t frame, uint64_t packets)
{
    if (packets == 0)
        return cli_usage_error(verb, "there is no frame %" PRIu32 ": the capture has no packets", frame);
    return cli_usage_error(verb, "there is no frame %" PRIu32 ": the capture has %" PRIu64 " packet%s", frame,
                           packets, packets == 1 ? "" : "s");
}

/* ---- input ---- */

static uint64_t input_size;
static int standard_input_closed;

void cli_guard_standard_descriptors(void)
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        if (fd == STDIN_FILENO)
            standard_input_closed = 1;
        /* /dev/null, opened the other way round, takes the number: reading
         * or writing it fails as on the closed descriptor. (open takes the
         * lowest free number, which is fd.) */
        int opened = open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

int cli_private_file(const char *purpose, char *path, size_t size)
{
    const char *directory = getenv("TMPDIR");
    if (!directory || !*directory)
        directory = "/tmp";
    char name[4096];
    snprintf(name, sizeof name, "%s/wsbridge-%s-XXXXXX", directory, purpose);
    int fd = mkstemp(name);
    if (fd < 0) {
        fprintf(stderr, "wsbridge: cannot create a temporary file in %s: %s\n", directory, strerror(errno));
        return -1;
    }
    unlink(name);
    snprintf(path, size, "/proc/self/fd/%d", fd);
    return fd;
}

/* Copies standard input into a temporary file that is unlinked at once and
 * stays reachable through its descriptor only. */
static int copy_standard_input(char *path, size_t size)
{
    const char *directory = getenv("TMPDIR");
    if (!directory || !*directory)
        directory = "/tmp";
    int fd = cli_private_file("stdin", path, size);
    if (fd < 0)
        return CLI_FAILED;
    static char buffer[1 << 16];
    for (;;) {
        ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            fprintf(stderr, "wsbridge: cannot read standard input: %s\n", strerror(errno));
            close(fd);
            return CLI_FAILED;
        }
        for (ssize_t done = 0; done < got;) {
            ssize_t put = write(fd, buffer + done, (size_t)(got - done));
            if (put < 0 && errno == EINTR)
                continue;
            if (put < 0) {
                fprintf(stderr, "wsbridge: cannot keep standard input in %s: %s\n", directory, strerror(errno));
                close(fd);
                return CLI_FAILED;
            }
            done += put;
        }
    }
    snprintf(path, size, "/proc/self/fd/%d", fd);
    return CLI_OK;
}

int cli_keep_standard_input(const char *verb, char *path, size_t size)
{
    struct stat st;
    if (standard_input_closed)
        return cli_usage_error(verb, "FILE is '-' but standard input is closed");
    if (isatty(STDIN_FILENO))
        return cli_usage_error(verb, "FILE is '-' but standard input is a terminal, not a capture");
    if (fstat(STDIN_FILENO, &st) == 0 && S_ISREG(st.st_mode) && lseek(STDIN_FILENO, 0, SEEK_CUR) == 0) {
        snprintf(path, size, "/proc/self/fd/%d", STDIN_FILENO);
        return CLI_OK;
    }
    return copy_standard_input(path, size);
}

int cli_parse_jobs(const char *verb, const char *text, int *jobs)
{
    char *end = NULL;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (errno != 0 || !end || *end != '\0' || end == text || value < 1 || value > 64)
        return cli_usage_error(verb, "--jobs needs a number of processes from 1 to 64, not '%s'", text);
    *jobs = (int)value;
    return CLI_OK;
}

/* The path the capture was opened by (for standard input, the path of its
 * descriptor). */
static char opened_path[4096];

int cli_open_capture(const char *verb, const char *path)
{
    char standard_input[64];
    const int from_standard_input = strcmp(path, "-") == 0;
    if (from_standard_input) {
        const int kept = cli_keep_standard_input(verb, standard_input, sizeof standard_input);
        if (kept != CLI_OK)
            return kept;
        path = standard_input;
    }
    struct stat st;
    input_size = stat(path, &st) == 0 && S_ISREG(st.st_mode) ? (uint64_t)st.st_size : 0;
    if (gOpenCapture(path) != WSB_OK)
        return cli_fail(from_standard_input ? "standard input" : "open");
    snprintf(opened_path, sizeof opened_path, "%s", path);
    return CLI_OK;
}

int cli_reopen_capture(void)
{
    if (gOpenCapture(opened_path) != WSB_OK)
        return cli_fail("open");
    return CLI_OK;
}

int cli_open_capture_in_sequence(const char *verb, const char *path, int *streaming)
{
    /* The library reads an anonymous pipe in sequence; a named FIFO or a
     * socket is copied as before. */
    struct stat st;
    struct statfs fs;
    *streaming = strcmp(path, "-") == 0 && fstat(STDIN_FILENO, &st) == 0 && S_ISFIFO(st.st_mode) &&
                 fstatfs(STDIN_FILENO, &fs) == 0 && fs.f_type == PIPEFS_MAGIC;
    if (!*streaming)
        return cli_open_capture(verb, path);
    input_size = 0;
    if (gOpenCapture("/proc/self/fd/0") != WSB_OK)
        return cli_fail("standard input");
    return CLI_OK;
}

/* ---- output ---- */

int cli_output_failed(void)
{
    if (!ferror(stdout))
        return 0;
    int error = errno;
    if (error == EPIPE) {
        cli_broken_pipe = 1;
    } else if (!cli_broken_pipe) {
        static int reported;
        if (!reported)
            fprintf(stderr, "wsbridge: cannot write the output: %s\n", strerror(error ? error : EIO));
        reported = 1;
    }
    return 1;
}

int cli_finish_output(void)
{
    if (fflush(stdout) != 0 || ferror(stdout)) {
        cli_output_failed();
        return CLI_FAILED;
    }
    return CLI_OK;
}

/* ---- progress ---- */

static int progress_shown, progress_on;
static struct timespec progress_last;

void cli_progress_begin(void)
{
    progress_on = isatty(STDERR_FILENO) && !cli_job_worker();
    progress_shown = 0;
    clock_gettime(CLOCK_MONOTONIC, &progress_last);
}

void cli_progress_update(uint64_t packets, int64_t file_offset)
{
    if (!progress_on || (packets & 255) != 0)
        return;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t elapsed_ms = (int64_t)(now.tv_sec - progress_last.tv_sec) * 1000 +
                         (now.tv_nsec - progress_last.tv_nsec) / 1000000;
    if (elapsed_ms < 100)
        return;
    progress_last = now;
    if (input_size > 0 && file_offset >= 0) {
        uint64_t share = (uint64_t)file_offset * 100 / input_size;
        fprintf(stderr, "\r\033[K%" PRIu64 " packets, %" PRIu64 "%% of the file", packets, share > 99 ? 99 : share);
    } else {
        fprintf(stderr, "\r\033[K%" PRIu64 " packets", packets);
    }
    progress_shown = 1;
}

void cli_progress_end(void)
{
    if (progress_shown)
        fputs("\r\033[K", stderr);
    progress_shown = 0;
}

/* ---- times ---- */

/* Writes the decimal digits of value at out; returns their count. */
size_t cli_put_unsigned(char *out, uint64_t value)
{
    char digits[20];
    size_t count = 0;
    do {
        digits[count++] = (char)('0' + value % 10);
        value /= 10;
    } while (value);
    for (size_t i = 0; i < count; ++i)
        out[i] = digits[count - 1 - i];
    return count;
}

void cli_format_relative_time(char *out, size_t size, const PacketSummary *packet, int64_t first_seconds,
                              int32_t first_nanoseconds, int32_t decimals)
{
    /* Formatted by hand: the summary formats one per packet. The difference
     * is worked out as a sign, seconds and nanoseconds, in unsigned
     * arithmetic: time stamps of any two 64-bit seconds values (a pcapng
     * capture's can be 584,000 years apart) differ without overflow. */
    char text[48];
    size_t length = 0;
    int negative = packet->time_seconds < first_seconds;
    uint64_t seconds = negative ? (uint64_t)first_seconds - (uint64_t)packet->time_seconds
                                : (uint64_t)packet->time_seconds - (uint64_t)first_seconds;
    int64_t nanoseconds = (int64_t)packet->time_nanoseconds - first_nanoseconds;
    if (negative)
        nanoseconds = -nanoseconds;
    if (nanoseconds < 0 && seconds > 0) {
        seconds -= 1;
        nanoseconds += 1000000000;
    } else if (nanoseconds < 0) {
        negative = !negative;
        nanoseconds = -nanoseconds;
    }
    uint64_t fraction = (uint64_t)nanoseconds;
    if (negative && (seconds > 0 || fraction > 0))
        text[length++] = '-';
    length += cli_put_unsigned(text + length, seconds);
    if (decimals > 0) {
        if (decimals > 9)
            decimals = 9;
        for (int i = decimals; i < 9; ++i)
            fraction /= 10;
        text[length++] = '.';
        for (int i = decimals - 1; i >= 0; --i) {
            text[length + (size_t)i] = (char)('0' + fraction % 10);
            fraction /= 10;
        }
        length += (size_t)decimals;
    }
    if (size == 0)
        return;
    if (length >= size)
        length = size - 1;
    memcpy(out, text, length);
    out[length] = '\0';
}

/* ---- JSON and CSV ---- */

/* Length of the valid UTF-8 sequence at p (1 to 4), or 0. */
static int utf8_length(const unsigned char *p)
{
    int length;
    uint32_t code;
    if (p[0] < 0x80)
        return 1;
    if ((p[0] & 0xE0) == 0xC0) {
        length = 2;
        code = p[0] & 0x1F;
    } else if ((p[0] & 0xF0) == 0xE0) {
        length = 3;
        code = p[0] & 0x0F;
    } else if ((p[0] & 0xF8) == 0xF0) {
        length = 4;
        code = p[0] & 0x07;
    } else {
        return 0;
    }
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (p[i] & 0x3F);
    }
    static const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

void cli_json_string(FILE *out, const char *text)
{
    putc('"', out);
    const unsigned char *p = (const unsigned char *)(text ? text : "");
    while (*p) {
        if (*p == '"' || *p == '\\') {
            putc('\\', out);
            putc(*p++, out);
        } else if (*p == '\n') {
            fputs("\\n", out);
            ++p;
        } else if (*p == '\t') {
            fputs("\\t", out);
            ++p;
        } else if (*p == '\r') {
            fputs("\\r", out);
            ++p;
        } else if (*p < 0x20 || *p == 0x7F) {
            fprintf(out, "\\u%04x", *p++);
        } else {
            int length = utf8_length(p);
            if (length == 0) {
                fputs("\\ufffd", out);
                ++p;
            } else {
                fwrite(p, 1, (size_t)length, out);
                p += length;
            }
        }
    }
    putc('"', out);
}

void cli_csv_field(FILE *out, const char *text)
{
    if (!text)
        text = "";
    if (!strpbrk(text, ",\"\r\n")) {
        fputs(text, out);
        return;
    }
    putc('"', out);
    for (const char *p = text; *p; ++p) {
        if (*p == '"')
            putc('"', out);
        putc(*p, out);
    }
    putc('"', out);
}
