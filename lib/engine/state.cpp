// SPDX-License-Identifier: GPL-2.0-or-later
// The error text, the engine's lifecycle and the guards.
#include "engine/state.h"

#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <cstring>

#include "wsbridge.h"

namespace {

char last_error_text[error_text_limit + 1];
int32_t last_error_code = WSB_E_NONE;
engine_lifecycle lifecycle = engine_lifecycle::not_started;

bool lies_in_error_text(const char *text)
{
    const auto address = reinterpret_cast<uintptr_t>(text);
    const auto begin = reinterpret_cast<uintptr_t>(last_error_text);
    return text && address >= begin && address < begin + sizeof last_error_text;
}

}  // namespace

engine_lifecycle engine_state()
{
    return lifecycle;
}

void set_engine_state(engine_lifecycle state)
{
    lifecycle = state;
}

void set_error_code(int32_t code)
{
    last_error_code = code;
}

void set_error_text(int32_t code, const char *text)
{
    last_error_code = code;
    // The rest of the buffer is filled with NULs (as strncpy would); index
    // 2048 stays the terminator. memmove: the text may be part of the buffer.
    const char *source = text ? text : "";
    const size_t length = strnlen(source, error_text_limit);
    memmove(last_error_text, source, length);
    memset(last_error_text + length, 0, sizeof last_error_text - length);
}

void set_error_format(int32_t code, const char *format, ...)
{
    last_error_code = code;
    // An argument may be the error text itself (a host that passes
    // gGetLastError() back in): compose aside, then copy.
    char composed[error_text_limit + 1];
    va_list args;
    va_start(args, format);
    vsnprintf(composed, sizeof composed, format, args);
    va_end(args);
    memcpy(last_error_text, composed, strlen(composed) + 1);
}

const char *unaliased_argument(const char *text, argument_copy &copy)
{
    if (!lies_in_error_text(text))
        return text;
    const size_t room = sizeof last_error_text - static_cast<size_t>(text - last_error_text);
    const size_t length = strnlen(text, room - 1);
    memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

bool require_engine(const char *operation)
{
    switch (lifecycle) {
    case engine_lifecycle::not_started:
        set_error_format(WSB_E_NOT_STARTED, "\"%s\" operation failed. Wireshark engine is not initialized yet.",
                         operation);
        return false;
    case engine_lifecycle::shut_down:
        set_error_format(WSB_E_SHUT_DOWN, "\"%s\" operation failed. Wireshark engine was already uninitialized.",
                         operation);
        return false;
    case engine_lifecycle::running:
        break;
    }
    return true;
}

bool require_path(const char *operation, const char *path)
{
    if (path)
        return true;
    set_error_format(WSB_E_BAD_ARGUMENT, "\"%s\" operation failed. No file path was given.", operation);
    return false;
}

const char *gGetLastError(void)
{
    return last_error_text;
}

int32_t gGetLastErrorCode(void)
{
    return last_error_code;
}
