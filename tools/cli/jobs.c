/* SPDX-License-Identifier: GPL-2.0-or-later */
/* --jobs N: one capture read by N worker processes, each its own engine
 * running the verb on one share of the capture's conversations
 * (gSetReadingShare), their output merged in frame order into what one
 * process writes.
 *
 * A worker writes what the verb prints into memory and hands it to the
 * parent packet by packet through a pipe, as records of a kind, a frame
 * number, a length and the bytes: the reading (input.h) marks where each
 * packet's output starts. Frame 0 is what comes before the first packet (a
 * CSV header); only the first worker's is kept. The parent always writes the
 * record with the lowest frame number of those the workers offer: each
 * worker's frames rise, so the output is in frame order. What a worker
 * writes on stderr comes last, as one record; the parent reports each
 * message once, as one process would have written it once. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
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

/* The kinds of record: what the verb printed for a frame, what the worker
 * wrote on stderr, and the same when the worker failed reading the file
 * (every worker meets that failure at the same record, so the others'
 * packets before it are still merged). */
enum { record_output, record_messages, record_messages_of_the_file };

/* What a worker prints, kept in memory until it is handed on. */
typedef struct {
    char *bytes;
    size_t size, room;
} printed;
int cli_jobs_stats;

/* Set in a worker: its share and its way to the parent. */
static int job_index, job_count = 1;
static FILE *to_parent;
static printed output, messages;
static uint32_t current_frame;

int cli_job_worker(void)
{
    return job_count > 1;
}

int cli_job_apply_share(void)
{
    if (job_count > 1 && gSetReadingShare(job_index, job_count, WSB_SHARE_BALANCED) != WSB_OK)
        return cli_fail("--jobs");
    return CLI_OK;
}

/* A worker's stdout and stderr are streams of their own buffering (the verb
 * may set it) whose bytes land in memory. */
static ssize_t keep_printed(void *cookie, const char *bytes, size_t size)
{
    printed *p = cookie;
    if (p->size + size > p->room) {
        const size_t room = (p->size + size) * 2;
        char *grown = realloc(p->bytes, room);
        if (!grown)
            return -1;
        p->bytes = grown;
        p->room = room;
    }
    memcpy(p->bytes + p->size, bytes, size);
    p->size += size;
    return (ssize_t)size;
}

static FILE *printing_into(printed *p)
{
    static const cookie_io_functions_t functions = {.write = keep_printed};
    return fopencookie(p, "w", functions);
}

static int send(uint32_t kind, uint32_t frame, const char *bytes, size_t size)
{
    const uint32_t header[3] = {kind, frame, (uint32_t)size};
    if (fwrite(header, sizeof header, 1, to_parent) != 1 || (size > 0 && fwrite(bytes, 1, size, to_parent) != size))
        return CLI_FAILED;
    return CLI_OK;
}

/* Hands what the verb printed since the last record to the parent as the
 * record of current_frame. */
static int send_record(void)
{
    if (fflush(stdout) != 0)
        return CLI_FAILED;
    if ((output.size > 0 || current_frame > 0) && send(record_output, current_frame, output.bytes, output.size) != CLI_OK)
        return CLI_FAILED;
    output.size = 0;
    return CLI_OK;
}

/* At a worker's exit, however the verb ended: what it printed last, then
 * what it wrote on stderr. */
static void end_worker(void)
{
    send_record();
    fflush(stderr);
    if (messages.size > 0)
        send(cli_failure_code() == WSB_E_FILE ? record_messages_of_the_file : record_messages, 0, messages.bytes,
             messages.size);
    fflush(to_parent);
}

void cli_job_packet(uint32_t frame)
{
    if (job_count <= 1)
        return;
    /* The parent no longer reads: it ended, or is ending the workers. */
    if (send_record() != CLI_OK)
        _exit(CLI_FAILED);
    current_frame = frame;
}

