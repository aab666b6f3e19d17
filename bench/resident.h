/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Resident memory of this process in kB (-1 when unknown), for the
 * memory-over-time reports of the benchmark programs. */
#ifndef WSB_BENCH_RESIDENT_H
#define WSB_BENCH_RESIDENT_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static long resident_kb(void)
{
    FILE *status = fopen("/proc/self/status", "r");
    char line[256];
    long kb = -1;
    while (status && fgets(line, sizeof line, status))
        if (strncmp(line, "VmRSS:", 6) == 0)
            kb = strtol(line + 6, NULL, 10);
    if (status)
        fclose(status);
    return kb;
}

#endif
