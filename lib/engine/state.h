/* SPDX-License-Identifier: GPL-2.0-or-later */
// The state every module shares: the engine's lifecycle, the error text and
// the guards that each call begins with.
#pragma once

#include <cstdint>
#include <glib.h>

// The engine starts once per process and cannot start again after shutdown.
enum class engine_lifecycle {
    not_started,  // gInitEpan has not succeeded (yet)
    running,      // started: calls may use the engine
    shut_down,    // gCleanupEpan ran: every call that needs the engine fails
};
engine_lifecycle engine_state();
void set_engine_state(engine_lifecycle state);

// Every failure writes its WSB_E_* code (wsbridge.h) and its text together.
// set_error_text copies a finished text (never used as a format), cut to 2048
// characters; the text may lie in the error text itself.
void set_error_text(int32_t code, const char *text);
// Formats into the error text, cut to 2048 characters. The arguments may
// point into the error text: the message is composed aside first.
void set_error_format(int32_t code, const char *format, ...) G_GNUC_PRINTF(2, 3);
// Sets the code alone, for a failure whose text another step wrote already
// (an engine that ran out of memory, a message a helper composed).
void set_error_code(int32_t code);

// False (with the guard's message naming `operation` written) when the
// engine is not running.
bool require_engine(const char *operation);
// False (with a message naming `operation`) when no path was given.
bool require_path(const char *operation, const char *path);

// A host may pass gGetLastError()'s own text back as an argument. Such a text
// would change under the call as soon as a message is written, so a call that
// takes texts reads them through this: a text that lies in the error text is
// copied into `copy` (error_text_limit + 1 bytes) and the copy is returned;
// any other text (or null) is returned as it is.
constexpr int error_text_limit = 2048;
using argument_copy = char[error_text_limit + 1];
const char *unaliased_argument(const char *text, argument_copy &copy);
