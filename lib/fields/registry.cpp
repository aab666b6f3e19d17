// Field registration, compilation into one display filter, and id lookup.
#include "fields/registry.h"

#include <cstring>
#include <iterator>

#include <epan/proto.h>

#include "wsbridge.h"
#include "engine/state.h"
#include "compat/engine_series.h"
#include "fields/fields.h"

std::string combined_filter_text;
field_table_map field_table;
field_group_map protocol_field_lists;
dfilter_t *compiled_filter;

namespace {

bool compiled_since_last_registration;
bool srcport_lookup_done;

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
    combined_filter_text.clear();
    if (!field_table.empty())
        append_balanced(combined_filter_text, field_table.cbegin(), field_table.size());
    dfilter_t *filter = nullptr;
    gchar *error = nullptr;
    if (!series_compile_filter(combined_filter_text.c_str(), &filter, &error, true)) {
        set_error_format("Error compiling filter: %s.\n", error ? error : "unknown error");
        g_free(error);
        return false;
    }
    if (!filter) {
        set_error_text("Error compiling filter: Filter object un-initialized");
        return false;
    }

    // Resolve every field the filter refers to; all of them must be
    // registered names (an expression registered as a name fails here).
    std::vector<std::pair<field_filter_entry *, header_field_info *>> resolved;
    for (const std::string &name : series_filter_field_names(filter)) {
        header_field_info *hfinfo = proto_registrar_get_byname(name.c_str());
        auto entry = field_table.find(name);
        if (!hfinfo || entry == field_table.end()) {
            set_error_format("Error processing compiled filter: \"%s\" protocol field was not registered.\n",
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

    for (auto &[group_name, group] : protocol_field_lists) {
        group.ids.clear();
        for (const std::string &name : group.names) {
            auto entry = field_table.find(name);
            if (entry != field_table.end() && entry->second.resolved)
                group.ids.push_back(entry->second.field_id);
        }
    }

    if (compiled_filter)
        dfilter_free(compiled_filter);
    compiled_filter = filter;
    compiled_since_last_registration = true;
    return true;
}

bool lookup_entry(const char *name, int32_t *id, int32_t *type)
{
    auto entry = field_table.find(name);
    if (entry == field_table.end() || !entry->second.resolved)
        return false;
    *id = entry->second.field_id;
    *type = entry->second.field_type;
    return true;
}

}  // namespace

void create_field_registry()
{
    combined_filter_text.clear();
    field_table.clear();
    protocol_field_lists.clear();
    compiled_since_last_registration = false;
}

void release_field_state_at_cleanup()
{
    release_field_values();
    if (compiled_filter) {
        dfilter_free(compiled_filter);
        compiled_filter = nullptr;
    }
}

bool ensure_field_filter_compiled()
{
    if (compiled_filter && compiled_since_last_registration)
        return true;
    return compile_field_filter();
}

bool field_id_matches(int key_id, int id)
{
    if (key_id == id)
        return true;
    header_field_info *key = proto_registrar_get_nth(static_cast<guint>(key_id));
    header_field_info *other = proto_registrar_get_nth(static_cast<guint>(id));
    return key && other && strcmp(key->abbrev, other->abbrev) == 0;
}

header_field_info *first_registration_of_name(header_field_info *hfinfo)
{
    while (hfinfo && hfinfo->same_name_prev_id != -1)
        hfinfo = proto_registrar_get_nth(static_cast<guint>(hfinfo->same_name_prev_id));
    return hfinfo;
}

const std::vector<int32_t> *group_field_ids(const char *group_name)
{
    auto group = protocol_field_lists.find(group_name);
    return group == protocol_field_lists.end() ? nullptr : &group->second.ids;
}

bool register_field(const char *field_name, const char *group_name)
{
    auto group = protocol_field_lists.find(group_name);
    const bool known = field_table.find(field_name) != field_table.end();
    if (known && group != protocol_field_lists.end() && group->second.filed.count(field_name) != 0)
        return true;
    if (!known && field_table.size() >= registered_name_limit) {
        set_error_format("\"Register protocol field filter\" operation failed. The registry holds %zu different "
                         "names, the most it takes: \"%s\" was not added.",
                         registered_name_limit, field_name);
        return false;
    }
    if (!known)
        field_table.emplace(field_name, field_filter_entry{});
    if (group == protocol_field_lists.end())
        group = protocol_field_lists.emplace(group_name, field_group{}).first;
    group->second.names.emplace_back(field_name);
    group->second.filed.emplace(field_name);
    compiled_since_last_registration = false;
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
        set_error_text("\"Register protocol field filter\" operation failed. The field name and the group name must be given.");
        return WSB_FAILED;
    }
    // A name the engine does not know would make every later compilation
    // fail, and registrations cannot be taken back: refuse it here, before
    // the registry changes.
    if (!proto_registrar_get_byname(field_name) && proto_get_id_by_filter_name(field_name) < 0) {
        set_error_format("\"Register protocol field filter\" operation failed. \"%s\" is neither a field nor a "
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
        set_error_text("\"Get Protocol Field Filter Info\" operation failed. The field name and both outputs must be given.");
        return WSB_FAILED;
    }
    if (!ensure_field_filter_compiled())
        return WSB_FAILED;
    if (!srcport_lookup_done) {
        srcport_lookup_done = true;
        int32_t id, type;
        if (!lookup_entry("tcp.srcport", &id, &type)) {
            set_error_text("Error retrieving tcp.srcport filter info");
            return WSB_FAILED;
        }
        if (!lookup_entry("udp.srcport", &id, &type)) {
            set_error_text("Error retrieving udp.srcport filter info");
            return WSB_FAILED;
        }
    }
    int32_t id, type;
    if (!lookup_entry(field_name, &id, &type)) {
        set_error_format("Requested protocol field \"%s\" was not registered.\n", field_name);
        return WSB_FAILED;
    }
    *field_id = id;
    *field_type = type;
    return WSB_OK;
}
