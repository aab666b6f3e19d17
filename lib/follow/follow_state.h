/* SPDX-License-Identifier: GPL-2.0-or-later */
// The follow module's state record (private to lib/follow): the followed TCP
// or UDP conversation, its description texts and the stream text handed out.
#pragma once

#include <climits>
#include <cstdint>
#include <cstdio>

#include <glib.h>

#include "follow/follow_internal.h"
#include "follow/render.h"

enum tcp_follow_phase {
    tcp_idle,        // nothing followed
    tcp_collecting,  // listener registered, temporary file open for writing
    tcp_collected,   // file complete; open for reading while a pass is under way
};

// The UDP follow in progress (follow_udp.cpp).
struct udp_follow;

struct follow_state_record {
    // The three description texts (g_malloc'd, null when absent).
    char *client_description;
    char *server_description;
    char *conversation_description;

    tcp_follow_phase tcp_phase;
    // Name the temporary file was created under (empty while none exists;
    // the name is gone from the folder right away and serves the messages)
    // and the stream open on it, for writing while collecting and then for
    // reading; a reading pass is open from its first chunk to the end of the
    // file.
    char temp_path[PATH_MAX];
    FILE *stream_file;
    bool reading_pass_open;
    // Only the packets gAddPacketToTCPStream adds are collected: the engine's
    // follower takes the first segment it sees for the client's and decides
    // by sequence numbers what is new, so a tree built, a packet saved or a
    // packet read in sequence meanwhile would swap the directions or make it
    // drop payload as already seen. The follower takes only the dissection of
    // an add call (series_tcp_follow_takes), and adds must come in capture
    // order (rising frame numbers).
    bool tcp_any_added;
    uint32_t tcp_last_added_frame;
    // Collection bookkeeping: chunks written, the first write failure, and
    // the statistics the descriptions are built from.
    uint64_t chunks_written;
    int write_error;  // errno of the first failed write, 0 while none
    follow_statistics tcp_statistics;
    // Reading: the IPv6 flag of the collected stream (its client is
    // tcp_statistics.endpoint[0]).
    bool stream_ipv6;

    udp_follow *udp;          // null while no UDP conversation is followed
    gchar *udp_filter;        // its display filter until the stream is checked
    GList *udp_read_cursor;   // element shown last; null: start at the head

    // The text the stream-line calls hand out (render.h).
    stream_text_buffer stream_text;
    // Running per-direction counters: the hex dump prints them as line
    // offsets and the C array numbers its arrays from them. Only the
    // stream-line calls reset them.
    uint32_t client_offset, server_offset;
};
extern follow_state_record follow_state;
