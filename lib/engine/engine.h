/* SPDX-License-Identifier: GPL-2.0-or-later */
// Starting and stopping the engine itself, and its preferences.
#pragma once

// Starts the engine (once per process): dissectors, plugins, relative time
// stamps. False with the message written; any failure the engine reports
// while it starts fails the start.
bool engine_start();
// Switches off the preferences of lib/engine/preference_overrides.txt.
void apply_preference_overrides();
// Sets one preference, tshark's -o syntax; false with the message written.
bool set_engine_preference(const char *assignment);
// Shuts the engine down; whatever points into its tables must be gone.
void engine_stop();
