/* SPDX-License-Identifier: GPL-2.0-or-later */
/* What the verbs write per packet, formatted by hand where it is written
 * once a packet: numbers, times, JSON strings and CSV fields. */
#ifndef WSBRIDGE_CLI_FORMAT_H
#define WSBRIDGE_CLI_FORMAT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "wsbridge.h"

/* Output formats of summary and fields: their text lines, --json or
 * --csv. */
enum { CLI_TEXT_OUTPUT, CLI_JSON_OUTPUT, CLI_CSV_OUTPUT };

/* The packet's time relative to the first packet's, at the capture's own
 * precision (decimals from gGetPacketTimePrecision), as tshark prints it:
 * "0.000000", "12.345678901". first_* are the first packet's time stamp. */
void cli_format_relative_time(char *out, size_t size, const PacketSummary *packet, int64_t first_seconds,
                              int32_t first_nanoseconds, int32_t decimals);
/* Writes the decimal digits of value at out (no NUL); returns their count. */
size_t cli_put_unsigned(char *out, uint64_t value);
/* Writes '.' and the first `decimals` (at most 9) digits of a fraction of a
 * second at out (no NUL); nothing for decimals <= 0. Returns the count. */
size_t cli_put_fraction(char *out, uint32_t nanoseconds, int32_t decimals);

/* Writes text as a JSON string (quoted, escaped; bytes that are not UTF-8
 * become U+FFFD). */
void cli_json_string(FILE *out, const char *text);
/* Writes text as one CSV field (RFC 4180: quoted when it holds a comma,
 * quote, CR or LF; quotes doubled). */
void cli_csv_field(FILE *out, const char *text);

#endif
