/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Starting and stopping the engine for a verb; see engine.h. */
#include "engine.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "wsbridge.h"
#include "jobs.h"
#include "report.h"

static struct {
    int started;
    /* The -o settings of the command line, in the order given; they point
     * into argv, which lives as long as the process. */
    const char **preferences;
    int preference_count;
} engine;

int cli_add_preference(const char *verb, const char *assignment)
{
    if (!strchr(assignment, ':'))
        return cli_usage_error(verb, "-o needs NAME:VALUE (as tshark -o takes it), not '%s'", assignment);
    const char **grown = realloc(engine.preferences, (size_t)(engine.preference_count + 1) * sizeof *grown);
    if (!grown) {
        fprintf(stderr, "wsbridge: out of memory\n");
        return CLI_FAILED;
    }
    engine.preferences = grown;
    engine.preferences[engine.preference_count++] = assignment;
    return CLI_OK;
}

int cli_preferences(const char *const **assignments)
{
    *assignments = engine.preferences;
    return engine.preference_count;
}

int cli_start_engine(void)
{
    if (gInitEpan() != WSB_OK)
        return cli_fail("start");
    engine.started = 1;
    for (int i = 0; i < engine.preference_count; ++i)
        if (gSetPreference(engine.preferences[i]) != WSB_OK)
            return cli_fail("-o");
    return cli_job_apply_share();
}

int cli_set_display_filter(const char *filter)
{
    if (filter && gSetDisplayFilter(filter) != WSB_OK)
        return cli_fail("-Y");
    return CLI_OK;
}

void cli_stop_engine(void)
{
    if (engine.started)
        gCleanupEpan();
    engine.started = 0;
    free(engine.preferences);
    engine.preferences = NULL;
    engine.preference_count = 0;
}
