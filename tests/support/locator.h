/* SPDX-License-Identifier: GPL-2.0-or-later */
// A packet as a host keeps it to come back to it: the values of its summary
// that gGetPacketAtOffset, the follow calls and save requests take; and the
// save request made of it.
#pragma once

#include <cstdint>
#include <cstring>

#include "wsbridge.h"

namespace wsbtest {

struct locator {
    uint32_t frame_number;
    int64_t file_offset;
    int32_t captured_length;
    uint32_t packet_length;
    int32_t encapsulation;
    int64_t time_seconds;
    int32_t time_nanoseconds;
};

inline locator locator_of(const PacketSummary &s)
{
    return {s.frame_number,  s.file_offset,  static_cast<int32_t>(s.captured_length),
            s.packet_length, s.encapsulation, s.time_seconds, s.time_nanoseconds};
}

// The request that saves the packet, with the skip flag set when skip is.
inline SavePacketRequest request_of(const locator &l, bool skip = false)
{
    SavePacketRequest request;
    memset(&request, 0, sizeof request);
    request.frame_number = l.frame_number;
    request.packet_length = l.packet_length;
    request.captured_length = static_cast<uint32_t>(l.captured_length);
    request.file_offset = l.file_offset;
    request.time_seconds = l.time_seconds;
    request.time_nanoseconds = l.time_nanoseconds;
    request.encapsulation = l.encapsulation;
    request.skip_flag = skip ? 1 : 0;
    return request;
}

inline SavePacketRequest request_of(const PacketSummary &s, bool skip = false)
{
    return request_of(locator_of(s), skip);
}

}  // namespace wsbtest
