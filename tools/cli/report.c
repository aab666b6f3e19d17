/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Failure messages and usage mistakes; see report.h. */
#include "report.h"

#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>

#include "wsbridge.h"

static int32_t failure_code;

int cli_fail(const char *what)
{
    failure_code = gGetLastErrorCode();
    fprintf(stderr, "wsbridge: %s: %s\n", what, gGetLastError());
    return CLI_FAILED;
}

int32_t cli_failure_code(void)
{
    return failure_code;
}

int cli_usage_error(const char *verb, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    fprintf(stderr, "wsbridge%s%s: ", verb ? " " : "", verb ? verb : "");
    vfprintf(stderr, format, arguments);
    va_end(arguments);
    fprintf(stderr, "\nRun 'wsbridge%s%s --help' for usage.\n", verb ? " " : "", verb ? verb : "");
    return CLI_USAGE;
}

int cli_no_such_frame(const char *verb, uint32_t frame, uint64_t packets)
{
    if (packets == 0)
        return cli_usage_error(verb, "there is no frame %" PRIu32 ": the capture has no packets", frame);
    return cli_usage_error(verb, "there is no frame %" PRIu32 ": the capture has %" PRIu64 " packet%s", frame,
                           packets, packets == 1 ? "" : "s");
}
