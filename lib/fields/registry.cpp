// SPDX-License-Identifier: GPL-2.0-or-later
// Field registration, compilation into one display filter, and id lookup.
#include "fields/registry.h"
#include "fields/fields.h"
#include "fields/matched.h"
#include "fields/values.h"

#include <cstring>
#include <iterator>

#include <epan/proto.h>

#include "wsbridge.h"
#include "engine/state.h"
#include "compat/engine_series.h"
#include "dissection/dissection.h"

registry_state_record registry_state;

namespace {

registry_state_record &r = registry_state;

// Appends count names from first joined by "or", as a balanced tree: the
// engine's compiler recurses once per level of the filter's syntax tree and
// coalesces each jump along a chain of "or"s, so a flat chain of n names costs
// it n levels of stack and n * n steps; a balanced one log2(n) and n log2(n).
// The recursion here is as deep as the tree.
void append_balanced(std::string &text, field_table_map::const_iterator first, size_t count)
{
    if (count == 1) {
        text += first->first;
        return;
    }
    const size_t left = count / 2;
    auto middle = std::next(first, static_cast<std::ptrdiff_t>(left));
    const bool left_group = left > 1, right_group = count - left > 1;
    text += left_group ? "(" : "";
    append_balanced(text, first, left);
    text += left_group ? ") or " : " or ";
    text += right_group ? "(" : "";
    append_balanced(text, middle, count - left);
    text += right_group ? ")" : "";
}

bool compile_field_filter()
{
    // Every registered name once, whatever its groups.
    r.filter_text.clear();
    if (!r.fields.empty())
        append_balanced(r.filter_text, r.fields.cbegin(), r.fields.size());
    dfilter_t *filter = nullptr;
    gchar *error = nullptr;
    if (!series_compile_filter(r.filter_text.c_str(), &filter, &error, true)) {
        set_error_format(WSB_E_FILTER, "Error compiling filter: %s.\n", error ? error : "unknown error");
        g_free(error);
        return false;
    }
    if (!filter) {
        set_error_text(WSB_E_ENGINE, "Error compiling filter: Filter object un-initialized");
        return false;
    }

    // Resolve every field the filter refers to; all of them must be
    // registered names (an expression registered as a name fails here).
    std::vector<std::pair<field_filter_entry *, header_field_info *>> resolved;
    for (const std::string &name : series_filter_field_names(filter)) {
        header_field_info *hfinfo = proto_registrar_get_byname(name.c_str());
        auto entry = r.fields.find(name);
        if (!hfinfo || entry == r.fields.end()) {
            set_error_format(WSB_E_UNKNOWN_FIELD, "Error processing compiled filter: \"%s\" protocol field was not registered.\n",
                             name.c_str());
            dfilter_free(filter);
            return false;
        }
        resolved.emplace_back(&entry->second, hfinfo);
    }
    for (auto &[entry, hfinfo] : resolved) {
        entry->field_id = hfinfo->id;
        entry->field_type = series_field_type_code(hfinfo->type);
        entry->resolved = true;
    }

    for (auto &[group_name, group] : r.groups) {
        group.ids.clear();
        for (const std::string &name : group.names) {
            auto entry = r.fields.find(name);
            if (entry != r.fields.end() && entry->second.resolved)
                group.ids.push_back(entry->second.field_id);
        }
    }

    if (r.compiled)
        dfilter_free(r.compiled);
    r.compiled = filter;
    set_primed_filter(primed_filter::field_registry, filter);
    r.compiled_since_last_registration = true;
    return true;
}

bool lookup_entry(const char *name, int32_t *id, int32_t *type)
{
    auto entry = r.fields.find(name);
    if (entry == r.fields.end() || !entry->second.resolved)
        return false;
    *id = entry->second.field_id;
    *type = entry->second.field_type;
    return true;
}

}  // namespace

void registry_reset()
{
    registry_release();
    r.filter_text.clear();
    r.fields.clear();
    r.groups.clear();
    r.compiled_since_last_registration = false;
    r.srcport_lookup_done = false;
}

void registry_release()
{
    set_primed_filter(primed_filter::field_registry, nullptr);
    if (r.compiled) {
        dfilter_free(r.compiled);
        r.compiled = nullptr;
    }
}

bool ensure_field_filter_compiled()
{
    if (r.compiled && r.compiled_since_last_registration)
        return true;
    return compile_field_filter();
}

