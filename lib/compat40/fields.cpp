// SPDX-License-Identifier: GPL-2.0-or-later
// The 4.0 engine's display filter compilation, field values and labels.
#include "compat/engine_series.h"

#include <cstring>

#include <epan/ftypes/ftypes.h>
#include <epan/print.h>
#include <epan/proto.h>
#include <wsutil/inet_addr.h>
#include <wsutil/to_str.h>

#include "wsbridge.h"

static_assert(ITEM_LABEL_LENGTH == series_label_length, "engine label length");
static_assert(sizeof(TreeNode::label) == series_label_length, "TreeNode label length");

namespace {

// The engine's getters take a non-const value although they only read it;
// 4.0 embeds the value in the field record.
fvalue_t *value_of(const field_info *record)
{
    return const_cast<fvalue_t *>(&record->value);
}

}  // namespace

bool series_compile_filter(const char *text, dfilter_t **filter, char **error, bool keep_field_names)
{
    // The macro expansion ends the name after each "${" with a NUL while it
    // looks the name up, then puts the character back: a host's text in
    // read-only memory would crash it, and a text it shares with another
    // thread would change under that thread.
    gchar *copy = g_strdup(text);
    const bool compiled = dfilter_compile_real(copy, filter, error, nullptr, __func__, keep_field_names, TRUE);
    g_free(copy);
    return compiled;
}

// 4.0 keeps no public list of a filter's fields; the syntax tree kept at
// compilation names each field reference as "FIELD(name <type>)".
std::vector<std::string> series_filter_field_names(const dfilter_t *filter)
{
    std::vector<std::string> names;
    const char *tree = dfilter_syntax_tree(const_cast<dfilter_t *>(filter));
    if (!tree)
        return names;
    static const char marker[] = "FIELD(";
    for (const char *at = strstr(tree, marker); at; at = strstr(at, marker)) {
        at += sizeof marker - 1;
        size_t length = strcspn(at, " )");
        names.emplace_back(at, length);
        at += length;
    }
    return names;
}

int series_value_engine_type(const field_info *record)
{
    return fvalue_type_ftenum(value_of(record));
}

uint64_t series_value_uint64(const field_info *record)
{
    fvalue_t *fv = value_of(record);
    switch (fvalue_type_ftenum(fv)) {
    case FT_CHAR:
    case FT_UINT8:
    case FT_UINT16:
    case FT_UINT32:
        return fvalue_get_uinteger(fv);
    case FT_BOOLEAN:  // kept as 64 bits by the 4.0 engine
    case FT_UINT40:
    case FT_UINT48:
    case FT_UINT56:
    case FT_UINT64:
        return fvalue_get_uinteger64(fv);
    default:  // FT_INT40 to FT_INT64: the signed value's 64 bits
        return static_cast<uint64_t>(fvalue_get_sinteger64(fv));
    }
}

int32_t series_value_int32(const field_info *record)
{
    return fvalue_get_sinteger(value_of(record));
}

void series_value_address_text(const field_info *record, bool ipv6, char *buffer, size_t size)
{
    fvalue_t *fv = value_of(record);
    if (!ipv6) {
        guint32 network_order = fvalue_get_uinteger(fv);
        ip_to_str_buf(reinterpret_cast<const guint8 *>(&network_order), buffer, static_cast<int>(size));
        return;
    }
    const guint8 *bytes = fvalue_get_bytes(fv);
    if (bytes)
        ip6_to_str_buf(reinterpret_cast<const ws_in6_addr *>(bytes), buffer, static_cast<int>(size));
}

char *series_value_text(const field_info *record, bool filter_form)
{
    return fvalue_to_string_repr(nullptr, value_of(record), filter_form ? FTREPR_DFILTER : FTREPR_DISPLAY,
                                 record->hfinfo->display);
}

char *series_field_text(const field_info *record, epan_dissect_t *edt)
{
    // tshark's own routine for -T fields; it only reads the record.
    return get_node_field_value(const_cast<field_info *>(record), edt);
}

namespace {

int64_t time_in_nanoseconds(const nstime_t *time)
{
    if (!time)
        return 0;
    int64_t nanoseconds = 0;
    if (__builtin_mul_overflow(static_cast<int64_t>(time->secs), int64_t{1000000000}, &nanoseconds) ||
        __builtin_add_overflow(nanoseconds, static_cast<int64_t>(time->nsecs), &nanoseconds))
        return time->secs < 0 ? INT64_MIN : INT64_MAX;
    return nanoseconds;
}

}  // namespace

series_number_kind series_value_number(const field_info *record, int64_t *signed_value, uint64_t *unsigned_value,
                                       double *floating)
{
    fvalue_t *fv = value_of(record);
    switch (fvalue_type_ftenum(fv)) {
    case FT_UINT8:
    case FT_UINT16:
    case FT_UINT24:
    case FT_UINT32:
    case FT_FRAMENUM:
        *unsigned_value = fvalue_get_uinteger(fv);
        return series_number_kind::unsigned_integer;
    case FT_UINT40:
    case FT_UINT48:
    case FT_UINT56:
    case FT_UINT64:
        *unsigned_value = fvalue_get_uinteger64(fv);
        return series_number_kind::unsigned_integer;
    case FT_INT8:
    case FT_INT16:
    case FT_INT24:
    case FT_INT32:
        *signed_value = fvalue_get_sinteger(fv);
        return series_number_kind::signed_integer;
    case FT_INT40:
    case FT_INT48:
    case FT_INT56:
    case FT_INT64:
        *signed_value = fvalue_get_sinteger64(fv);
        return series_number_kind::signed_integer;
    case FT_BOOLEAN:  // kept as 64 bits, the bits under the field's mask
        *unsigned_value = fvalue_get_uinteger64(fv) != 0;
        return series_number_kind::boolean;
    case FT_FLOAT:
    case FT_DOUBLE:
        *floating = fvalue_get_floating(fv);
        return series_number_kind::floating;
    case FT_ABSOLUTE_TIME:
        *signed_value = time_in_nanoseconds(fvalue_get_time(fv));
        return series_number_kind::absolute_time;
    case FT_RELATIVE_TIME:
        *signed_value = time_in_nanoseconds(fvalue_get_time(fv));
        return series_number_kind::relative_time;
    default:
        return series_number_kind::text;
    }
}

const char *series_item_label(const field_info *record, char *buffer)
{
    if (record->rep)
        return record->rep->representation;
    // The engine composes into a buffer of its own label length.
    buffer[0] = '\0';
    proto_item_fill_label(const_cast<field_info *>(record), buffer);
    buffer[series_label_length - 1] = '\0';
    return buffer;
}
