// The TCP tap listener hands each TCP packet to capture saving when saving
// has armed its sequence tracker.
#pragma once

#include <epan/packet_info.h>
#include <epan/dissectors/packet-tcp.h>

extern void (*tcp_tap_hook_fn)(packet_info *, const tcp_info_t *);
void tcp_tap_hook(packet_info *pinfo, const tcp_info_t *tcp);
