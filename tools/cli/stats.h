/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Statistics tables of -z, as tshark's -z gathers them (conv,PROTOCOL,
 * endpoints,PROTOCOL, io,phs, io,stat,INTERVAL[,SERIES]...): asked of the
 * library before the capture opens, filled by the engine's taps while the
 * packets are read, printed after them as tshark prints them, or as JSON
 * Lines or CSV. With --jobs each worker hands its tables' records to the
 * parent, which adds them into tables of its own and prints those. */
#ifndef WSBRIDGE_CLI_STATS_H
#define WSBRIDGE_CLI_STATS_H

#include <stddef.h>

#include "options.h"

/* Checks the -z requests before the engine starts: each must be a table
 * the library counts (what is inside it is checked when it is asked for).
 * Keeps them for the calls below. CLI_OK or CLI_USAGE after reporting. */
int cli_stats_check(const char *verb, const cli_texts *requests);

/* Asks the library for the tables; the engine runs and no capture is
 * open. A request it refuses is a usage error (its reason reported). */
int cli_stats_request(const char *verb);

/* Prints the tables in format (format.h): the texts of `tshark -n -q -z`
 * in tshark's order (the last -z first); one JSON object a line per table;
 * CSV tables, each named by a line "# REQUEST" and after an empty line when
 * anything comes before it (after_rows: the packets' CSV rows came before),
 * unless one table is the only thing written. CLI_OK or CLI_FAILED after
 * reporting. */
int cli_stats_print(int format, int after_rows);

/* In a worker of --jobs: hands the tables' records to the parent (jobs.h).
 * CLI_OK or CLI_FAILED. */
int cli_stats_send(void);

/* In the parent of --jobs, once the workers ended well: asks for the tables
 * and adds into them what each worker handed on (results[i] of sizes[i]
 * bytes; NULL for a worker that sent none). CLI_OK or a status after
 * reporting. */
int cli_stats_add(const char *verb, const char *const *results, const size_t *sizes, int count);

#endif
