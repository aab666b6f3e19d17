/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Several processes for one verb (--jobs N): each worker dissects a share
 * of the capture's conversations, the parent merges their output. */
#ifndef WSBRIDGE_CLI_JOBS_H
#define WSBRIDGE_CLI_JOBS_H

#include <stdint.h>

/* Starts `jobs` worker processes for a verb, before the engine starts. In
 * the parent it merges their output in frame order onto standard output,
 * stopping after `limit` packets, sets *status to the exit status and
 * returns 1. In each worker it returns 0: the worker goes on as the verb
 * alone would, on *path (standard input is read once, by the parent), and
 * reads its share of the capture once cli_job_apply_share is called after
 * the engine started. */
int cli_jobs_start(const char *verb, int jobs, const char **path, uint64_t limit, int *status);
/* --jobs-stats: after the merge, the parent reports on stderr how many
 * packets each worker's share gave and the largest share against an even
 * one. */
extern int cli_jobs_stats;
/* True in a worker. */
int cli_job_worker(void);
/* In a worker: sets the share of sequential reading; CLI_OK elsewhere. */
int cli_job_apply_share(void);
/* In a worker: what the verb prints from now on belongs to frame `frame`
 * (call before printing each packet); the end of the output. CLI_OK
 * elsewhere. */
int cli_job_packet(uint32_t frame);
int cli_job_finish(void);

#endif
