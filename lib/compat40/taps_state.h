/* SPDX-License-Identifier: GPL-2.0-or-later */
// The state record of the 4.0 tap listeners and followers (private to
// lib/compat40, taps.cpp).
#pragma once

#include <epan/epan_dissect.h>
#include <epan/follow.h>
#include <epan/tap.h>

#include "compat/engine_series.h"
#include "compat40/taps.h"

// A record of the followed conversation held back (taps_state_record.held).
struct held_tcp_record {
    packet_info *pinfo;
    const void *data;
    tap_flags_t flags;
};
constexpr int held_capacity = 4;

struct taps_state_record {
    // The engine's record of the followed conversation, the listener's data
    // while following. Its payload list is emptied after every delivery.
    follow_info_t *tcp_follow_info;
    tap_packet_cb engine_tcp_follow_handler;
    bool tcp_follow_taking;  // series_tcp_follow_takes
    guint followed_tcp_stream;
    series_follow_sink tcp_sink;
    // The first segment the follower took was a SYN without ACK.
    bool tcp_opened_by_client;
    // Records of the followed conversation that the last dissection
    // (held_dissection, of frame held_frame) made while the follower did not
    // take packets handed over (gGetNextPacket's, when a host follows in one
    // pass): the pointers stay valid while that dissection does, and adding
    // the same packet right after takes them instead of dissecting it again.
    // Every dissection starts by forgetting them (series_dissect).
    held_tcp_record held[held_capacity];
    int held_count;
    bool held_overflow;
    epan_dissect_t *held_dissection;
    guint32 held_frame;
    // Where the "udp_follow" listener hands the datagrams' payloads.
    series_datagram_sink udp_sink;
};
extern taps_state_record taps_state;
