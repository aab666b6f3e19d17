/* SPDX-License-Identifier: GPL-2.0-or-later */
/* --jobs N: one capture read by N worker processes, each its own engine
 * dissecting one share of the capture's conversations (gSetReadingShare),
 * their output merged in frame order into what one process writes.
 *
 * A worker writes what the verb prints into memory and hands it to the
 * parent packet by packet through a pipe, as records of a frame number, a
 * length and the bytes. Frame 0 is what comes before the first packet (a CSV
 * header); only the first worker's is kept. The parent always writes the
 * record with the lowest frame number of those the workers offer: each
 * worker's frames rise, so the output is in frame order. */
#define _GNU_SOURCE
#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "jobs.h"

#include "wsbridge.h"
#include "input.h"
#include "output.h"
#include "report.h"

/* Set in a worker: its share and its way to the parent. */
static int job_index, job_count = 1;
static FILE *to_parent;
static char *memory;
static size_t memory_size;
static uint32_t current_frame;

int cli_job_worker(void)
{
    return job_count > 1;
}

int cli_job_apply_share(void)
{
    if (job_count > 1 && gSetReadingShare(job_index, job_count, WSB_SHARE_BY_ADDRESSES) != WSB_OK)
        return cli_fail("--jobs");
    return CLI_OK;
}

/* Hands what the verb printed since the last record to the parent as the
 * record of current_frame. */
static int send_record(void)
{
    if (fflush(stdout) != 0)
        return CLI_FAILED;
    const uint32_t header[2] = {current_frame, (uint32_t)memory_size};
    if (memory_size > 0 || current_frame > 0) {
        if (fwrite(header, sizeof header, 1, to_parent) != 1 ||
            (memory_size > 0 && fwrite(memory, 1, memory_size, to_parent) != memory_size))
            return CLI_FAILED;
    }
    rewind(stdout);
    return CLI_OK;
}

int cli_job_packet(uint32_t frame)
{
    if (job_count <= 1)
        return CLI_OK;
    if (send_record() != CLI_OK)
        return CLI_FAILED;
    current_frame = frame;
    return CLI_OK;
}

int cli_job_finish(void)
{
    if (job_count <= 1)
        return CLI_OK;
    const int status = send_record();
    return fflush(to_parent) == 0 ? status : CLI_FAILED;
}

/* The parent's view of one worker. */
struct worker {
    pid_t pid;
    FILE *from;
    int open;             /* still sending */
    uint32_t frame;       /* frame of the record waiting, when `waiting` */
    int waiting;
    char *bytes;
    size_t length, room;
};

/* Reads the worker's next record; closes it at the end of its output. */
static int next_record(struct worker *w)
{
    uint32_t header[2];
    if (fread(header, sizeof header, 1, w->from) != 1) {
        w->open = 0;
        w->waiting = 0;
        return CLI_OK;
    }
    if (header[1] > w->room) {
        char *grown = realloc(w->bytes, header[1]);
        if (!grown) {
            fprintf(stderr, "wsbridge: out of memory\n");
            return CLI_FAILED;
        }
        w->bytes = grown;
        w->room = header[1];
    }
    if (header[1] > 0 && fread(w->bytes, 1, header[1], w->from) != header[1]) {
        w->open = 0;
        w->waiting = 0;
        return CLI_OK;
    }
    w->frame = header[0];
    w->length = header[1];
    w->waiting = 1;
    return CLI_OK;
}

static void end_workers(struct worker *workers, int count, int signal_number)
{
    for (int i = 0; i < count; ++i) {
        if (workers[i].pid > 0 && signal_number)
            kill(workers[i].pid, signal_number);
    }
}

/* Waits for every worker; CLI_FAILED when one of them did not end well
 * (its message is already on stderr), unless it was ended on purpose. */
static int reap_workers(struct worker *workers, int count, int ended_on_purpose)
{
    int status = CLI_OK;
    for (int i = 0; i < count; ++i) {
        if (workers[i].pid <= 0)
            continue;
        int wait_status = 0;
        while (waitpid(workers[i].pid, &wait_status, 0) < 0 && errno == EINTR)
            ;
        if (ended_on_purpose)
            continue;
        if (WIFEXITED(wait_status) && WEXITSTATUS(wait_status) != 0)
            status = WEXITSTATUS(wait_status) == CLI_USAGE ? CLI_USAGE : CLI_FAILED;
        else if (WIFSIGNALED(wait_status) && WTERMSIG(wait_status) != SIGPIPE) {
            fprintf(stderr, "wsbridge: worker %d of %d ended by signal %d\n", i + 1, count, WTERMSIG(wait_status));
            status = CLI_FAILED;
        }
    }
    return status;
}

