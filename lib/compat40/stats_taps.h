/* SPDX-License-Identifier: GPL-2.0-or-later */
// What the 4.0 frame steps hand the statistics (stats_taps.cpp).
#pragma once

#include <wsutil/nstime.h>

// Every frame begun, read in sequence or again at random, with its time
// since the capture's first frame (zero when earlier): the capture's elapsed
// time is the greatest of them (a frame re-read at random was begun in
// sequence before, or will be, so the greatest is the same).
void track_elapsed(const nstime_t &relative);
