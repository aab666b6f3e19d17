/* SPDX-License-Identifier: GPL-2.0-or-later */
// The 4.0 engine's name-resolution maps, given back between sessions
// (name_maps.cpp).
#pragma once

// Frees the maps the previous session's epan_new built, which the next
// epan_new replaces without freeing. Only right before epan_new, with no
// session alive.
void release_name_maps();
