/* SPDX-License-Identifier: GPL-2.0-or-later */
// Messages for capture-file errors reported by wiretap or the system.
#pragma once

// Message for a capture that cannot be opened (for_writing false) or a save
// file that cannot be created (true). The detail text is not released here.
// The result lives in a scratch buffer until the next call.
const char *describe_open_error(int err, const char *detail, bool for_writing, const char *path, int file_type);

// Message for a packet that cannot be re-read at its offset in `path`.
const char *describe_read_error(int err, const char *detail, const char *path);

// Writes the message for a save file that cannot be closed to the error text.
void describe_close_error(int err, const char *path);

// Message for a failed sequential read of the open capture.
const char *describe_sequential_read_error(int err, const char *detail);
