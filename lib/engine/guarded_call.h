// Runs engine code inside the engine's exception frame. A host has no engine
// frame of its own, so an exception that left the library would abort it.
#pragma once

#include <cstdint>

enum guarded_result : int32_t { guarded_ok = 0, guarded_failed = 1, guarded_out_of_memory = 3 };

// Calls body(context). On an engine exception writes "<what> failed: <the
// exception's message>" (out of memory: nothing) and returns the status.
int32_t run_in_engine_frame(void (*body)(void *), void *context, const char *what);

template <typename F>
int32_t run_in_engine_frame(F &&body, const char *what)
{
    return run_in_engine_frame([](void *context) { (*static_cast<F *>(context))(); }, &body, what);
}
