/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Verbs of the wsbridge command-line host and what they share: option
 * parsing, usage errors, reading a capture from a file or standard input,
 * checked output, progress on a terminal, JSON and CSV writing. Each verb
 * runs with the engine started and returns the process exit status. */
#ifndef WSBRIDGE_CLI_H
#define WSBRIDGE_CLI_H

#include <stdint.h>
#include <stdio.h>

#include "wsbridge.h"

/* Exit statuses: done, failed (the reason on stderr), usage error. */
enum { CLI_OK = 0, CLI_FAILED = 1, CLI_USAGE = 2 };

/* Starts the engine once the arguments are checked and sets the
 * preferences of the -o options; CLI_OK or CLI_FAILED after reporting.
 * cli_stop_engine shuts it down if it was started. */
int cli_start_engine(void);
void cli_stop_engine(void);

/* Sets the display filter of -Y (nothing for NULL); CLI_OK or CLI_FAILED
 * after reporting the engine's message. */
int cli_set_display_filter(const char *filter);

/* Prints "wsbridge: WHAT: <library message>" and returns CLI_FAILED. */
int cli_fail(const char *what);

/* Prints "wsbridge VERB: <message>" and a pointer to the verb's --help on
 * stderr and returns CLI_USAGE. */
int cli_usage_error(const char *verb, const char *format, ...) __attribute__((format(printf, 2, 3)));

/* Prints the help of a verb (or of the whole command for NULL) on stdout. */
void cli_print_help(const char *verb);

/* ---- options ---- */

/* One option a verb takes: its spelling, another accepted spelling (or
 * NULL) and the name of its value (NULL for a flag). */
typedef struct {
    const char *name;
    const char *alias;
    const char *value_name;
} cli_option;

/* One argument after parsing: option is the index into the verb's table, or
 * -1 for a positional argument (value holds it). */
typedef struct {
    int option;
    const char *value;
} cli_argument;

/* Parses a verb's arguments in order. Options and positional arguments may
 * be mixed; "--" ends the options; "-" and negative numbers are positional.
 * "-o NAME:VALUE" (also "-oNAME:VALUE"), an engine preference, is taken
 * for every verb here and set by cli_start_engine.
 * Values come as "--name VALUE", "--name=VALUE" or "-cVALUE". out must hold
 * argc entries. Returns CLI_OK, CLI_USAGE after reporting the mistake, or
 * -1 when --help or -h was given (the verb's help is printed then). */
int cli_parse(const char *verb, int argc, char **argv, const cli_option *options, int option_count,
              cli_argument *out, int *count);

/* Parses a frame number (1 to 4294967295) or reports a usage error naming
 * what it is for. */
int cli_parse_frame(const char *verb, const char *what, const char *text, uint32_t *frame);

/* Parses a packet count for -c (1 on). */
int cli_parse_count(const char *verb, const char *text, uint64_t *count);

/* Output formats of summary and fields. cli_choose_output sets *format to
 * wanted (--json or --csv); CLI_OK, or CLI_USAGE after reporting that the
 * other one was given too. */
enum { CLI_TEXT_OUTPUT, CLI_JSON_OUTPUT, CLI_CSV_OUTPUT };
int cli_choose_output(const char *verb, int *format, int wanted);

/* Reports a frame the capture lacks, with how many packets it has. */
int cli_no_such_frame(const char *verb, uint32_t frame, uint64_t packets);

/* ---- input ---- */

/* Called first: a standard descriptor (0, 1, 2) that is closed gets
 * /dev/null opened the other way round, so that the command's own files
 * (the copy of standard input, the engine's) never take its number and
 * reading or writing it still fails; a closed standard input is remembered
 * and refused as FILE '-'. */
void cli_guard_standard_descriptors(void);

/* Opens the capture at path, or, for "-", the capture on standard input:
 * a regular file is read in place, anything else (a pipe) is copied into a
 * private temporary file that is unlinked at once, so nothing is left
 * behind however the process ends. CLI_OK or a status after reporting. */
int cli_open_capture(const char *verb, const char *path);
/* Opens the capture cli_open_capture opened again, to read it from its first
 * packet (standard input is not read again). CLI_OK or CLI_FAILED after
 * reporting. */
