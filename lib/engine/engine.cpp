// Engine start-up and shutdown, the failure reports the engine calls, the
// preference overrides and the tap listeners that record transport facts.
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include <epan/epan.h>
#include <epan/epan_dissect.h>
#include <epan/packet_info.h>
#include <epan/prefs.h>
#include <epan/prefs-int.h>
#include <epan/proto.h>
#include <epan/tap.h>
#include <epan/timestamp.h>
#include <epan/dissectors/packet-tcp.h>
#include <wsutil/filesystem.h>

#include "wsbridge.h"
#include "engine/state.h"
#include "capture/capture.h"
#include "compat40/compat40.h"
#include "fields/registry.h"
#include "follow/follow.h"
#include "save/save.h"
#include "engine/taps.h"

namespace {

// Set by every failure report; gInitEpan fails when one came during start-up.
bool startup_failed;

// Boolean preferences switched off at start-up, by module. Reassembly across
// packets would make a packet's fields depend on packets not yet read.
struct pref_override_row {
    const char *module;
    const char *names[4];
};
const pref_override_row pref_overrides[] = {
    {"tcp", {"desegment_tcp_streams"}},
    {"smtp", {"desegment_lines", "desegment_data"}},
    {"http", {"desegment_headers", "desegment_body", "dechunk_body"}},
    {"sip", {"desegment_headers", "desegment_body"}},
    {"netbios", {"defragment"}},
    {"aim", {"desegment"}},
    {"ymsg", {"desegment"}},
    {"bittorrent", {"desegment"}},
};

void apply_pref_override_row(const pref_override_row &row)
{
    module_t *module = prefs_find_module(row.module);
    if (!module)
        return;
    bool changed = false;
    for (const char *name : row.names) {
        if (!name)
            break;
        pref_t *pref = prefs_find_preference(module, name);
        if (!pref || prefs_get_type(pref) != PREF_BOOL)
            continue;
        prefs_set_bool_value(pref, FALSE, pref_current);
        changed = true;
    }
    if (changed)
        prefs_apply(module);
}

// Failure reports. The engine calls these at any time, also long after
// start-up; each report replaces the error text.
void on_engine_failure(const char *format, va_list args)
{
    startup_failed = true;
    set_error_vformat(format, args);
}

void on_engine_warning(const char *format, va_list args)
{
    set_error_vformat(format, args);
}

void on_engine_open_failure(const char *file_name, int err, gboolean for_writing)
{
    startup_failed = true;
    set_error_format(file_open_error_message(err, for_writing), file_name);
}

void on_engine_read_failure(const char *file_name, int err)
{
    startup_failed = true;
    set_error_format("An error occurred while reading from the file \"%s\": %s.\n", file_name, g_strerror(err));
}

void on_engine_write_failure(const char *file_name, int err)
{
    startup_failed = true;
    set_error_format("An error occurred while writing to the file \"%s\": %s.\n", file_name, g_strerror(err));
}

void on_engine_cfile_open_failure(const char *file_name, int err, gchar *err_info)
{
    startup_failed = true;
    set_error_format("The file \"%s\" could not be opened: %s.", file_name, wtap_strerror(err));
    g_free(err_info);
}

void on_engine_cfile_dump_open_failure(const char *file_name, int err, gchar *err_info, int)
{
    startup_failed = true;
    set_error_format("The file \"%s\" could not be created: %s.", file_name, wtap_strerror(err));
    g_free(err_info);
}

void on_engine_cfile_read_failure(const char *file_name, int err, gchar *err_info)
{
    startup_failed = true;
    set_error_format("An error occurred while reading the file \"%s\": %s.", file_name ? file_name : "",
                     wtap_strerror(err));
    g_free(err_info);
}

void on_engine_cfile_write_failure(const char *, const char *out_file_name, int err, gchar *err_info, guint32,
                                   int)
{
    startup_failed = true;
    set_error_format("An error occurred while writing to the file \"%s\": %s.", out_file_name ? out_file_name : "",
                     wtap_strerror(err));
    g_free(err_info);
}

void on_engine_cfile_close_failure(const char *file_name, int err, gchar *err_info)
{
    startup_failed = true;
    set_error_format("An error occurred while closing the file \"%s\": %s.", file_name, wtap_strerror(err));
    g_free(err_info);
}

const report_message_routines report_routines = {
    on_engine_failure,
    on_engine_warning,
    on_engine_open_failure,
    on_engine_read_failure,
    on_engine_write_failure,
    on_engine_cfile_open_failure,
    on_engine_cfile_dump_open_failure,
    on_engine_cfile_read_failure,
    on_engine_cfile_write_failure,
    on_engine_cfile_close_failure,
};

// Set while capture saving asks the TCP listener to judge the next TCP packet
// (see save); a plain function pointer, so that the listener does not depend
// on the save code.
tcp_tap_hook installed_tcp_hook;

// Tap listeners. They run when a dissection pushes its tap queue, after the
// packet's tree is complete, in the order the layers queued their reports.
tap_packet_status tcp_tap_listener(void *, packet_info *pinfo, epan_dissect_t *, const void *data, tap_flags_t)
{
    const auto *tcp = static_cast<const tcp_info_t *>(data);
    transport_facts.transport_header_length = tcp->th_hlen;
    transport_facts.saw_tcp = true;
    if (installed_tcp_hook)
        installed_tcp_hook(pinfo, tcp);
    return TAP_PACKET_DONT_REDRAW;
}

tap_packet_status udp_tap_listener(void *, packet_info *, epan_dissect_t *, const void *, tap_flags_t)
{
    transport_facts.saw_udp = true;
    transport_facts.transport_header_length = 8;
    return TAP_PACKET_DONT_REDRAW;
}

// The 4.0 "ip" tap record carries no header length. The registry's default
// field "ip.version" keeps the records of the IPv4 version field in every
// dissection once the registry is compiled, so the n-th report of a packet
// (IP in IP) reads the header at the n-th record of that field. (Priming a
// field of its own here would cost every packet the building of its IP
// subtree, also for hosts that never ask for fields.)
tap_packet_status ip_tap_listener(void *, packet_info *, epan_dissect_t *edt, const void *, tap_flags_t)
{
    int index = transport_facts.ip_reports++;
    int id = compat40_ipv4_version_id();
    if (edt && edt->tree && id >= 0) {
        GPtrArray *records = proto_get_finfo_ptr_array(edt->tree, id);
        if (records && index < static_cast<int>(records->len))
            transport_facts.ip_header_length =
                compat40_ipv4_header_length(static_cast<field_info *>(g_ptr_array_index(records, index)));
    }
    transport_facts.saw_ip = true;
    return TAP_PACKET_DONT_REDRAW;
}

bool register_tap(const char *tap, tap_packet_cb listener, const char *failure_format)
{
    GString *error = register_tap_listener(tap, &transport_facts, nullptr, TL_REQUIRES_PROTO_TREE, nullptr,
                                           listener, nullptr, nullptr);
    if (!error)
        return true;
    set_error_format(failure_format, error->str);
    g_string_free(error, TRUE);
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
    if (!compat40_start_engine(&report_routines) || startup_failed) {
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

    for (const auto &row : pref_overrides)
        apply_pref_override_row(row);
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
    epan_cleanup();
    set_engine_state(engine_lifecycle::shut_down);
    return save_completed ? 0 : 1;
}

void gHackedCleanup(void)
{
    // The 4.0 engine drops per-capture dissection state with its session; a
    // new session keeps later dissections of the open capture safe.
    if (engine_state() == engine_lifecycle::running)
        capture_replace_session();
}