/* The parent reads every worker's output as soon as it is written, whatever
 * the merge needs next, so that a worker whose conversations come later in
 * the file is not held up by a full pipe while another one works through a
 * long run of its own packets: the workers only wait for each other when one
 * is this far ahead (then the parent stops reading it until the merge has
 * caught up). */
enum { worker_slack = 32 << 20, pipe_room = 1 << 20 };

/* The parent's view of one worker: its bytes read and not yet merged are
 * bytes[start, end). */
struct worker {
    pid_t pid;
    int fd;               /* -1 once its output ended */
    char *bytes;
    size_t start, end, room;
    char *messages;       /* what it wrote on stderr, NUL-terminated */
    uint64_t packets;     /* its packets merged into the output */
    int failed_on_file;   /* its messages are of a failure to read the file */
};

enum { header_size = 3 * sizeof(uint32_t) };

/* The worker's next whole record, if it has arrived. */
static int whole_record(const struct worker *w, uint32_t *kind, uint32_t *frame, uint32_t *length)
{
    uint32_t header[3];
    if (w->end - w->start < header_size)
        return 0;
    memcpy(header, w->bytes + w->start, header_size);
    if (w->end - w->start - header_size < header[2])
        return 0;
    *kind = header[0];
    *frame = header[1];
    *length = header[2];
    return 1;
}

/* Takes the worker's messages off its records; true if it had some. */
static int take_messages(struct worker *w)
{
    uint32_t kind, frame, length;
    if (!whole_record(w, &kind, &frame, &length) || kind == record_output)
        return 0;
    free(w->messages);
    w->messages = strndup(w->bytes + w->start + header_size, length);
    w->failed_on_file = kind == record_messages_of_the_file;
    w->start += header_size + length;
    return 1;
}

/* Writes each worker's messages on stderr, each text once. */
static void report_messages(const struct worker *workers, int count)
{
    for (int i = 0; i < count; ++i) {
        int repeated = !workers[i].messages;
        for (int j = 0; j < i && !repeated; ++j)
            repeated = workers[j].messages && strcmp(workers[j].messages, workers[i].messages) == 0;
        if (!repeated)
            fputs(workers[i].messages, stderr);
    }
}

/* Reads what the worker has written; marks its end. */
static int read_worker(struct worker *w)
{
    if (w->start > 0 && (w->start == w->end || w->end == w->room)) {
        memmove(w->bytes, w->bytes + w->start, w->end - w->start);
        w->end -= w->start;
        w->start = 0;
    }
    if (w->end == w->room) {
        const size_t room = w->room ? 2 * w->room : pipe_room;
        char *grown = realloc(w->bytes, room);
        if (!grown) {
            fprintf(stderr, "wsbridge: out of memory\n");
            return CLI_FAILED;
        }
        w->bytes = grown;
        w->room = room;
    }
    const ssize_t got = read(w->fd, w->bytes + w->end, w->room - w->end);
    if (got > 0) {
        w->end += (size_t)got;
    } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        close(w->fd);
        w->fd = -1;
    }
    return CLI_OK;
}

/* Waits until every worker still writing has a whole record waiting, reading
 * meanwhile from every worker that is not too far ahead. */
