// SPDX-License-Identifier: GPL-2.0-or-later
// bare_engine FILE: the same work as walking a capture through the library
// (read, dissect with the two columns and no protocol tree, read the
// Protocol and Info texts), written straight against the engine with no
// library in between. The practical limit for the library's sequential path.
#include <cstdio>
#include <cstring>

#include <epan/column.h>
#include <epan/column-info.h>
#include <epan/epan.h>
#include <epan/epan_dissect.h>
#include <epan/prefs.h>
#include <epan/prefs-int.h>
#include <epan/tvbuff.h>
#include <epan/uat-int.h>
#include <wiretap/wtap.h>
#include <wsutil/privileges.h>
#include <wsutil/report_message.h>
#include <wsutil/wslog.h>

struct packet_provider_data {
    nstime_t reference_ts;
    guint32 reference_num;
    nstime_t previous_ts;
    guint32 previous_num;
};

static const nstime_t *frame_ts(packet_provider_data *p, guint32 n)
{
    if (n && n == p->reference_num)
        return &p->reference_ts;
    if (n && n == p->previous_num)
        return &p->previous_ts;
    return nullptr;
}

static void ignore_failure(const char *, va_list) {}
static void ignore_open(const char *, int, gboolean) {}
static void ignore_read(const char *, int) {}
static void ignore_write(const char *, int) {}
static void ignore_cfile_open(const char *, int, gchar *) {}
static void ignore_cfile_dump_open(const char *, int, gchar *, int) {}
static void ignore_cfile_read(const char *, int, gchar *) {}
static void ignore_cfile_write(const char *, const char *, int, gchar *, guint32, int) {}
static void ignore_cfile_close(const char *, int, gchar *) {}

static void post_update(void *table, void *)
{
    auto *uat = static_cast<epan_uat *>(table);
    if (!uat->loaded && uat->post_update_cb)
        uat->post_update_cb();
    uat->loaded = TRUE;
}

static void switch_off(const char *module_name, const char *name)
{
    module_t *module = prefs_find_module(module_name);
    pref_t *pref = module ? prefs_find_preference(module, name) : nullptr;
    if (pref) {
        prefs_set_bool_value(pref, FALSE, pref_current);
        prefs_apply(module);
    }
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: bare_engine FILE\n");
        return 2;
    }
    static const report_message_routines routines = {
        ignore_failure, ignore_failure, ignore_open, ignore_read, ignore_write,
        ignore_cfile_open, ignore_cfile_dump_open, ignore_cfile_read, ignore_cfile_write, ignore_cfile_close};
    ws_log_set_level(LOG_LEVEL_ERROR);
    init_process_policies();
    init_report_message("bare_engine", &routines);
    wtap_init(FALSE);
    if (!epan_init(nullptr, nullptr, FALSE))
        return 1;
    uat_foreach_table(post_update, nullptr);
    // The library's list (lib/engine/preference_overrides.txt).
    const char *prefs[][2] = {
#include "preference_overrides.h"
    };
    for (auto &p : prefs)
        switch_off(p[0], p[1]);

    column_info columns;
    col_setup(&columns, 2);
    memset(columns.columns, 0, sizeof(col_item_t) * 2);
    columns.columns[0].col_fmt = COL_PROTOCOL;
    columns.columns[0].col_title = g_strdup("Protocol");
    columns.columns[1].col_fmt = COL_INFO;
    columns.columns[1].col_title = g_strdup("Info");
    col_finalize(&columns);

    int err;
    gchar *err_info = nullptr;
    wtap *wth = wtap_open_offline(argv[1], WTAP_TYPE_AUTO, &err, &err_info, TRUE);
    if (!wth)
        return 1;
    packet_provider_data provider{};
    static const packet_provider_funcs funcs = {frame_ts, nullptr, nullptr, nullptr};
    epan_t *session = epan_new(&provider, &funcs);
    // No protocol tree: nothing reads one (as in the library when no field
    // is registered for reading and no stream is followed).
    epan_dissect_t *edt = epan_dissect_new(session, FALSE, FALSE);

    wtap_rec rec;
    Buffer buf;
    wtap_rec_init(&rec);
    ws_buffer_init(&buf, 2048);
    frame_data fd, reference, previous;
    bool have_reference = false, have_previous = false;
    guint32 cum_bytes = 0, number = 0;
    gint64 offset;
    unsigned long packets = 0, text_bytes = 0;
    while (wtap_read(wth, &rec, &buf, &err, &err_info, &offset)) {
        frame_data_init(&fd, ++number, &rec, offset, cum_bytes);
        nstime_t elapsed = NSTIME_INIT_ZERO;
        const frame_data *ref = have_reference ? &reference : nullptr;
        frame_data_set_before_dissect(&fd, &elapsed, &ref, have_previous ? &previous : nullptr);
        guint32 reported = fd.pkt_len > fd.cap_len ? fd.pkt_len : fd.cap_len;
        tvbuff_t *tvb = tvb_new_real_data(ws_buffer_start_ptr(&buf), fd.cap_len, static_cast<gint>(reported));
        epan_dissect_run_with_taps(edt, wtap_file_type_subtype(wth), &rec, tvb, &fd, &columns);
        frame_data_set_after_dissect(&fd, &cum_bytes);
        epan_dissect_fill_in_columns(edt, FALSE, TRUE);
        text_bytes += strlen(get_column_text(&columns, 0)) + strlen(get_column_text(&columns, 1));
        ++packets;
        if (!have_reference) {
            reference = fd;
            reference.pfd = nullptr;
            provider.reference_num = fd.num;
            provider.reference_ts = fd.abs_ts;
            have_reference = true;
        }
        previous = fd;
        previous.pfd = nullptr;
        provider.previous_num = fd.num;
        provider.previous_ts = fd.abs_ts;
        have_previous = true;
        epan_dissect_reset(edt);
        frame_data_destroy(&fd);
        wtap_rec_reset(&rec);
    }
    printf("%lu packets, %lu text bytes\n", packets, text_bytes);
    epan_dissect_free(edt);
    epan_free(session);
    wtap_close(wth);
    epan_cleanup();
    return 0;
}
