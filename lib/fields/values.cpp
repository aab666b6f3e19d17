// SPDX-License-Identifier: GPL-2.0-or-later
// The values of matched fields and of protocol tree items: unsigned 64-bit,
// signed 32-bit, or text.
#include "fields/matched.h"
#include "fields/values.h"

#include <cstring>

#include <epan/wmem_scopes.h>
#include <wsutil/inet_addr.h>

#include "wsbridge.h"
#include "engine/state.h"
#include "compat/engine_series.h"
#include "engine/guarded_call.h"
#include "dissection/dissection.h"
#include "tree/tree.h"

values_state_record values_state;

namespace {

struct getter_texts {
    const char *by_id_operation;
    const char *by_node_operation;
    const char *type_message;  // takes the field id
    const char *invalid_node;
    const char *invalid_field_info;
};

const getter_texts uint64_texts = {
    "Get UInt64 Protocol Field Value",
    "Get UInt64 Protocol Field Value By Tree Node",
    "Protocol field ID \"%i\" type is not an expected one (just uint8 or uint16 or uint32 or uint64 or int64 or "
    "boolean are accepted).\n",
    "Invalid node passed when trying to retrieve protocol field value",
    "Invalid field info when trying to retrieve protocol field value",
};

const getter_texts int32_texts = {
    "Get Int32 Protocol Field Value",
    "Get Int32 Protocol Field Value By Tree Node",
    "Protocol field ID \"%i\" type is not an expected one (just int8 or int16 or int32 are accepted).\n",
    "Invalid node passed when trying to retrieve protocol Int32 field value",
    "Invalid field info when trying to retrieve protocol Int32 field value",
};

const getter_texts string_texts = {
    "Get String Protocol Field Value",
    "Get String Protocol Field Value By Tree Node",
    "Protocol field ID \"%i\" type is not an expected one (just strings or IPs or Protocols are accepted).\n",
    "Invalid node passed when trying to retrieve protocol string field value",
    "Invalid field info when trying to retrieve protocol string field value",
};

const getter_texts value_text_texts = {
    "Get Field Value Text",
    "Get Field Value Text By Tree Node",
    nullptr,  // every type has a text
    "Invalid node passed when trying to retrieve protocol field value text",
    "Invalid field info when trying to retrieve protocol field value text",
};

// The record of a matched field; null with the message written otherwise.
const field_info *record_by_id(int32_t field_id, const getter_texts &texts)
{
    return require_current_dissection(texts.by_id_operation) ? matched_or_fail(field_id) : nullptr;
}

// The record behind a TreeNode handle. Only handles of the tree built from
// the current dissection are accepted; any other pointer is refused without
// being read.
const field_info *record_by_node(const void *node, const getter_texts &texts)
{
    if (!node || !tree_node_handle_is_current(node)) {
        set_error_text(WSB_E_STALE, texts.invalid_node);
        return nullptr;
    }
    const field_info *record = tree_node_field_info(node);
    if (!record || !record->hfinfo) {
        set_error_text(WSB_E_STALE, texts.invalid_field_info);
        return nullptr;
    }
    return record;
}

bool missing_output(bool missing, const char *operation)
{
    if (missing)
        set_error_format(WSB_E_BAD_ARGUMENT, "\"%s\" operation failed. No address was given for the value.", operation);
    return missing;
}

int32_t engine_status(int32_t status)
{
    if (status == WSB_OUT_OF_MEMORY) {
        set_error_text(WSB_E_OUT_OF_MEMORY, "Reading the field value failed: the engine ran out of memory.");
        return WSB_FAILED;
    }
    return status == WSB_OK ? WSB_OK : WSB_FAILED;
}

bool is_uint64_type(int32_t code)
{
    return code == WSB_FT_BOOLEAN || code == WSB_FT_UINT8 || code == WSB_FT_UINT16 || code == WSB_FT_UINT32 ||
           code == WSB_FT_UINT64 || code == WSB_FT_INT64;
}

bool is_int32_type(int32_t code)
{
    return code == WSB_FT_INT8 || code == WSB_FT_INT16 || code == WSB_FT_INT32;
}

// A number value: refused unless the field's type is one `accepts` takes,
// then read inside the engine's exception frame.
template <typename T>
int32_t read_number(const field_info *record, int32_t field_id, T *value, bool (*accepts)(int32_t),
                    const getter_texts &texts, T (*read)(const field_info *))
{
    if (!accepts(series_field_type_code(series_value_engine_type(record)))) {
        set_error_format(WSB_E_UNSUPPORTED, texts.type_message, field_id);
        return WSB_FAILED;
    }
    T result = 0;
    int32_t status = run_in_engine_frame([&] { result = read(record); }, "Reading the field value");
    if (engine_status(status) != WSB_OK)
        return WSB_FAILED;
    *value = result;
    return WSB_OK;
}

int32_t read_uint64(const field_info *record, int32_t field_id, uint64_t *value)
{
    return read_number(record, field_id, value, is_uint64_type, uint64_texts, series_value_uint64);
}

int32_t read_int32(const field_info *record, int32_t field_id, int32_t *value)
{
    return read_number(record, field_id, value, is_int32_type, int32_texts, series_value_int32);
}

// Copies text into a kept buffer that grows only for longer texts.
void store_text(const char *text, char *&buffer, size_t &capacity, int32_t &size)
{
    size_t needed = strlen(text) + 1;
    if (needed > capacity) {
        g_free(buffer);
        buffer = static_cast<char *>(g_malloc(needed));
        capacity = needed;
    }
    memcpy(buffer, text, needed);
    size = static_cast<int32_t>(needed);
}

void store_string_value(const char *text)
{
    store_text(text, values_state.string_text, values_state.string_capacity, values_state.string_size);
}

// Any field's value as `tshark -T fields` prints it.
int32_t read_value_text(const field_info *record, int32_t field_id, const char **text, int32_t *size)
{
    char *composed = nullptr;
    epan_dissect_t *edt = current_dissection();
    int32_t status = run_in_engine_frame([&] { composed = series_field_text(record, edt); },
                                         "Reading the field value");
    if (engine_status(status) != 0) {
        g_free(composed);
        return 1;
    }
    if (!composed) {
        set_error_format(WSB_E_UNSUPPORTED, "Protocol field ID \"%i\" has a value that the engine cannot show as text.\n", field_id);
        return 1;
    }
    store_text(composed, values_state.value_text, values_state.value_text_capacity, values_state.value_text_size);
    g_free(composed);
    *text = values_state.value_text;
    *size = values_state.value_text_size;
    return 0;
}

int32_t read_text(const field_info *record, int32_t field_id, const char **text, int32_t *size)
{
    int32_t code = series_field_type_code(series_value_engine_type(record));
    if (code != WSB_FT_PROTOCOL && code != WSB_FT_STRING && code != WSB_FT_IPv4 && code != WSB_FT_IPv6) {
        // The text handed out before stays as it is.
        set_error_format(WSB_E_UNSUPPORTED, string_texts.type_message, field_id);
        return WSB_FAILED;
    }
    char *representation = nullptr;
    char address[WS_INET6_ADDRSTRLEN] = "";
    int32_t status = run_in_engine_frame(
        [&] {
            if (code == WSB_FT_IPv4 || code == WSB_FT_IPv6)
                series_value_address_text(record, code == WSB_FT_IPv6, address, sizeof address);
            else
                representation = series_value_text(record, code == WSB_FT_PROTOCOL);
        },
        "Reading the field value");
    if (engine_status(status) != WSB_OK) {
        wmem_free(nullptr, representation);
        return WSB_FAILED;
    }
    const char *composed = (code == WSB_FT_IPv4 || code == WSB_FT_IPv6) ? address : representation;
    if (!composed || !composed[0]) {
        // An empty string is a value like any other; an address always has
        // a text, and the engine gives none for some values.
        if (!composed || code == WSB_FT_IPv4 || code == WSB_FT_IPv6) {
            set_error_format(WSB_E_UNSUPPORTED, "Protocol field ID \"%i\" has a value that the engine cannot show as text.\n", field_id);
            wmem_free(nullptr, representation);
            return WSB_FAILED;
        }
    }
    store_string_value(composed);
    wmem_free(nullptr, representation);
    *text = values_state.string_text;
    *size = values_state.string_size;
    return WSB_OK;
}

}  // namespace

