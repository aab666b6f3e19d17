/* SPDX-License-Identifier: GPL-2.0-or-later */
// The registry of fields the host is interested in (private to lib/fields):
// names filed under group names, joined into one display filter that is
// primed into every dissection so the engine keeps exactly those fields'
// records.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <epan/dfilter/dfilter.h>
#include <epan/proto.h>

struct field_filter_entry {
    int32_t field_id = -1;     // the engine id handed to the host
    int32_t field_type = 0;    // interface type code
    bool resolved = false;
};

struct field_group {
    std::vector<std::string> names;  // registration order, each name once
    std::set<std::string, std::less<>> filed;  // the same names, for lookups
    std::vector<int32_t> ids;        // ids of the names, as of the last compilation
};

using field_table_map = std::map<std::string, field_filter_entry, std::less<>>;
using field_group_map = std::map<std::string, field_group, std::less<>>;

struct registry_state_record {
    // The display filter of every registered name (each once, joined by
    // "or"), as the last compilation built it.
    std::string filter_text;
    field_table_map fields;
    field_group_map groups;
    dfilter_t *compiled;      // null until compiled
    bool compiled_since_last_registration;
    bool srcport_lookup_done;
};
extern registry_state_record registry_state;

// Empties the registry (start-up).
void registry_reset();
// Frees the compiled filter (shutdown).
void registry_release();

// The most different names the registry takes. The combined filter holds
// each name once, so its compilation grows with this number (0.7 s and
// about 70 MB for 65,536 names), not with the registrations.
constexpr size_t registered_name_limit = 65536;

// Files field_name under group_name (the work of gRegisterProtocolFieldFilter
// once its checks passed); the next compilation includes it. A name already
// filed under that group changes nothing. False with the message written
// when the name is new and the registry is full.
bool register_field(const char *field_name, const char *group_name);

// Compiles the registry when it has not been compiled since the last
// registration. False with the message written on failure.
bool ensure_field_filter_compiled();

// True when id is the engine id of a registered name as of the current
// compilation.
bool registry_has_field_id(int32_t id);

// Group ids of the current compilation, or null when the group is unknown.
const std::vector<int32_t> *group_field_ids(const char *group_name);
