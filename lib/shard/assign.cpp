// SPDX-License-Identifier: GPL-2.0-or-later
#include "shard/assign.h"

#include <cstdlib>
#include <cstring>

#include "shard/key.h"

namespace {

// One conversation the balanced mode has seen in this capture: an address
// pair or a connection (transport endpoints), told apart by the tag mixed
// into its key. Entries of earlier captures (another
// generation) count as empty, so a new capture needs no clearing.
struct conversation {
    uint64_t key;         // never 0 in a live entry
    uint64_t packets;     // address pairs: the pair's packets so far
    int32_t share;
    uint32_t generation;
    uint32_t never_parted;  // address pairs: carries a control protocol (see shard_mode)
    uint32_t unused;
};

constexpr uint64_t tag_pair = 0x9e3779b97f4a7c15ull;
constexpr uint64_t tag_connection = 0xc2b2ae3d27d4eb4full;

// A fragmented datagram being reassembled: the share its fragments go to.
// A small table indexed by the datagram's key holds the datagrams of the
// last while (a datagram's fragments come close together); a slot is taken
// over by the next datagram that falls on it.
struct datagram {
    uint64_t key;
    uint64_t frame;       // the record that set it (counted from 1; 0: empty)
    int32_t share;
    uint32_t from_later;  // set by a fragment that came before the first
};
constexpr uint32_t datagram_slots = 4096;
// How long (in records) a share set by an early later fragment holds for
// the datagram's first fragment.
constexpr uint64_t datagram_patience = 65536;

constexpr uint32_t frames_per_block = 1u << 16;
constexpr uint32_t words_per_block = frames_per_block / 64;
// A table grown beyond this many entries (32 MiB) by one capture is given
// back when the next begins; smaller ones are kept.
constexpr uint32_t entries_kept = 1u << 20;
constexpr uint32_t entries_first = 1u << 12;

struct shard_state_record {
    int32_t index = 0;
    int32_t count = 1;
    shard_mode mode = shard_mode::address_pair;
    // Packets per share since the capture began (count entries when counted).
    uint64_t *packets = nullptr;
    int32_t packets_size = 0;  // entries allocated
    int32_t counted = 0;       // shares counted, 0 when too many
    uint64_t total = 0;        // packets assigned so far
    // The balanced mode's conversations: open addressing with linear probing
    // over a power-of-two table, at most half full.
    conversation *table = nullptr;
    uint32_t capacity = 0;
    uint32_t live = 0;
    uint32_t generation = 0;
    // One bit per frame read in sequence: in this process's share. Blocks of
    // 65,536 frames, kept from one capture to the next.
    uint64_t **blocks = nullptr;
    uint32_t block_count = 0;   // blocks allocated
    datagram datagrams[datagram_slots] = {};
    uint32_t recorded = 0;      // frames 1 to this have their bit (all, unless memory ran out)
} shard_state;

// Grows the table so that `more` entries can be added without another
// growth (entries found or added meanwhile stay where they are).
bool reserve(uint32_t more)
{
    shard_state_record &s = shard_state;
    if (s.capacity && (static_cast<uint64_t>(s.live) + more) * 2 <= s.capacity)
        return true;
    const uint32_t capacity = s.capacity ? s.capacity * 2 : entries_first;
    if (capacity <= s.capacity)
        return false;
    auto *table = static_cast<conversation *>(calloc(capacity, sizeof(conversation)));
    if (!table)
        return false;
    for (uint32_t i = 0; i < s.capacity; ++i) {
        const conversation &old = s.table[i];
        if (old.generation != s.generation || old.key == 0)
            continue;
        uint32_t slot = static_cast<uint32_t>(old.key) & (capacity - 1);
        while (table[slot].generation == s.generation && table[slot].key != 0)
            slot = (slot + 1) & (capacity - 1);
        table[slot] = old;
    }
    free(s.table);
    s.table = table;
    s.capacity = capacity;
    return true;
}

// The entry of `key`, added (share -1) when `add` and it is missing; null
// when missing and not added.
conversation *find(uint64_t key, bool add)
{
    shard_state_record &s = shard_state;
    if (key == 0)
        key = 1;
    if (!s.capacity)
        return nullptr;
    uint32_t slot = static_cast<uint32_t>(key) & (s.capacity - 1);
    for (;;) {
        conversation &c = s.table[slot];
        if (c.generation != s.generation || c.key == 0) {
            if (!add)
                return nullptr;
            c = conversation{key, 0, -1, s.generation, 0, 0};
            ++s.live;
            return &c;
        }
        if (c.key == key)
            return &c;
        slot = (slot + 1) & (s.capacity - 1);
    }
}

// The share that has got the fewest packets so far (the first of equals).
int32_t least_loaded()
{
    const shard_state_record &s = shard_state;
    int32_t best = 0;
    for (int32_t i = 1; i < s.counted; ++i)
        if (s.packets[i] < s.packets[best])
            best = i;
    return best;
}

// The entry of an address pair; a new pair goes to the least loaded share.
conversation *pair_entry(uint64_t pair)
{
    conversation *p = find(pair ^ tag_pair, true);
    if (p->share < 0)
        p->share = least_loaded();
    return p;
}

// Ports of control protocols that the engine follows into further
// connections of the same hosts (data connections, media, redirections).
bool control_port(uint16_t port)
{
    switch (port) {
    case 21:    // FTP
    case 69:    // TFTP
    case 111:   // Sun RPC port mapper
    case 135:   // DCE/RPC endpoint mapper
    case 554:   // RTSP
    case 1521:  // Oracle TNS
    case 1719:  // H.225 RAS
    case 1720:  // H.225 call signalling
    case 1723:  // PPTP
    case 2000:  // Skinny
    case 2427:  // MGCP
    case 2727:
    case 5060:  // SIP
    case 5061:
    case 8554:  // RTSP
    // Tunnels in UDP that the key does not read through: their inner
    // conversations are carried between the tunnel's ends.
    case 1701:  // L2TP
    case 2152:  // GTP-U
    case 3544:  // Teredo
    case 4754:  // GRE in UDP
    case 4790:  // VXLAN-GPE
    case 6635:  // MPLS in UDP
        return true;
    default:
        return false;
    }
}

// A connection to a control protocol's port: the lower port of the two (a
// client's port is seldom lower than its server's), or any port below 1024
// (a client's port seldom is).
bool control_connection(uint16_t a, uint16_t b)
{
    const uint16_t low = a < b ? a : b;
    return control_port(low) || (a < 1024 && control_port(a)) || (b < 1024 && control_port(b));
}

// A pair carries more than an even share of the packets read so far: its
// new connections are spread. (Three quarters of an even share parted more
// pairs for no better balance: 1.27 against 1.04 for the largest of four
// shares on the many copies of example2.pcap, whose pairs recur.)
bool heavy(const conversation &pair)
{
    const shard_state_record &s = shard_state;
    return pair.packets * static_cast<uint64_t>(s.count) > s.total;
}

// The slot of a datagram, emptied when another datagram held it.
datagram &datagram_slot(uint64_t key)
{
    datagram &d = shard_state.datagrams[(key ^ key >> 32) % datagram_slots];
    if (d.key != key)
        d = datagram{key, 0, 0, 0};
    return d;
}

int32_t balanced_share(const shard_headers &h)
{
    shard_state_record &s = shard_state;
    if (!h.keyed || !reserve(3))
        return 0;
    if (h.fragment == shard_headers::later_fragment) {
        // The share of its datagram's first fragment; before that one (out
        // of order), the share of the pair, which the first then follows.
        conversation *pair = pair_entry(h.fragment_pair);
        ++pair->packets;
        datagram &d = datagram_slot(h.datagram);
        if (d.frame == 0)
            d = datagram{h.datagram, s.total + 1, pair->share, 1};
        return d.share;
    }
    conversation *pair = pair_entry(h.pair);
    int32_t share = pair->share;
    if (h.has_ports) {
        if (control_connection(h.ports[0], h.ports[1]))
            pair->never_parted = 1;
        conversation *connection = find(h.endpoints ^ tag_connection, true);
        if (connection->share < 0)
            connection->share = !pair->never_parted && heavy(*pair) ? least_loaded() : pair->share;
        share = connection->share;
    }
    ++pair->packets;
    if (h.fragment == shard_headers::first_fragment) {
        // Its later fragments follow it, unless one came first: then it
        // follows them (the datagram stays whole, with the pair).
        datagram &d = datagram_slot(h.datagram);
        if (d.frame != 0 && d.from_later && s.total + 1 - d.frame <= datagram_patience)
            share = d.share;
        d = datagram{h.datagram, s.total + 1, share, 0};
    }
    return share;
}

// Records the share of frame s.total (counted from 0).
void record_frame(bool mine)
{
    shard_state_record &s = shard_state;
    const uint64_t frame64 = s.total;
    if (frame64 != s.recorded || frame64 >= UINT32_MAX)
        return;  // an earlier frame could not be recorded: the later ones are unknown
    const auto frame = static_cast<uint32_t>(frame64);
    const uint32_t block = frame / frames_per_block;
    if (block >= s.block_count) {
        auto **blocks = static_cast<uint64_t **>(realloc(s.blocks, (block + 1) * sizeof(uint64_t *)));
        if (!blocks)
            return;
        s.blocks = blocks;
        s.blocks[block] = static_cast<uint64_t *>(malloc(words_per_block * sizeof(uint64_t)));
        if (!s.blocks[block])
            return;
        s.block_count = block + 1;
    }
    uint64_t &word = s.blocks[block][(frame % frames_per_block) / 64];
    const uint64_t bit = 1ull << (frame % 64);
    word = mine ? word | bit : word & ~bit;
    s.recorded = frame + 1;
}

}  // namespace

