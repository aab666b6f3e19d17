// SPDX-License-Identifier: GPL-2.0-or-later
// Starting and stopping the engine, the text of the engine's own reports, and
// the preferences the library sets.
#include "wsbridge.h"
#include "engine/engine.h"

#include <cstring>
#include <iterator>
#include <string>

#include <epan/epan.h>
#include <epan/prefs.h>
#include <epan/prefs-int.h>
#include <epan/timestamp.h>

#include "compat/engine_series.h"
#include "engine/state.h"

namespace {

// Set by every failure report; the start fails when one came during it.
bool startup_failed;

// Every report of the engine replaces the error text; a failure reported
// during start-up fails the start.
void on_engine_report(bool failure, const char *text)
{
    if (failure)
        startup_failed = true;
    set_error_text(WSB_E_ENGINE, text);
}

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

}  // namespace

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


bool engine_start()
{
    startup_failed = false;
    if (!series_start_engine(on_engine_report) || startup_failed) {
        if (!startup_failed)
            set_error_text(WSB_E_ENGINE, "Wireshark engine could not be started (it can be started only once per process).");
        return false;
    }
    timestamp_set_type(TS_RELATIVE);
    return true;
}

bool set_engine_preference(const char *assignment)
{
    std::string error;
    if (series_set_preference(assignment, error))
        return true;
    set_error_format(WSB_E_PREFERENCE, "\"Set Preference\" operation failed. %s.", error.c_str());
    return false;
}

void engine_stop()
{
    epan_cleanup();
}
