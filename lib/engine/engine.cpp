// Engine start-up and shutdown, the error text of the engine's reports, the
// preference overrides and the tap listeners that record transport facts.
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <iterator>

#include <epan/epan.h>
#include <epan/epan_dissect.h>
#include <epan/packet_info.h>
#include <epan/prefs.h>
#include <epan/prefs-int.h>
#include <epan/proto.h>
#include <epan/timestamp.h>

#include "wsbridge.h"
#include "engine/state.h"
#include "capture/capture.h"
#include "compat/engine_series.h"
#include "fields/fields.h"
#include "fields/registry.h"
#include "follow/follow.h"
#include "save/save.h"
#include "engine/taps.h"

namespace {

// Set by every failure report; gInitEpan fails when one came during start-up.
bool startup_failed;

// Boolean preferences switched off at start-up (lib/engine/
// preference_overrides.txt). Reassembly across packets would make a packet's
// fields depend on packets not yet read.
struct preference_override {
    const char *module;
    const char *name;
};
const preference_override preference_overrides[] = {
#include "preference_overrides.h"
};

// Switches off the preferences of one module, the rows [first, last), and
// applies the module once.
void apply_module_overrides(const preference_override *first, const preference_override *last)
{
    module_t *module = prefs_find_module(first->module);
    if (!module)
        return;
    bool changed = false;
    for (const preference_override *row = first; row != last; ++row) {
        pref_t *pref = prefs_find_preference(module, row->name);
        if (!pref || prefs_get_type(pref) != PREF_BOOL)
            continue;
        prefs_set_bool_value(pref, FALSE, pref_current);
        changed = true;
    }
    if (changed)
        prefs_apply(module);
}

void apply_preference_overrides()
{
    const preference_override *end = std::end(preference_overrides);
    for (const preference_override *first = std::begin(preference_overrides); first != end;) {
        const preference_override *last = first;
        while (last != end && strcmp(last->module, first->module) == 0)
            ++last;
        apply_module_overrides(first, last);
        first = last;
    }
}

// Every report of the engine replaces the error text; a failure reported
// during start-up fails gInitEpan.
void on_engine_report(bool failure, const char *text)
{
    if (failure)
        startup_failed = true;
    set_error_text(text);
}

// Set while capture saving asks the TCP listener to judge the next TCP packet
// (see save); a plain function pointer, so that the listener does not depend
// on the save code.
tcp_tap_hook installed_tcp_hook;

// Tap listeners. They run when a dissection pushes its tap queue, after the
// packet's tree is complete, in the order the layers queued their reports.
void tcp_tap_listener(void *, packet_info *pinfo, epan_dissect_t *, const void *data)
{
    const series_tcp_segment segment = series_tcp_tap_segment(data);
    transport_facts.transport_header_length = segment.header_length;
    transport_facts.saw_tcp = true;
    if (installed_tcp_hook)
        installed_tcp_hook(pinfo, segment);
}

void udp_tap_listener(void *, packet_info *, epan_dissect_t *, const void *)
{
    transport_facts.saw_udp = true;
    transport_facts.transport_header_length = 8;
}

// The n-th "ip" report of a packet (IP in IP) describes its n-th IPv4 header.
void ip_tap_listener(void *, packet_info *, epan_dissect_t *edt, const void *)
{
    const int32_t length = series_ip_tap_header_length(edt, ipv4_version_id(), transport_facts.ip_reports++);
    if (length >= 0)
        transport_facts.ip_header_length = length;
    transport_facts.saw_ip = true;
}

bool register_tap(const char *tap, series_tap_listener listener, const char *failure_format)
{
    std::string error;
    if (series_register_tap_listener(tap, &transport_facts, nullptr, true, listener, error))
        return true;
    set_error_format(failure_format, error.c_str());
    return false;
}

}  // namespace

tcp_tap_hook replace_tcp_tap_hook(tcp_tap_hook hook)
{
    const tcp_tap_hook previous = installed_tcp_hook;
    installed_tcp_hook = hook;
    return previous;
}

int32_t gInitEpan(void)
{
    startup_failed = false;
    if (engine_state() != engine_lifecycle::not_started) {
        set_error_text("Wireshark engine was already initialized.");
        return WSB_FAILED;
    }
    if (!series_start_engine(on_engine_report) || startup_failed) {
        if (!startup_failed)
            set_error_text("Wireshark engine could not be started (it can be started only once per process).");
        return WSB_FAILED;
    }
    timestamp_set_type(TS_RELATIVE);

    capture_setup_at_startup();
    create_field_registry();

    if (!register_tap("tcp", tcp_tap_listener, "Can't register TCP tap: %s\n") ||
        !register_tap("udp", udp_tap_listener, "Can't register UDP tap: %s\n") ||
        !register_tap("ip", ip_tap_listener, "Can't register IP tap: %s\n"))
        return WSB_FAILED;

    set_engine_state(engine_lifecycle::running);

    // The fields the payload offsets are computed from.
    register_field("ip.version", "IP");
    register_field("tcp.srcport", "TCP");
    register_field("udp.srcport", "UDP");

    apply_preference_overrides();
    return WSB_OK;
}

int32_t gCleanupEpan(void)
{
    if (!require_engine("Cleanup"))
        return WSB_FAILED;
    release_field_state_at_cleanup();
    // Nothing can be called on a capture or a save file once the engine is
    // down: a save file still open is completed so that its packets are not
    // lost, and the capture is closed. Dissections and the session point into
    // engine tables that epan_cleanup frees; they go first.
    release_followed_stream();
    const bool save_completed = complete_save_file_at_shutdown();
    capture_close_at_shutdown();
    release_display_filter();
    epan_cleanup();
    set_engine_state(engine_lifecycle::shut_down);
    return save_completed ? WSB_OK : WSB_FAILED;
}

int32_t gSetPreference(const char *assignment)
{
    if (!require_engine("Set Preference"))
        return WSB_FAILED;
    if (!assignment) {
        set_error_text("\"Set Preference\" operation failed. No preference was given.");
        return WSB_FAILED;
    }
    // Dissectors read their preferences as they go: a change in the middle
    // of a capture would dissect its packets under two settings.
    if (cfile.state != read_state::closed) {
        set_error_text("\"Set Preference\" operation failed. Preferences can be changed only while no capture is "
                       "open.");
        return WSB_FAILED;
    }
    std::string error;
    if (!series_set_preference(assignment, error)) {
        set_error_format("\"Set Preference\" operation failed. %s.", error.c_str());
        return WSB_FAILED;
    }
    return WSB_OK;
}

void gHackedCleanup(void)
{
    // Per-capture dissection state goes with the session (series_new_session);
    // a new session keeps later dissections of the open capture safe.
    if (engine_state() == engine_lifecycle::running)
        capture_replace_session();
}

int32_t gGetVersion(const char **library_version, const char **engine_version)
{
    if (!library_version || !engine_version) {
        set_error_text("\"Get Version\" operation failed. No place for the version texts was given.");
        return WSB_FAILED;
    }
    *library_version = WSB_LIBRARY_VERSION;
    *engine_version = epan_get_version();
    return WSB_OK;
}