bool registry_has_field_id(int32_t id)
{
    if (!r.compiled)
        return false;
    for (const auto &[name, entry] : r.fields)
        if (entry.resolved && entry.field_id == id)
            return true;
    return false;
}

const std::vector<int32_t> *group_field_ids(const char *group_name)
{
    auto group = r.groups.find(group_name);
    return group == r.groups.end() ? nullptr : &group->second.ids;
}

bool register_field(const char *field_name, const char *group_name)
{
    auto group = r.groups.find(group_name);
    const bool known = r.fields.find(field_name) != r.fields.end();
    if (known && group != r.groups.end() && group->second.filed.count(field_name) != 0)
        return true;
    if (!known && r.fields.size() >= registered_name_limit) {
        set_error_format(WSB_E_LIMIT, "\"Register protocol field filter\" operation failed. The registry holds %zu different "
                         "names, the most it takes: \"%s\" was not added.",
                         registered_name_limit, field_name);
        return false;
    }
    if (!known)
        r.fields.emplace(field_name, field_filter_entry{});
    if (group == r.groups.end())
        group = r.groups.emplace(group_name, field_group{}).first;
    group->second.names.emplace_back(field_name);
    group->second.filed.emplace(field_name);
    r.compiled_since_last_registration = false;
    return true;
}

int32_t gRegisterProtocolFieldFilter(const char *field_name, const char *group_name)
{
    argument_copy field_copy, group_copy;
    field_name = unaliased_argument(field_name, field_copy);
    group_name = unaliased_argument(group_name, group_copy);
    if (!require_engine("Register protocol field filter"))
        return WSB_FAILED;
    if (!field_name || !group_name) {
        set_error_text(WSB_E_BAD_ARGUMENT, "\"Register protocol field filter\" operation failed. The field name and the group name must be given.");
        return WSB_FAILED;
    }
    // A name the engine does not know would make every later compilation
    // fail, and registrations cannot be taken back: refuse it here, before
    // the registry changes.
    if (!proto_registrar_get_byname(field_name) && proto_get_id_by_filter_name(field_name) < 0) {
        set_error_format(WSB_E_UNKNOWN_FIELD, "\"Register protocol field filter\" operation failed. \"%s\" is neither a field nor a "
                         "protocol name the engine knows.",
                         field_name);
        return WSB_FAILED;
    }
    return register_field(field_name, group_name) ? WSB_OK : WSB_FAILED;
}

int32_t gGetProtocolFieldFilterInfo(const char *field_name, int32_t *field_id, int32_t *field_type)
{
    // Compiling may write a message before the name is looked up.
    argument_copy name_copy;
    field_name = unaliased_argument(field_name, name_copy);
    if (!require_engine("Get Protocol Field Filter Info"))
        return WSB_FAILED;
    if (!field_name || !field_id || !field_type) {
        set_error_text(WSB_E_BAD_ARGUMENT, "\"Get Protocol Field Filter Info\" operation failed. The field name and both outputs must be given.");
        return WSB_FAILED;
    }
    if (!ensure_field_filter_compiled())
        return WSB_FAILED;
    if (!r.srcport_lookup_done) {
        r.srcport_lookup_done = true;
        int32_t id, type;
        if (!lookup_entry("tcp.srcport", &id, &type)) {
            set_error_text(WSB_E_UNKNOWN_FIELD, "Error retrieving tcp.srcport filter info");
            return WSB_FAILED;
        }
        if (!lookup_entry("udp.srcport", &id, &type)) {
            set_error_text(WSB_E_UNKNOWN_FIELD, "Error retrieving udp.srcport filter info");
            return WSB_FAILED;
        }
    }
    int32_t id, type;
    if (!lookup_entry(field_name, &id, &type)) {
        set_error_format(WSB_E_UNKNOWN_FIELD, "Requested protocol field \"%s\" was not registered.\n", field_name);
        return WSB_FAILED;
    }
    *field_id = id;
    *field_type = type;
    return WSB_OK;
}

void fields_init()
{
    registry_reset();
}

void fields_register_payload_fields()
{
    register_field("ip.version", "IP");
    register_field("tcp.srcport", "TCP");
    register_field("udp.srcport", "UDP");
}

void fields_release()
{
    batch_forget_pending();
    values_release();
    matched_release();
    registry_release();
}