int cli_reopen_capture(void);

/* As cli_open_capture, for a verb that reads the capture in sequence only:
 * standard input on an anonymous pipe is read as its packets arrive (and
 * standard output is then line-buffered, so that each line shows as soon as
 * its packet has arrived); *streaming is set to whether it is. */
int cli_open_capture_in_sequence(const char *verb, const char *path, int *streaming);

/* Creates a private temporary file (in $TMPDIR, else /tmp) and unlinks it at
 * once, so that nothing is left behind however the process ends; path
 * receives a name to open it by (/proc/self/fd/N). The descriptor, or -1
 * after reporting. purpose goes into the file's short-lived name. */
int cli_private_file(const char *purpose, char *path, size_t size);

/* Makes standard input a file the capture can be opened from: a regular
 * file in place, anything else (a pipe) copied into a private temporary file
 * that is unlinked at once. path receives a name to open it by. CLI_OK or a
 * status after reporting (a terminal, a closed standard input). */
int cli_keep_standard_input(const char *verb, char *path, size_t size);

/* ---- several processes (--jobs) ---- */

/* Starts `jobs` worker processes for a verb, before the engine starts. In
 * the parent it merges their output in frame order onto standard output,
 * stopping after `limit` packets, sets *status to the exit status and
 * returns 1. In each worker it returns 0: the worker goes on as the verb
 * alone would, on *path (standard input is read once, by the parent), and
 * reads its share of the capture once cli_job_apply_share is called after
 * the engine started. */
int cli_jobs_start(const char *verb, int jobs, const char **path, uint64_t limit, int *status);
/* True in a worker. */
int cli_job_worker(void);
/* In a worker: sets the share of sequential reading; CLI_OK elsewhere. */
int cli_job_apply_share(void);
/* In a worker: what the verb prints from now on belongs to frame `frame`
 * (call before printing each packet); the end of the output. CLI_OK
 * elsewhere. */
int cli_job_packet(uint32_t frame);
int cli_job_finish(void);
/* Parses --jobs N (1 to 64). */
int cli_parse_jobs(const char *verb, const char *text, int *jobs);

/* ---- output ---- */

/* True (and the verb should stop at once) when writing to standard output
 * failed. A closed pipe is remembered and ends the process quietly, as by
 * SIGPIPE, once the engine is shut down; any other failure is reported. */
int cli_output_failed(void);
/* Flushes standard output; CLI_OK or CLI_FAILED as cli_output_failed. */
int cli_finish_output(void);
/* Set once output went into a closed pipe. */
extern int cli_broken_pipe;

/* ---- progress ---- */

/* Progress of reading on stderr, only when stderr is a terminal: packets
 * read and share of the file, at most ten updates a second, erased by
 * cli_progress_end. */
void cli_progress_begin(void);
void cli_progress_update(uint64_t packets, int64_t file_offset);
void cli_progress_end(void);

/* ---- times ---- */

/* The packet's time relative to the first packet's, at the capture's own
 * precision (decimals from gGetPacketTimePrecision), as tshark prints it:
 * "0.000000", "12.345678901". first_* are the first packet's time stamp. */
void cli_format_relative_time(char *out, size_t size, const PacketSummary *packet, int64_t first_seconds,
                              int32_t first_nanoseconds, int32_t decimals);
/* Writes the decimal digits of value at out (no NUL); returns their count. */
size_t cli_put_unsigned(char *out, uint64_t value);

/* ---- JSON and CSV ---- */

/* Writes text as a JSON string (quoted, escaped; bytes that are not UTF-8
 * become U+FFFD). */
void cli_json_string(FILE *out, const char *text);
/* Writes text as one CSV field (RFC 4180: quoted when it holds a comma,
 * quote, CR or LF; quotes doubled). */
void cli_csv_field(FILE *out, const char *text);

int cli_summary(int argc, char **argv);
int cli_fields(int argc, char **argv);
int cli_tree(int argc, char **argv);
int cli_save(int argc, char **argv);
int cli_follow(int argc, char **argv);

#endif
