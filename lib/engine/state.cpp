// The error text, the engine flags and the standard guards.
#include "state.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "capture/capture.h"

char last_error_text[error_text_limit + 1];
bool engine_initialized;
bool engine_uninitialized;
int32_t startup_failed;
transport_facts_record transport_facts;

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

bool guard_two_step(const char *operation)
{
    if (!engine_initialized) {
        set_error_format("\"%s\" operation failed. Wireshark engine is not initialized yet.", operation);
        return false;
    }
    if (engine_uninitialized) {
        set_error_format("\"%s\" operation failed. Wireshark engine was already uninitialized.", operation);
        return false;
    }
    return true;
}

bool guard_three_step(const char *operation)
{
    if (!guard_two_step(operation))
        return false;
    if (cfile.read_state == 0) {
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

extern "C" __attribute__((visibility("default"))) const char *gGetLastError(void)
{
    return last_error_text;
}
