// Saving chosen packets of the open capture into a new libpcap file, and the
// TCP sequence tracker that can leave packets of one conversation out.
#pragma once

#include <cstdint>

#include <epan/address.h>
#include <epan/packet_info.h>
#include <wiretap/wtap.h>

// 1 when the segment of the tracked conversation carries only sequence
// space (payload, SYN, FIN) that its direction already wrote: a
// retransmission or a duplicate, to be left out. 0 for everything else,
// which is then written and recorded: first segments, in-order segments,
// segments after a gap, segments that fill a gap, partial overlaps with new
// bytes, segments without payload, other conversations, non-IP addresses.
// When a direction has more separate ranges than it can hold, the lowest is
// forgotten: a later repeat of those bytes is written again, nothing is lost.
int tcp_sequence_tracker(const address *source, const address *destination, uint32_t sequence,
                         uint32_t segment_length, uint32_t syn, uint32_t fin, uint32_t source_port,
                         uint32_t destination_port);

// Forgets the tracked conversation and frees both slots.
void reset_sequence_tracker();

// Completes a save file still open when the engine shuts down (nothing could
// close it afterwards). False with the message written when closing failed.
bool save_shutdown();