static int fill_workers(struct worker *workers, int count)
{
    for (;;) {
        struct pollfd polled[count];
        struct worker *polled_worker[count];
        int watched = 0, needed = 0;
        for (int i = 0; i < count; ++i) {
            struct worker *w = &workers[i];
            if (w->fd < 0)
                continue;
            uint32_t kind, frame, length;
            const int ready = whole_record(w, &kind, &frame, &length);
            needed |= !ready;
            if (ready && w->end - w->start >= worker_slack)
                continue;
            polled[watched].fd = w->fd;
            polled[watched].events = POLLIN;
            polled[watched].revents = 0;
            polled_worker[watched++] = w;
        }
        if (!needed)
            return CLI_OK;
        if (poll(polled, (nfds_t)watched, -1) < 0) {
            if (errno == EINTR)
                continue;
            fprintf(stderr, "wsbridge: cannot wait for the workers: %s\n", strerror(errno));
            return CLI_FAILED;
        }
        for (int p = 0; p < watched; ++p)
            if (polled[p].revents && read_worker(polled_worker[p]) != CLI_OK)
                return CLI_FAILED;
    }
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

/* A worker whose output ended may have failed and so hold packets back: its
 * end is checked before anything after its last packet is written. A
 * failure to read the file ends the others at the same record: their packets
 * before it are merged still, and *failed keeps the status. Any other
 * failure ends the merge: its status. */
static int check_ended_workers(struct worker *workers, int count, int *failed)
{
    for (int i = 0; i < count; ++i) {
        struct worker *w = &workers[i];
        uint32_t kind, frame, length;
        if (w->fd >= 0 || w->pid <= 0 || whole_record(w, &kind, &frame, &length))
            continue;
        int wait_status = 0;
        pid_t ended;
        while ((ended = waitpid(w->pid, &wait_status, 0)) < 0 && errno == EINTR)
            ;
        if (ended != w->pid)
            continue;
        w->pid = 0;
        if (WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0)
            continue;
        if (WIFSIGNALED(wait_status))
            fprintf(stderr, "wsbridge: worker %d of %d ended by signal %d\n", i + 1, count, WTERMSIG(wait_status));
        const int status = WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == CLI_USAGE ? CLI_USAGE : CLI_FAILED;
        if (!WIFEXITED(wait_status) || !w->failed_on_file)
            return status;
        *failed = status;
    }
    return CLI_OK;
}

/* Merges the workers' records in frame order onto standard output. What
 * comes before the first packet (frame 0) is written from the first worker
 * only. */
static int merge(struct worker *workers, int count, uint64_t limit)
{
    uint64_t packets = 0;
    int failed = CLI_OK;
    for (;;) {
        if (fill_workers(workers, count) != CLI_OK)
            return CLI_FAILED;
        int took = 0;
        for (int i = 0; i < count; ++i)
            took |= take_messages(&workers[i]);
        if (took)
            continue;
        int lowest = -1;
        uint32_t lowest_frame = 0, lowest_length = 0;
        for (int i = 0; i < count; ++i) {
            uint32_t kind, frame, length;
            if (whole_record(&workers[i], &kind, &frame, &length) && (lowest < 0 || frame < lowest_frame)) {
                lowest = i;
                lowest_frame = frame;
                lowest_length = length;
            }
        }
        const int ended = check_ended_workers(workers, count, &failed);
        if (ended != CLI_OK)
            return ended;
        if (lowest < 0)
            return failed;
        struct worker *w = &workers[lowest];
        const char *bytes = w->bytes + w->start + header_size;
        w->start += header_size + lowest_length;
        if (lowest_frame == 0) {
            if (lowest == 0)
                fwrite(bytes, 1, lowest_length, stdout);
            continue;
        }
        fwrite(bytes, 1, lowest_length, stdout);
        ++w->packets;
        if (cli_output_failed())
            return CLI_FAILED;
        if (++packets >= limit)
            return CLI_OK;
    }
}

/* --jobs-stats: the packets each share gave, and the largest share against
 * an even one. */
static void report_stats(const struct worker *workers, int count)
{
    uint64_t total = 0, largest = 0;
    for (int i = 0; i < count; ++i) {
        total += workers[i].packets;
        largest = workers[i].packets > largest ? workers[i].packets : largest;
    }
    for (int i = 0; i < count; ++i)
        fprintf(stderr, "wsbridge: share %d of %d: %llu packets (%.1f %%)\n", i + 1, count,
                (unsigned long long)workers[i].packets, total ? 100.0 * (double)workers[i].packets / (double)total : 0.0);
    fprintf(stderr, "wsbridge: largest share / even share: %.2f\n",
            total ? (double)largest * count / (double)total : 0.0);
}

/* The verb's --jobs, capture and -c, from its table. */
static void find_settings(const cli_verb *verb, int *jobs, const char ***path, uint64_t *limit)
{
    for (const cli_option *entry = verb->options; entry->name; ++entry) {
        if (entry->kind == CLI_JOBS)
            *jobs = *(const int *)entry->target;
        else if (entry->kind == CLI_COUNT)
            *limit = *(const uint64_t *)entry->target;
        else if (strcmp(entry->name, "FILE") == 0 && entry->kind == CLI_FILE)
            *path = entry->target;
        else if (strcmp(entry->name, "FILE") == 0 && entry->kind == CLI_TEXTS && ((cli_texts *)entry->target)->count)
            *path = ((cli_texts *)entry->target)->items;
    }
}

/* The cores this process may run on (its affinity, which also reflects a
 * container's CPU set), or WSB_JOBS_CPUS when set to a positive number. */
static int usable_cores(void)
{
    const char *set = getenv("WSB_JOBS_CPUS");
    if (set && *set) {
        char *end;
        const long cores = strtol(set, &end, 10);
        if (*end == '\0' && cores > 0 && cores <= 4096)
            return (int)cores;
    }
    cpu_set_t cpus;
    if (sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) > 0)
        return CPU_COUNT(&cpus);
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? (int)online : 1;
}

