/* SPDX-License-Identifier: GPL-2.0-or-later */
// What the files of lib/live share beyond live.h.
#pragma once

#include <cstddef>

// dumpcap's path (g_free it), or null with the message written.
char *live_program();
// Reads the error reports among sync-pipe messages (dumpcap's standard
// error in capture-child mode) and writes the last failure as the library's
// error; false when there was none.
bool live_failure_from(const unsigned char *messages, size_t length);
