/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Progress of reading on a terminal; see progress.h. */
#include "progress.h"

#include <inttypes.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include "input.h"
#include "jobs.h"

static struct {
    int on, shown;
    struct timespec last;
} progress;

void cli_progress_begin(void)
{
    progress.on = isatty(STDERR_FILENO) && !cli_job_worker();
    progress.shown = 0;
    clock_gettime(CLOCK_MONOTONIC, &progress.last);
}

void cli_progress_update(uint64_t packets, int64_t file_offset)
{
    if (!progress.on || (packets & 255) != 0)
        return;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t elapsed_ms = (int64_t)(now.tv_sec - progress.last.tv_sec) * 1000 +
                         (now.tv_nsec - progress.last.tv_nsec) / 1000000;
    if (elapsed_ms < 100)
        return;
    progress.last = now;
    const uint64_t size = cli_input_size();
    if (size > 0 && file_offset >= 0) {
        uint64_t share = (uint64_t)file_offset * 100 / size;
        fprintf(stderr, "\r\033[K%" PRIu64 " packets, %" PRIu64 "%% of the file", packets, share > 99 ? 99 : share);
    } else {
        fprintf(stderr, "\r\033[K%" PRIu64 " packets", packets);
    }
    progress.shown = 1;
}

void cli_progress_end(void)
{
    if (progress.shown)
        fputs("\r\033[K", stderr);
    progress.shown = 0;
}
