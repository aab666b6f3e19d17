/* SPDX-License-Identifier: GPL-2.0-or-later */
/* What the command reports when a verb cannot do its work: the exit
 * statuses, the library's failure messages and the usage mistakes. */
#ifndef WSBRIDGE_CLI_REPORT_H
#define WSBRIDGE_CLI_REPORT_H

#include <stdint.h>

/* Exit statuses: done, failed (the reason on stderr), usage error. */
enum { CLI_OK = 0, CLI_FAILED = 1, CLI_USAGE = 2 };

/* Prints "wsbridge: WHAT: <library message>" and returns CLI_FAILED. */
int cli_fail(const char *what);
/* The library's WSB_E_* code of the last failure cli_fail reported (0 for
 * none). */
int32_t cli_failure_code(void);

/* Prints "wsbridge VERB: <message>" and a pointer to the verb's --help (the
 * whole command's for a NULL verb) on stderr and returns CLI_USAGE. */
int cli_usage_error(const char *verb, const char *format, ...) __attribute__((format(printf, 2, 3)));

/* Reports a frame the capture lacks, with how many packets it has. */
int cli_no_such_frame(const char *verb, uint32_t frame, uint64_t packets);

#endif