void values_release()
{
    g_free(values_state.string_text);
    values_state.string_text = nullptr;
    values_state.string_capacity = 0;
    values_state.string_size = 0;
    g_free(values_state.value_text);
    values_state.value_text = nullptr;
    values_state.value_text_capacity = 0;
    values_state.value_text_size = 0;
}

namespace {

// The steps of every getter: the outputs, the record (a matched field by its
// id, or the item behind a tree node handle), then the read.
template <typename Read>
int32_t get_by_id(bool outputs_missing, int32_t field_id, const getter_texts &texts, Read read)
{
    if (missing_output(outputs_missing, texts.by_id_operation))
        return WSB_FAILED;
    const field_info *record = record_by_id(field_id, texts);
    return record ? read(record, field_id) : WSB_FAILED;
}

template <typename Read>
int32_t get_by_node(bool outputs_missing, const void *node, const getter_texts &texts, Read read)
{
    if (missing_output(outputs_missing, texts.by_node_operation))
        return WSB_FAILED;
    const field_info *record = record_by_node(node, texts);
    return record ? read(record, record->hfinfo->id) : WSB_FAILED;
}

}  // namespace

int32_t gGetUInt64ProtocolFieldValue(uint64_t *value, int32_t field_id)
{
    return get_by_id(!value, field_id, uint64_texts,
                     [&](const field_info *record, int32_t id) { return read_uint64(record, id, value); });
}

