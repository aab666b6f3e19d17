/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Live capture from the command line; see live.h. */
#include "live.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "wsbridge.h"
#include "engine.h"
#include "report.h"

cli_live_settings cli_live;

/* -c of the verb: the capture's stop count too (0: none). */
static uint64_t stop_count;

static int parse_whole(const char *text, long most, int *out)
{
    char *end = NULL;
    if (!text || !*text || *text == '-' || *text == '+')
        return 0;
    long value = strtol(text, &end, 10);
    if (*end || value < 1 || value > most)
        return 0;
    *out = (int)value;
    return 1;
}

int cli_take_snap_length(const char *value, void *target)
{
    return parse_whole(value, 262144, target) ? CLI_OK : CLI_USAGE;
}

int cli_take_autostop(const char *value, void *target)
{
    static const char prefix[] = "duration:";
    if (strncmp(value, prefix, sizeof prefix - 1) != 0)
        return CLI_USAGE;
    return parse_whole(value + sizeof prefix - 1, 2147483647L, target) ? CLI_OK : CLI_USAGE;
}

int cli_live_requested(void)
{
    return cli_live.interface_name != NULL;
}

int cli_live_check(const cli_verb *verb)
{
    int jobs = 1, has_live = 0;
    uint64_t limit = UINT64_MAX;
    const char *file = NULL;
    for (const cli_option *entry = verb->options; entry->name; ++entry) {
        if (entry->kind == CLI_JOBS)
            jobs = *(const int *)entry->target;
        else if (entry->kind == CLI_COUNT)
            limit = *(const uint64_t *)entry->target;
        else if (entry->target == &cli_live.interface_name)
            has_live = 1;
        else if (strcmp(entry->name, "FILE") == 0 && entry->kind == CLI_FILE)
            file = *(const char **)entry->target;
        else if (strcmp(entry->name, "FILE") == 0 && entry->kind == CLI_TEXTS &&
                 ((const cli_texts *)entry->target)->count)
            file = ((const cli_texts *)entry->target)->items[0];
    }
    if (!has_live)
        return CLI_OK;
    if (!cli_live.interface_name) {
        if (cli_live.capture_filter)
            return cli_usage_error(verb->name, "-f is a capture filter: it needs -i IFACE (for a file, use -Y)");
        if (cli_live.snap_length || cli_live.duration)
            return cli_usage_error(verb->name, "%s needs -i IFACE", cli_live.snap_length ? "-s" : "-a");
        return CLI_OK;
    }
    if (!*cli_live.interface_name)
        return cli_usage_error(verb->name, "-i needs an interface name or number (wsbridge -D lists them)");
    /* save takes OUT as its first word with -i; the others take no FILE. */
    if (file && strcmp(verb->name, "save") != 0)
        return cli_usage_error(verb->name, "-i captures instead of reading FILE '%s': give one of them", file);
    if (jobs > 1)
        return cli_usage_error(verb->name, "--jobs parts a capture file among processes; a live capture (-i) is "
                                           "read by one: leave out --jobs");
    stop_count = limit != UINT64_MAX && limit <= 2147483647u ? limit : 0;
    return CLI_OK;
}

static void stop_capture(int signal_number)
{
    (void)signal_number;
    gStopLiveCapture();
}

int cli_open_live(void)
{
    WsbLiveOptions options;
    memset(&options, 0, sizeof options);
    options.interface_name = cli_live.interface_name;
    options.capture_filter = cli_live.capture_filter;
    options.snap_length = cli_live.snap_length;
    options.stop_after_seconds = cli_live.duration;
    options.stop_after_packets = (int32_t)stop_count;
    if (gOpenLiveCapture(&options) != WSB_OK)
        return cli_fail("capture");
    /* Ctrl-C (and a polite kill) ends the capture: dumpcap stops, and the
     * verb reads, prints or saves what it wrote, as tshark does. No
     * SA_RESTART: a read that waits for packets is woken to see it. */
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = stop_capture;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGHUP, &action, NULL);
    return CLI_OK;
}

int cli_list_interfaces(void)
{
    const WsbInterface *interfaces = NULL;
    int32_t count = 0;
    if (cli_start_engine() != CLI_OK)
        return CLI_FAILED;
    if (gListInterfaces(&interfaces, &count) != WSB_OK)
        return cli_fail("-D");
    /* tshark -D: the number, the name and, when known, the friendly name or
     * the vendor's description in parentheses. */
    for (int32_t i = 0; i < count; ++i) {
        printf("%d. %s", interfaces[i].number, interfaces[i].name);
        if (interfaces[i].description[0])
            printf(" (%s)", interfaces[i].description);
        putchar('\n');
    }
    return CLI_OK;
}
