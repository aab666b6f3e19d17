/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Several processes for one verb (--jobs N): each worker runs the verb on a
 * share of the capture's conversations, the parent merges their output. */
#ifndef WSBRIDGE_CLI_JOBS_H
#define WSBRIDGE_CLI_JOBS_H

#include <stddef.h>
#include <stdint.h>

#include "options.h"

/* For a verb whose checked settings ask for --jobs N above 1 (its table's
 * CLI_JOBS entry; its FILE and -c entries name the capture and the count),
 * starts N worker processes, before the engine starts. In the parent it
 * merges their output in frame order onto standard output, stopping after
 * the count of packets, sets *status to the exit status and returns 1. In
 * each worker, and without --jobs, it returns 0: the verb runs as alone,
 * on its FILE (standard input is read once, by the parent, into a file the
 * workers read), reading its share of the capture once the engine started
 * (cli_job_apply_share). */
int cli_jobs_run(const cli_verb *verb, int *status);
/* --jobs-stats: after the merge, the parent reports on stderr how many
 * packets each worker's share gave and the largest share against an even
 * one. */
extern int cli_jobs_stats;
/* True in a worker. */
int cli_job_worker(void);
/* In a worker: sets the share of sequential reading; CLI_OK elsewhere. */
int cli_job_apply_share(void);
/* In a worker: what the verb prints from now on belongs to frame `frame`
 * (the reading calls it as each packet is read); nothing elsewhere. */
void cli_job_packet(uint32_t frame);
/* In a worker, once the verb printed everything: hands size bytes to the
 * parent, which gives them to the merge set below after the merged output
 * (one result a worker). CLI_OK or CLI_FAILED. */
int cli_job_send_result(const void *bytes, size_t size);
/* Set by a verb's check, or never: what the parent does after writing the
 * merged output, once every worker handed on its result through
 * cli_job_send_result (a worker that fails reading the file may still, as
 * every worker meets that failure at the same record): results[i] of
 * sizes[i] bytes. Its status is the exit status unless a worker failed. */
typedef int cli_job_merge(const char *const *results, const size_t *sizes, int count);
void cli_jobs_set_merge(cli_job_merge *merge);

#endif
