/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The engine behind the verbs: started once the arguments are checked, with
 * the preferences of the -o options, and the display filter of -Y. */
#ifndef WSBRIDGE_CLI_ENGINE_H
#define WSBRIDGE_CLI_ENGINE_H

/* Keeps an engine preference of -o ("NAME:VALUE", as tshark -o takes it)
 * for cli_start_engine; the text must outlive the engine (argv does).
 * CLI_OK, or CLI_USAGE / CLI_FAILED after reporting. */
int cli_add_preference(const char *verb, const char *assignment);

/* The -o assignments kept so far, in the order given (for a verb that hands
 * them to another program); *assignments points into argv. */
int cli_preferences(const char *const **assignments);

/* Starts the engine, sets the kept preferences and, in a worker of --jobs,
 * its share of the capture; CLI_OK or CLI_FAILED after reporting.
 * cli_stop_engine shuts the engine down if it was started and forgets the
 * preferences. */
int cli_start_engine(void);
void cli_stop_engine(void);

/* Sets the display filter of -Y (nothing for NULL); CLI_OK or CLI_FAILED
 * after reporting the engine's message. */
int cli_set_display_filter(const char *filter);

#endif
