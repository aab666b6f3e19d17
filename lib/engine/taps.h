// The TCP tap listener hands each TCP packet to capture saving when saving
// has armed its sequence tracker.
#pragma once

#include <epan/packet_info.h>
#include <epan/dissectors/packet-tcp.h>

using tcp_tap_hook = void (*)(packet_info *, const tcp_info_t *);

// Installs hook (null: none) and returns the one installed before.
tcp_tap_hook replace_tcp_tap_hook(tcp_tap_hook hook);
