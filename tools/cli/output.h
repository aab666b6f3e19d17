/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Standard output, checked: a failed write stops the verb, a closed pipe
 * ends the process quietly. */
#ifndef WSBRIDGE_CLI_OUTPUT_H
#define WSBRIDGE_CLI_OUTPUT_H

/* True (and the verb should stop at once) when writing to standard output
 * failed. A closed pipe is remembered and ends the process quietly, as by
 * SIGPIPE, once the engine is shut down; any other failure is reported. */
int cli_output_failed(void);
/* Flushes standard output; CLI_OK or CLI_FAILED as cli_output_failed. */
int cli_finish_output(void);
/* True once output went into a closed pipe. */
int cli_output_broken_pipe(void);

#endif
