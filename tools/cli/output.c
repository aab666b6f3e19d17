/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Checked writing to standard output; see output.h. */
#include "output.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "report.h"

static struct {
    int broken_pipe;
    int reported; /* another failure was reported (once) */
} output;

int cli_output_failed(void)
{
    if (!ferror(stdout))
        return 0;
    int error = errno;
    if (error == EPIPE) {
        output.broken_pipe = 1;
    } else if (!output.broken_pipe) {
        if (!output.reported)
            fprintf(stderr, "wsbridge: cannot write the output: %s\n", strerror(error ? error : EIO));
        output.reported = 1;
    }
    return 1;
}

int cli_finish_output(void)
{
    if (fflush(stdout) != 0 || ferror(stdout)) {
        cli_output_failed();
        return CLI_FAILED;
    }
    return CLI_OK;
}

int cli_output_broken_pipe(void)
{
    return output.broken_pipe;
}
