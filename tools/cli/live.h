/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Live capture: -i IFACE with -f, -s and -a in the tables of the verbs that
 * read in sequence (summary, fields, save), -c as the capture's stop count,
 * wsbridge -D, and Ctrl-C ending the capture cleanly. */
#ifndef WSBRIDGE_CLI_LIVE_H
#define WSBRIDGE_CLI_LIVE_H

#include <stdint.h>

#include "options.h"

typedef struct {
    const char *interface_name, *capture_filter;
    int snap_length, duration;
} cli_live_settings;
extern cli_live_settings cli_live;

int cli_take_snap_length(const char *value, void *target);
int cli_take_autostop(const char *value, void *target);

/* The entries every verb that can read a live capture has. */
#define CLI_LIVE_OPTIONS                                                                                     \
    {"-i", "--interface", "IFACE", CLI_TEXT, &cli_live.interface_name,                                       \
     .help = "capture on the interface IFACE (a name or a number of\n"                                       \
             "wsbridge -D) instead of reading FILE, as tshark -i; Ctrl-C\n"                                  \
             "ends the capture with every packet read so far"},                                              \
    {"-f", NULL, "BPF", CLI_TEXT, &cli_live.capture_filter,                                                  \
     .help = "with -i, the capture filter (libpcap's syntax), as tshark -f"},                                \
    {"-s", "--snapshot-length", "SNAPLEN", CLI_PARSED, &cli_live.snap_length, .take = cli_take_snap_length,  \
     .refusal = "-s takes a snapshot length from 1 to 262144, not '%s'",                                     \
     .help = "with -i, the bytes kept of each packet, as tshark -s"},                                        \
    {"-a", "--autostop", "duration:S", CLI_PARSED, &cli_live.duration, .take = cli_take_autostop,            \
     .refusal = "-a takes duration:S (whole seconds from 1 on), not '%s'",                                   \
     .help = "with -i, stop capturing after S seconds, as tshark -a"}

/* True when -i was given. */
int cli_live_requested(void);
/* After the verb's table parsed its arguments: -i excludes FILE and --jobs,
 * -f, -s and -a need -i; -c becomes the capture's stop count. CLI_OK or
 * CLI_USAGE after reporting. */
int cli_live_check(const cli_verb *verb);
/* Starts the live capture -i asked for (the engine started); SIGINT, SIGTERM
 * and SIGHUP then ask dumpcap to stop, so that the verb ends with every
 * packet read so far. CLI_OK or CLI_FAILED after reporting. */
int cli_open_live(void);
/* wsbridge -D: the interfaces as tshark -D prints them. */
int cli_list_interfaces(void);

#endif