/* Merges the workers' records in frame order onto standard output. */
static int merge(struct worker *workers, int count, uint64_t limit)
{
    uint64_t packets = 0;
    for (int i = 0; i < count; ++i)
        if (next_record(&workers[i]) != CLI_OK)
            return CLI_FAILED;
    /* What comes before the first packet, from the first worker only. */
    for (int i = 0; i < count; ++i) {
        if (workers[i].waiting && workers[i].frame == 0) {
            if (i == 0)
                fwrite(workers[i].bytes, 1, workers[i].length, stdout);
            if (next_record(&workers[i]) != CLI_OK)
                return CLI_FAILED;
        }
    }
    for (;;) {
        int lowest = -1;
        for (int i = 0; i < count; ++i)
            if (workers[i].waiting && (lowest < 0 || workers[i].frame < workers[lowest].frame))
                lowest = i;
        if (lowest < 0)
            break;
        /* A worker that ended early (failed) may hold packets back: its
         * end is checked before anything after its last packet is written. */
        for (int i = 0; i < count; ++i) {
            if (!workers[i].open && workers[i].pid > 0) {
                int wait_status = 0;
                if (waitpid(workers[i].pid, &wait_status, 0) == workers[i].pid) {
                    workers[i].pid = 0;
                    if (!WIFEXITED(wait_status) || WEXITSTATUS(wait_status) != 0) {
                        if (WIFSIGNALED(wait_status))
                            fprintf(stderr, "wsbridge: worker %d of %d ended by signal %d\n", i + 1, count,
                                    WTERMSIG(wait_status));
                        return CLI_FAILED;
                    }
                }
            }
        }
        fwrite(workers[lowest].bytes, 1, workers[lowest].length, stdout);
        if (cli_output_failed())
            return CLI_FAILED;
        if (++packets >= limit)
            return CLI_OK;
        if (next_record(&workers[lowest]) != CLI_OK)
            return CLI_FAILED;
    }
    return CLI_OK;
}

int cli_jobs_start(const char *verb, int jobs, const char **path, uint64_t limit, int *status)
{
    /* Standard input is read once, into a private file every worker reads. */
    static char input[64];
    if (strcmp(*path, "-") == 0) {
        const int kept = cli_keep_standard_input(verb, input, sizeof input);
        if (kept != CLI_OK) {
            *status = kept;
            return 1;
        }
        *path = input;
    }
    fflush(stdout);
    fflush(stderr);
    struct worker workers[jobs];
    memset(workers, 0, sizeof workers);
    for (int i = 0; i < jobs; ++i) {
        int ends[2];
        if (pipe(ends) != 0) {
            fprintf(stderr, "wsbridge: cannot make a pipe for worker %d: %s\n", i + 1, strerror(errno));
            end_workers(workers, i, SIGTERM);
            reap_workers(workers, i, 1);
            *status = CLI_FAILED;
            return 1;
        }
        const pid_t pid = fork();
        if (pid == 0) {
            /* The worker: ends with its parent; prints into memory. */
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            close(ends[0]);
            for (int j = 0; j < i; ++j)
                fclose(workers[j].from);
            to_parent = fdopen(ends[1], "w");
            FILE *captured = open_memstream(&memory, &memory_size);
            if (!to_parent || !captured) {
                fprintf(stderr, "wsbridge: worker %d cannot set up its output\n", i + 1);
                _exit(CLI_FAILED);
            }
            static char buffer[1 << 16];
            setvbuf(to_parent, buffer, _IOFBF, sizeof buffer);
            stdout = captured;
            job_index = i;
            job_count = jobs;
            return 0;
        }
        close(ends[1]);
        if (pid < 0) {
            fprintf(stderr, "wsbridge: cannot start worker %d: %s\n", i + 1, strerror(errno));
            close(ends[0]);
            end_workers(workers, i, SIGTERM);
            reap_workers(workers, i, 1);
            *status = CLI_FAILED;
            return 1;
        }
        workers[i].pid = pid;
        workers[i].from = fdopen(ends[0], "r");
        workers[i].open = 1;
    }
    static char output_buffer[1 << 16];
    setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
    int merged = merge(workers, jobs, limit);
    /* Workers still reading (a count reached, a failure, a closed pipe) are
     * ended at once; the others have ended by themselves. */
    int ended = merged != CLI_OK;
    for (int i = 0; i < jobs; ++i)
        ended |= workers[i].open;
    if (ended)
        end_workers(workers, jobs, SIGTERM);
    int reaped = reap_workers(workers, jobs, ended);
    for (int i = 0; i < jobs; ++i) {
        if (workers[i].from)
            fclose(workers[i].from);
        free(workers[i].bytes);
    }
    *status = merged != CLI_OK ? CLI_FAILED : reaped;
    return 1;
}
