/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Progress of reading on stderr, only when stderr is a terminal (and never
 * in a worker of --jobs): packets read and share of the file, at most ten
 * updates a second, erased by cli_progress_end. */
#ifndef WSBRIDGE_CLI_PROGRESS_H
#define WSBRIDGE_CLI_PROGRESS_H

#include <stdint.h>

void cli_progress_begin(void);
void cli_progress_update(uint64_t packets, int64_t file_offset);
void cli_progress_end(void);

#endif
