/* SPDX-License-Identifier: GPL-2.0-or-later */
// The 4.0 tap listeners' state that the dissection step touches (taps.cpp).
#pragma once

// A dissection starts: the records the TCP follower held back from the one
// before no longer stand.
void forget_held_tcp_records();
