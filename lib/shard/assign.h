/* SPDX-License-Identifier: GPL-2.0-or-later */
// Which share of a capture each record read in sequence falls in. Every
// process that reads the capture together with others reads every record in
// the same order and so computes the same answer, without talking to the
// others.
#pragma once

#include <cstdint>

enum class shard_mode {
    // A hash of the record's key decides (shard/key.h): nothing is kept
    // between records.
    address_pair,
    endpoint_pair,
    // A conversation seen for the first time goes to the share that has
    // dissected the fewest packets so far and keeps it: the first
    // conversation of a pair of hosts (its address pair) decides the pair's
    // share, where its packets without ports and its later connections go,
    // unless the pair carries more than an even share of the packets so far:
    // then each new connection (transport endpoints) goes to the share with
    // the fewest packets. Pairs that carry a control protocol the engine
    // follows into further connections (FTP, TFTP, SIP, RTSP, H.323, MGCP,
    // Skinny, PPTP, DCE/RPC's and Sun RPC's port mappers, Oracle TNS) are
    // never parted; the fragments of one datagram stay together.
    balanced,
};

// The most shares the balanced mode takes.
constexpr int32_t shard_balanced_most = 4096;

// A capture's reading begins: this process takes share `index` of `count`
// (count above 1). What the earlier capture left is forgotten; the memory
// is kept for the next one, up to a bound.
void shard_begin(int32_t index, int32_t count, shard_mode mode);

// The share of the next record read in sequence (numbered one more than the
// records before it): `encapsulation` is wiretap's link-layer code, `bytes`
// its `length` captured bytes; a record that is no packet has null bytes.
// Records without a network header go to share 0.
int32_t shard_assign(int encapsulation, const uint8_t *bytes, uint32_t length);

// Whether frame `number` fell in this process's share: 1 yes, 0 no, -1 not
// read in sequence since shard_begin.
int shard_frame_is_mine(uint32_t number);

// How many records each share has got since shard_begin; `*count` is the
// number of shares (0 when the shares are not counted).
const uint64_t *shard_packets(int32_t *count);
