/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Opening the capture from a file or standard input; see input.h. */
#define _GNU_SOURCE
#include "input.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "wsbridge.h"
#include "jobs.h"
#include "live.h"
#include "report.h"

static struct {
    /* The size of the capture's file, for the progress shown. */
    uint64_t size;
    int standard_input_closed;
    /* The path the capture was opened by (for standard input, the path of
     * its descriptor). */
    char opened_path[4096];
} input;

void cli_guard_standard_descriptors(void)
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        if (fd == STDIN_FILENO)
            input.standard_input_closed = 1;
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
    if (input.standard_input_closed)
        return cli_usage_error(verb, "FILE is '-' but standard input is closed");
    if (isatty(STDIN_FILENO))
        return cli_usage_error(verb, "FILE is '-' but standard input is a terminal, not a capture");
    if (fstat(STDIN_FILENO, &st) == 0 && S_ISREG(st.st_mode) && lseek(STDIN_FILENO, 0, SEEK_CUR) == 0) {
        snprintf(path, size, "/proc/self/fd/%d", STDIN_FILENO);
        return CLI_OK;
    }
    return copy_standard_input(path, size);
}

int cli_open_capture(const char *verb, const char *path)
{
    if (cli_live_requested()) {
        input.size = 0;
        return cli_open_live();
    }
    char standard_input[64];
    const int from_standard_input = strcmp(path, "-") == 0;
    if (from_standard_input) {
        const int kept = cli_keep_standard_input(verb, standard_input, sizeof standard_input);
        if (kept != CLI_OK)
            return kept;
        path = standard_input;
    }
    struct stat st;
    input.size = stat(path, &st) == 0 && S_ISREG(st.st_mode) ? (uint64_t)st.st_size : 0;
    if (gOpenCapture(path) != WSB_OK)
        return cli_fail(from_standard_input ? "standard input" : "open");
    snprintf(input.opened_path, sizeof input.opened_path, "%s", path);
    return CLI_OK;
}

int cli_reopen_capture(void)
{
    if (gOpenCapture(input.opened_path) != WSB_OK)
        return cli_fail("open");
    return CLI_OK;
}

int cli_open_capture_in_sequence(const char *verb, const char *path, int *streaming)
{
    /* The library reads an anonymous pipe in sequence; a named FIFO or a
     * socket is copied as before. */
    struct stat st;
    struct statfs fs;
    /* A live capture's lines show as its packets arrive too. */
    if (cli_live_requested()) {
        *streaming = 1;
        return cli_open_capture(verb, path);
    }
    *streaming = strcmp(path, "-") == 0 && fstat(STDIN_FILENO, &st) == 0 && S_ISFIFO(st.st_mode) &&
                 fstatfs(STDIN_FILENO, &fs) == 0 && fs.f_type == PIPEFS_MAGIC;
    if (!*streaming)
        return cli_open_capture(verb, path);
    input.size = 0;
    if (gOpenCapture("/proc/self/fd/0") != WSB_OK)
        return cli_fail("standard input");
    return CLI_OK;
}

int cli_read_packet(PacketSummary *summary)
{
    const int read = gGetNextPacket(summary);
    if (read == WSB_OK)
        cli_job_packet(summary->frame_number);
    return read;
}

uint64_t cli_input_size(void)
{
    return input.size;
}
