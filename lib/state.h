// Process-wide library state shared by every subsystem: the engine flags, the
// error text, the standard guards and the per-packet transport facts.
#pragma once

#include <cstdint>
#include <glib.h>

struct field_info;

constexpr int error_text_limit = 2048;

extern char last_error_text[error_text_limit + 1];
extern bool engine_initialized;
extern bool engine_uninitialized;
extern int32_t startup_failed;

// Copies a finished text (never used as a format), cut to 2048 characters.
void set_error_text(const char *text);
// Formats into the error text, cut to 2048 characters.
void set_error_format(const char *format, ...) G_GNUC_PRINTF(1, 2);
void set_error_vformat(const char *format, va_list args);

// The standard guards: false (with the guard's message written) when the
// engine is not started, already shut down, or (three-step) no capture is open.
bool guard_two_step(const char *operation);
bool guard_three_step(const char *operation);

// What the tap listeners learn of the packet dissected last.
struct transport_facts_record {
    bool saw_tcp;
    bool saw_udp;
    bool saw_ip;
    int32_t transport_header_length;
    int32_t ip_header_length;
    int32_t ip_reports;  // "ip" tap calls seen so far for this packet
    const field_info *tcp_srcport_info;
    const field_info *udp_srcport_info;
};
extern transport_facts_record transport_facts;

void clear_transport_facts();