int32_t gGetUInt64ProtocolFieldValueByTreeNode(const void *node, uint64_t *value)
{
    return get_by_node(!value, node, uint64_texts,
                     [&](const field_info *record, int32_t id) { return read_uint64(record, id, value); });
}

int32_t gGetInt32ProtocolFieldValue(int32_t *value, int32_t field_id)
{
    return get_by_id(!value, field_id, int32_texts,
                     [&](const field_info *record, int32_t id) { return read_int32(record, id, value); });
}

int32_t gGetInt32ProtocolFieldValueByTreeNode(const void *node, int32_t *value)
{
    return get_by_node(!value, node, int32_texts,
                     [&](const field_info *record, int32_t id) { return read_int32(record, id, value); });
}

int32_t gGetStringProtocolFieldValue(const char **value, int32_t *size, int32_t field_id)
{
    return get_by_id(!value || !size, field_id, string_texts,
                     [&](const field_info *record, int32_t id) { return read_text(record, id, value, size); });
}

int32_t gGetStringProtocolFieldValueByTreeNode(const void *node, const char **value, int32_t *size)
{
    return get_by_node(!value || !size, node, string_texts,
                     [&](const field_info *record, int32_t id) { return read_text(record, id, value, size); });
}

int32_t gGetFieldValueText(const char **text, int32_t *size, int32_t field_id)
{
    return get_by_id(!text || !size, field_id, value_text_texts,
                     [&](const field_info *record, int32_t id) { return read_value_text(record, id, text, size); });
}

int32_t gGetFieldValueTextByTreeNode(const void *node, const char **text, int32_t *size)
{
    return get_by_node(!text || !size, node, value_text_texts,
                     [&](const field_info *record, int32_t id) { return read_value_text(record, id, text, size); });
}
