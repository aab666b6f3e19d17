// SPDX-License-Identifier: GPL-2.0-or-later
// The 4.0 engine's start-up steps, its failure reports, the dissection
// session with its packet provider, and the frame and dissection steps.
#include "compat/engine_series.h"
#include "compat40/name_maps.h"
#include "compat40/stats_taps.h"
#include "compat40/taps.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gmodule.h>

#include <epan/epan_dissect.h>
#include <epan/prefs.h>
#include <epan/tvbuff.h>
#include <epan/uat-int.h>
#include <wiretap/wtap.h>
#include <wsutil/filesystem.h>
#include <wsutil/privileges.h>
#include <wsutil/report_message.h>
#include <wsutil/wslog.h>

namespace {

bool epan_init_attempted;
series_report_sink report_sink;

// Preference tables are normally post-processed when their files are read;
// this library reads none, so run each table's post-update once here. Without
// it the IPv4 dissector's address lookups use a map that was never built.
void post_update_table(void *table, void *)
{
    auto *uat = static_cast<epan_uat *>(table);
    if (uat->loaded)
        return;
    if (uat->post_update_cb)
        uat->post_update_cb();
    uat->loaded = TRUE;
}

const nstime_t *provider_frame_ts(packet_provider_data *provider, guint32 frame_num)
{
    return provider && provider->frame_ts ? provider->frame_ts(frame_num) : nullptr;
}

// Loads the engine's global dissector plugins as the engine's own plugin scan
// does (wsutil/plugins.c): every module of the global plugin folder's "epan"
// folder that declares the engine version it was built for, whose
// plugin_register then queues its protocols for epan_init to register. It
// must run before epan_init. The engine's scan would also load the modules of
// the user's personal plugin folder; a library must not run code from its
// user's home, so this one reads only the global folder. Modules stay loaded
// for the life of the process, as the engine's do. A module that cannot be
// used is skipped, as the engine skips it.
void load_global_dissector_plugins()
{
    if (!g_module_supported())
        return;
    const char *plugins = get_plugins_dir_with_version();
    if (!plugins)
        return;
    gchar *folder = g_build_filename(plugins, "epan", nullptr);
    GDir *dir = g_dir_open(folder, 0, nullptr);
    if (!dir) {
        g_free(folder);
        return;
    }
    std::vector<std::string> names;
    while (const char *name = g_dir_read_name(dir))
        if (g_str_has_suffix(name, "." G_MODULE_SUFFIX))
            names.emplace_back(name);
    g_dir_close(dir);
    // A fixed order gives the plugins' fields the same ids on every machine.
    std::sort(names.begin(), names.end());

    int engine_major = 0, engine_minor = 0, engine_micro = 0;
    epan_get_version_number(&engine_major, &engine_minor, &engine_micro);
    for (const std::string &name : names) {
        gchar *path = g_build_filename(folder, name.c_str(), nullptr);
        GModule *module = g_module_open(path, G_MODULE_BIND_LOCAL);
        g_free(path);
        if (!module)
            continue;
        gpointer version = nullptr, want_major = nullptr, want_minor = nullptr, register_plugin = nullptr;
        if (!g_module_symbol(module, "plugin_version", &version) ||
            !g_module_symbol(module, "plugin_want_major", &want_major) ||
            !g_module_symbol(module, "plugin_want_minor", &want_minor) ||
            *static_cast<int *>(want_major) != engine_major || *static_cast<int *>(want_minor) != engine_minor ||
            !g_module_symbol(module, "plugin_register", &register_plugin)) {
            g_module_close(module);
            continue;
        }
        reinterpret_cast<void (*)()>(register_plugin)();
    }
    g_free(folder);
}

// The interface record of a packet, as the capture file describes its
// interfaces (pcapng's interface description blocks), or null. The records'
// array grows as sequential reading meets more of them; it stays the same
// array for the life of the capture, so a lookup allocates nothing.
wtap_block_t interface_record(const packet_provider_data *provider, guint32 interface_id)
{
    const auto *records = static_cast<const GArray *>(provider ? provider->interfaces : nullptr);
    if (!records || interface_id >= records->len)
        return nullptr;
    return g_array_index(records, wtap_block_t, interface_id);
}

const char *string_option(wtap_block_t record, guint option)
{
    char *value = nullptr;
    return record && wtap_block_get_string_option_value(record, option, &value) == WTAP_OPTTYPE_SUCCESS ? value
                                                                                                         : nullptr;
}

// What tshark's packet provider answers (frame.interface_name): the
// interface's name, else its description, else its hardware, else
// "unknown".
const char *provider_interface_name(packet_provider_data *provider, guint32 interface_id)
{
    const wtap_block_t record = interface_record(provider, interface_id);
    for (guint option : {OPT_IDB_NAME, OPT_IDB_DESCRIPTION, OPT_IDB_HARDWARE})
        if (const char *text = string_option(record, option))
            return text;
    return "unknown";
}

// frame.interface_description: the interface's description, or none.
const char *provider_interface_description(packet_provider_data *provider, guint32 interface_id)
{
    return string_option(interface_record(provider, interface_id), OPT_IDB_DESCRIPTION);
}

const packet_provider_funcs provider_funcs = {provider_frame_ts, provider_interface_name,
                                              provider_interface_description, nullptr};

// Failure reports. The engine calls these at any time, also long after
// start-up; each one is formatted here and handed to the sink.
void report(bool failure, const char *format, va_list args)
{
    gchar *text = g_strdup_vprintf(format, args);
    if (report_sink)
        report_sink(failure, text);
    g_free(text);
}

void report_format(bool failure, const char *format, ...) G_GNUC_PRINTF(2, 3);
void report_format(bool failure, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    report(failure, format, args);
    va_end(args);
}

void on_engine_failure(const char *format, va_list args)
{
    report(true, format, args);
}

void on_engine_warning(const char *format, va_list args)
{
    report(false, format, args);
}

// A file the engine could not open or read is a warning: it goes on without
// it (as tshark does), and a personal file the process may not read (in a
// home folder of another user, say) must not keep the engine from starting.
void on_engine_open_failure(const char *file_name, int err, gboolean for_writing)
{
    gchar *text = g_strdup_printf(file_open_error_message(err, for_writing), file_name);
    if (report_sink)
        report_sink(false, text);
    g_free(text);
}

void on_engine_read_failure(const char *file_name, int err)
{
    report_format(false, "An error occurred while reading from the file \"%s\": %s.\n", file_name, g_strerror(err));
}

void on_engine_write_failure(const char *file_name, int err)
{
    report_format(true, "An error occurred while writing to the file \"%s\": %s.\n", file_name, g_strerror(err));
}

void on_engine_cfile_open_failure(const char *file_name, int err, gchar *err_info)
{
    report_format(true, "The file \"%s\" could not be opened: %s.", file_name, wtap_strerror(err));
    g_free(err_info);
}

void on_engine_cfile_dump_open_failure(const char *file_name, int err, gchar *err_info, int)
{
    report_format(true, "The file \"%s\" could not be created: %s.", file_name, wtap_strerror(err));
    g_free(err_info);
}

void on_engine_cfile_read_failure(const char *file_name, int err, gchar *err_info)
{
    report_format(true, "An error occurred while reading the file \"%s\": %s.", file_name ? file_name : "",
                  wtap_strerror(err));
    g_free(err_info);
}

void on_engine_cfile_write_failure(const char *, const char *out_file_name, int err, gchar *err_info, guint32, int)
{
    report_format(true, "An error occurred while writing to the file \"%s\": %s.", out_file_name ? out_file_name : "",
                  wtap_strerror(err));
    g_free(err_info);
}

void on_engine_cfile_close_failure(const char *file_name, int err, gchar *err_info)
{
    report_format(true, "An error occurred while closing the file \"%s\": %s.", file_name, wtap_strerror(err));
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

// The packet's length on the wire as the engine's buffers take it, as the
// engine's own programs give it (frame_tvbuff.c): the record's, also when it
// is shorter than the bytes captured (a damaged record: the frame dissector
// then shows frame.len as recorded and reports frame.len_lt_caplen); a
// length of 2 GB or more is cut to the largest the buffers hold instead of
// turning negative.
gint reported_length(const frame_data *fd)
{
    return fd->pkt_len > static_cast<guint32>(G_MAXINT) ? G_MAXINT : static_cast<gint>(fd->pkt_len);
}

}  // namespace

bool series_start_engine(series_report_sink sink)
{
    if (epan_init_attempted)
        return false;
    epan_init_attempted = true;
    report_sink = sink;
    // The library prints nothing: only errors that end the process get through.
    ws_log_set_level(LOG_LEVEL_ERROR);
    init_process_policies();
    init_report_message("wsbridge", &report_routines);
    wtap_init(FALSE);
    // The engine's own plugin loading (epan_init's last argument) would also
    // run the user's personal plugins.
    load_global_dissector_plugins();
    if (!epan_init(nullptr, nullptr, FALSE))
        return false;
    uat_foreach_table(post_update_table, nullptr);
    return true;
}

// Dropping a session drops the engine's per-capture dissection state: the
// capture code makes one at the first dissected packet of a capture and
// replaces it on gHackedCleanup. epan_new rebuilds the name-resolution maps
// without freeing the ones it replaces (about 10.5 MB a session, otherwise
// given back only at shutdown); freeing them first lets the new maps reuse
// their memory.
epan_t *series_new_session(packet_provider_data *provider)
{
    provider->interfaces = nullptr;
    if (provider->wiretap) {
        // The engine hands out its own array of the records in a record it
        // allocates for the call.
        wtapng_iface_descriptions_t *descriptions = wtap_file_get_idb_info(provider->wiretap);
        provider->interfaces = descriptions->interface_data;
        g_free(descriptions);
    }
    release_name_maps();
    return epan_new(provider, &provider_funcs);
}

void series_begin_frame(frame_data *frame, uint32_t number, const wtap_rec *record, int64_t offset,
                        uint32_t cumulative_bytes, const nstime_t *reference, const nstime_t *previous,
                        uint32_t previous_number)
{
    frame_data_init(frame, number, record, offset, cumulative_bytes);
    // Stand-ins for the first frame and the frame before: the engine reads
    // only their numbers and time stamps. The first frame is the time
    // reference of all others.
    frame_data reference_frame{};
    frame_data previous_frame{};
    const frame_data *reference_pointer = nullptr;
    const frame_data *previous_pointer = nullptr;
    if (reference) {
        reference_frame.num = 1;
        reference_frame.abs_ts = *reference;
        reference_pointer = &reference_frame;
    }
    if (previous) {
        previous_frame.num = previous_number;
        previous_frame.abs_ts = *previous;
        previous_pointer = &previous_frame;
    }
    nstime_t elapsed = NSTIME_INIT_ZERO;
    frame_data_set_before_dissect(frame, &elapsed, &reference_pointer, previous_pointer);
    track_elapsed(elapsed);
}

void series_end_frame(frame_data *frame, uint32_t *cumulative_bytes)
{
    frame_data_set_after_dissect(frame, cumulative_bytes);
}

void series_destroy_frame(frame_data *frame)
{
    frame_data_destroy(frame);
}

void *series_take_frame_data(frame_data *frame)
{
    GSList *data = frame->pfd;
    frame->pfd = nullptr;
    return data;
}

void series_give_frame_data(frame_data *frame, void *data)
{
    frame->pfd = static_cast<GSList *>(data);
    frame->visited = 1;
}

void series_free_frame_data(void *data)
{
    g_slist_free(static_cast<GSList *>(data));
}

namespace {

// The 4.0 engine's per-frame data: a list of these, the newest first
// (epan/proto_data.c), and the key under which packet-ieee80211.c keeps its
// association count.
struct per_frame_entry {
    int proto;
    guint32 key;
    void *proto_data;
};
constexpr guint32 wlan_association_count_key = 8;  // ASSOC_COUNTER_KEY

}  // namespace

bool series_association_counts(const frame_data *frame, uint32_t *at_start, uint32_t *latest)
{
    static int wlan = proto_get_id_by_filter_name("wlan");
    if (wlan < 0 || !frame)
        return false;
    bool found = false;
    for (const GSList *item = frame->pfd; item; item = item->next) {
        const auto *entry = static_cast<const per_frame_entry *>(item->data);
        if (!entry || entry->proto != wlan || entry->key != wlan_association_count_key)
            continue;
        const auto count = static_cast<uint32_t>(GPOINTER_TO_UINT(entry->proto_data));
        if (!found && latest)
            *latest = count;
        if (at_start)
            *at_start = count;
        found = true;
    }
    return found;
}

// The 4.0 engine finds a packet's record data through the wtap_rec it was
// given, and resetting a dissection releases that data: the capture code
// resets its dissections before the next read fills the same record.
void series_dissect(epan_dissect_t *edt, int file_type, wtap_rec *record, const uint8_t *bytes, frame_data *frame,
                    column_info *columns)
{
    // The packet's bytes as captured; its reported length is its length on
    // the wire, so a cut packet reads as cut rather than malformed.
    tvbuff_t *tvb = tvb_new_real_data(bytes, frame->cap_len, reported_length(frame));
    forget_held_tcp_records();
    epan_dissect_run_with_taps(edt, file_type, record, tvb, frame, columns);
}

bool series_set_preference(const char *assignment, std::string &error)
{
    // The engine writes into the text while it parses it.
    gchar *copy = g_strdup(assignment);
    char *detail = nullptr;
    const prefs_set_pref_e result = prefs_set_pref(copy, &detail);
    switch (result) {
    case PREFS_SET_OK:
        // The modules whose preferences changed take the new values now.
        prefs_apply_all();
        break;
    case PREFS_SET_SYNTAX_ERR:
        error = std::string("Invalid preference \"") + assignment + "\"" +
                (detail ? std::string(": ") + detail : " (expected module.name:value with a value the preference takes)");
        break;
    case PREFS_SET_NO_SUCH_PREF:
        error = std::string("\"") + assignment + "\" specifies unknown preference";
        break;
    case PREFS_SET_OBSOLETE:
        error = std::string("\"") + assignment + "\" specifies obsolete preference";
        break;
    }
    g_free(detail);
    g_free(copy);
    return result == PREFS_SET_OK;
}