int cli_jobs_run(const cli_verb *verb, int *status)
{
    int jobs = 1;
    const char **path = NULL;
    uint64_t limit = UINT64_MAX;
    find_settings(verb, &jobs, &path, &limit);
    /* More workers than cores only take turns on them: every worker reads
     * every record, and the merge waits for the slowest, so the output
     * comes later, never sooner. The shares are as many as the cores. */
    const int cores = usable_cores();
    if (jobs > cores) {
        if (cli_jobs_stats)
            fprintf(stderr, "wsbridge: %d jobs asked, %d cores to run them: %d shares\n", jobs, cores, cores);
        jobs = cores;
    }
    if (jobs <= 1 || !path)
        return 0;
    /* Standard input is read once, into a private file every worker reads. */
    static char input[64];
    if (strcmp(*path, "-") == 0) {
        const int kept = cli_keep_standard_input(verb->name, input, sizeof input);
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
    for (int i = 0; i < jobs; ++i)
        workers[i].fd = -1;
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
                close(workers[j].fd);
            to_parent = fdopen(ends[1], "w");
            FILE *captured = printing_into(&output);
            FILE *captured_messages = printing_into(&messages);
            if (!to_parent || !captured || !captured_messages || atexit(end_worker) != 0) {
                fprintf(stderr, "wsbridge: worker %d cannot set up its output\n", i + 1);
                _exit(CLI_FAILED);
            }
            static char buffer[1 << 16];
            setvbuf(to_parent, buffer, _IOFBF, sizeof buffer);
            stdout = captured;
            stderr = captured_messages;
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
        workers[i].fd = ends[0];
        /* A larger pipe: fewer wake-ups of the parent (a failure changes
         * nothing but that). */
        fcntl(ends[0], F_SETPIPE_SZ, (int)pipe_room);
    }
    static char output_buffer[1 << 16];
    setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
    int merged = merge(workers, jobs, limit);
    report_messages(workers, jobs);
    if (cli_jobs_stats)
        report_stats(workers, jobs);
    /* Workers still reading (a count reached, a failure, a closed pipe) are
     * ended at once; the others have ended by themselves. */
    int ended = merged != CLI_OK;
    for (int i = 0; i < jobs; ++i)
        ended |= workers[i].fd >= 0;
    if (ended)
        end_workers(workers, jobs, SIGTERM);
    int reaped = reap_workers(workers, jobs, ended);
    for (int i = 0; i < jobs; ++i) {
        if (workers[i].fd >= 0)
            close(workers[i].fd);
        free(workers[i].bytes);
        free(workers[i].messages);
    }
    *status = merged != CLI_OK ? CLI_FAILED : reaped;
    return 1;
}
