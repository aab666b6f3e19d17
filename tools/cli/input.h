/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Where the capture comes from: a file, or standard input for "-"; and the
 * private temporary files that stand in for standard input and for a save
 * to standard output. */
#ifndef WSBRIDGE_CLI_INPUT_H
#define WSBRIDGE_CLI_INPUT_H

#include <stddef.h>
#include <stdint.h>

#include "wsbridge.h"

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
/* With -i (live.h) both open calls start the live capture instead (path is
 * then null), the in-sequence one as streaming. */
/* Opens the capture cli_open_capture opened again, to read it from its first
 * packet (standard input is not read again). CLI_OK or CLI_FAILED after
 * reporting. */
int cli_reopen_capture(void);

/* As cli_open_capture, for a verb that reads the capture in sequence only:
 * standard input on an anonymous pipe is read as its packets arrive (and
 * standard output is then line-buffered, so that each line shows as soon as
 * its packet has arrived); *streaming is set to whether it is. */
int cli_open_capture_in_sequence(const char *verb, const char *path, int *streaming);

/* The next packet of the opened capture, as gGetNextPacket reads it (its
 * status). In a worker of --jobs, what the verb prints from then on belongs
 * to that packet (jobs.h). */
int cli_read_packet(PacketSummary *summary);

/* The size of the opened capture's file, 0 when it is no regular file (a
 * capture read as it arrives). */
uint64_t cli_input_size(void);

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

#endif
