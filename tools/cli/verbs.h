/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The verbs of the wsbridge command, each with its record in a file of its
 * own: main parses a verb's arguments through the record's table into the
 * verb's settings, then runs it; the verb checks what the table cannot
 * (missing or conflicting arguments), starts the engine and returns the
 * exit status (report.h). */
#ifndef WSBRIDGE_CLI_VERBS_H
#define WSBRIDGE_CLI_VERBS_H

#include "options.h"

extern const cli_verb cli_summary_verb;
extern const cli_verb cli_fields_verb;
extern const cli_verb cli_tree_verb;
extern const cli_verb cli_save_verb;
extern const cli_verb cli_follow_verb;
extern const cli_verb cli_plot_verb;

#endif