void shard_begin(int32_t index, int32_t count, shard_mode mode)
{
    shard_state_record &s = shard_state;
    s.index = index;
    s.count = count;
    s.mode = mode;
    s.total = 0;
    s.recorded = 0;
    s.counted = count <= shard_balanced_most ? count : 0;
    if (s.counted > s.packets_size) {
        free(s.packets);
        s.packets = static_cast<uint64_t *>(malloc(s.counted * sizeof(uint64_t)));
        s.packets_size = s.packets ? s.counted : 0;
        if (!s.packets)
            s.counted = 0;
    }
    if (s.counted)
        memset(s.packets, 0, s.counted * sizeof(uint64_t));
    if (s.capacity > entries_kept) {
        free(s.table);
        s.table = nullptr;
        s.capacity = 0;
    }
    s.live = 0;
    memset(s.datagrams, 0, sizeof s.datagrams);
    if (++s.generation == 0) {
        if (s.table)
            memset(s.table, 0, s.capacity * sizeof(conversation));
        s.generation = 1;
    }
}

int32_t shard_assign(int encapsulation, const uint8_t *bytes, uint32_t length)
{
    shard_state_record &s = shard_state;
    int32_t share = 0;
    if (s.count > 1 && bytes) {
        if (s.mode == shard_mode::balanced && s.counted) {
            share = balanced_share(read_shard_headers(encapsulation, bytes, length, true));
        } else {
            const shard_key_result key = packet_shard_key(
                encapsulation, bytes, length,
                s.mode == shard_mode::endpoint_pair ? shard_key_kind::endpoint_pair : shard_key_kind::address_pair);
            share = key.keyed ? static_cast<int32_t>(key.hash % static_cast<uint64_t>(s.count)) : 0;
        }
    }
    if (share < s.counted)
        ++s.packets[share];
    record_frame(share == s.index);
    ++s.total;
    return share;
}

int shard_frame_is_mine(uint32_t number)
{
    const shard_state_record &s = shard_state;
    if (number == 0 || number > s.recorded)
        return -1;
    const uint32_t frame = number - 1;
    return static_cast<int>(s.blocks[frame / frames_per_block][(frame % frames_per_block) / 64] >> (frame % 64) & 1);
}

const uint64_t *shard_packets(int32_t *count)
{
    *count = shard_state.counted;
    return shard_state.packets;
}
