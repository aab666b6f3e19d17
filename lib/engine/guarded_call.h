/* SPDX-License-Identifier: GPL-2.0-or-later */
// Runs engine code inside the engine's exception frame. A host has no engine
// frame of its own, so an exception that left the library would abort it.
#pragma once

#include <cstdint>

#include "wsbridge.h"

// Calls body(context). On an engine exception writes "<what> failed: <the
// exception's message>" (out of memory: nothing) and returns the status
// (WSB_OK, WSB_FAILED or WSB_OUT_OF_MEMORY).
int32_t run_in_engine_frame(void (*body)(void *), void *context, const char *what);

template <typename F>
int32_t run_in_engine_frame(F &&body, const char *what)
{
    return run_in_engine_frame([](void *context) { (*static_cast<F *>(context))(); }, &body, what);
}
