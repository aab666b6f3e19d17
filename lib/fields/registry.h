// The registry of fields the host is interested in (private to lib/fields):
// names filed under group names, joined into one display filter that is
// primed into every dissection so the engine keeps exactly those fields'
// records.
#pragma once

#include <cstdint>
#include <map>
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
    std::vector<std::string> names;  // registration order, duplicates kept
    std::vector<int32_t> ids;        // ids of the names, as of the last compilation
};

struct registry_state_record {
    std::string filter_text;  // every registered name, joined by " or "
    std::map<std::string, field_filter_entry, std::less<>> fields;
    std::map<std::string, field_group, std::less<>> groups;
    dfilter_t *compiled;      // null until compiled
    bool compiled_since_last_registration;
    bool srcport_lookup_done;
};
extern registry_state_record registry_state;

// Empties the registry (start-up).
void registry_reset();
// Frees the compiled filter (shutdown).
void registry_release();

// Files field_name under group_name (the work of gRegisterProtocolFieldFilter
// once its checks passed); the next compilation includes it.
void register_field(const char *field_name, const char *group_name);

// Compiles the registry when it has not been compiled since the last
// registration. False with the message written on failure.
bool ensure_field_filter_compiled();

// True when id is the engine id of a registered name as of the current
// compilation.
bool registry_has_field_id(int32_t id);

// Group ids of the current compilation, or null when the group is unknown.
const std::vector<int32_t> *group_field_ids(const char *group_name);
