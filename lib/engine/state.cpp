// The error text, the engine's lifecycle and the guards.
#include "engine/state.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "wsbridge.h"
#include "capture/capture.h"

transport_facts_record transport_facts;

namespace {

constexpr int error_text_limit = 2048;
char last_error_text[error_text_limit + 1];
engine_lifecycle lifecycle = engine_lifecycle::not_started;

}  // namespace

engine_lifecycle engine_state()
{
    return lifecycle;
}

void set_engine_state(engine_lifecycle state)
{
    lifecycle = state;
}

void set_error_text(const char *text)
{
    // strncpy fills the rest with NULs; index 2048 stays the terminator.
    strncpy(last_error_text, text ? text : "", error_text_limit);
    last_error_text[error_text_limit] = '\0';
}

void set_error_vformat(const char *format, va_list args)
{
    vsnprintf(last_error_text, sizeof last_error_text, format, args);
}

void set_error_format(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    set_error_vformat(format, args);
    va_end(args);
}

bool require_engine(const char *operation)
{
    switch (lifecycle) {
    case engine_lifecycle::not_started:
        set_error_format("\"%s\" operation failed. Wireshark engine is not initialized yet.", operation);
        return false;
    case engine_lifecycle::shut_down:
        set_error_format("\"%s\" operation failed. Wireshark engine was already uninitialized.", operation);
        return false;
    case engine_lifecycle::running:
        break;
    }
    return true;
}

bool require_capture(const char *operation)
{
    if (!require_engine(operation))
        return false;
    if (capture_read_state() == read_state::closed) {
        set_error_format("\"%s\" operation failed. A capture file needs to be opened in order to perform this operation.",
                         operation);
        return false;
    }
    return true;
}

void clear_transport_facts()
{
    transport_facts = transport_facts_record{};
}

const char *gGetLastError(void)
{
    return last_error_text;
}
