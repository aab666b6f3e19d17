// The TCP tap listener hands each TCP packet to capture saving when saving
// has armed its sequence tracker.
#pragma once

#include <epan/packet_info.h>

#include "compat/engine_series.h"

using tcp_tap_hook = void (*)(packet_info *, const series_tcp_segment &);

// Installs hook (null: none) and returns the one installed before.
tcp_tap_hook replace_tcp_tap_hook(tcp_tap_hook hook);
