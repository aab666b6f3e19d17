/* SPDX-License-Identifier: GPL-2.0-or-later */
// pcap_writer.h - tiny header-only classic libpcap file writer (and a minimal
// pcapng one) plus packet builders, used by tests to construct captures
// (including malformed ones) byte for byte. Depends only on the C++17 standard library and <arpa/inet.h>.
#pragma once

#include <arpa/inet.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace pcapw {

using Bytes = std::vector<uint8_t>;
using Mac = std::array<uint8_t, 6>;
using Ip4 = std::array<uint8_t, 4>;
using Ip6 = std::array<uint8_t, 16>;

constexpr uint32_t MAGIC_USEC = 0xa1b2c3d4;  // ts_frac is microseconds
constexpr uint32_t MAGIC_NSEC = 0xa1b23c4d;  // ts_frac is nanoseconds
constexpr uint32_t LINKTYPE_ETHERNET = 1;
constexpr size_t FILE_HEADER_LEN = 24;
constexpr size_t RECORD_HEADER_LEN = 16;

enum class Endian { Little, Big };

namespace ethertype {
constexpr uint16_t IPV4 = 0x0800, ARP = 0x0806, IPV6 = 0x86dd;
}
namespace ipproto {
constexpr uint8_t ICMP = 1, TCP = 6, UDP = 17, ICMPV6 = 58;
}
namespace tcpflag {
constexpr uint8_t FIN = 0x01, SYN = 0x02, RST = 0x04, PSH = 0x08, ACK = 0x10, URG = 0x20;
}

// ---------------------------------------------------------------- bytes ----

inline void put8(Bytes& b, uint8_t v) { b.push_back(v); }
inline void put16be(Bytes& b, uint16_t v) { b.push_back(uint8_t(v >> 8)); b.push_back(uint8_t(v)); }
inline void put32be(Bytes& b, uint32_t v) { put16be(b, uint16_t(v >> 16)); put16be(b, uint16_t(v)); }
inline void append(Bytes& b, const uint8_t* p, size_t n) { b.insert(b.end(), p, p + n); }
template <class C> inline void append(Bytes& b, const C& c) { b.insert(b.end(), std::begin(c), std::end(c)); }
inline Bytes to_bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Writes raw bytes to a file; throws std::runtime_error on failure.
inline void write_file(const std::string& path, const Bytes& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (f) f.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    if (!f) throw std::runtime_error("pcapw: cannot write " + path);
}

// ------------------------------------------------------------ addresses ----

inline Ip4 ip4(const std::string& text) {
    Ip4 a{};
    if (inet_pton(AF_INET, text.c_str(), a.data()) != 1) throw std::invalid_argument("pcapw: bad IPv4 " + text);
    return a;
}
inline Ip6 ip6(const std::string& text) {
    Ip6 a{};
    if (inet_pton(AF_INET6, text.c_str(), a.data()) != 1) throw std::invalid_argument("pcapw: bad IPv6 " + text);
    return a;
}
inline Mac mac(const std::string& text) {
    unsigned v[6];
    int used = 0;
    if (std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%n", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &used) != 6 ||
        size_t(used) != text.size())
        throw std::invalid_argument("pcapw: bad MAC " + text);
    Mac m{};
    for (int i = 0; i < 6; ++i) m[i] = uint8_t(v[i]);
    return m;
}
constexpr Mac BROADCAST_MAC{0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

// ------------------------------------------------------------ checksums ----

// One's-complement sum of big-endian 16-bit words (odd tail padded with 0).
inline uint32_t sum16(const uint8_t* p, size_t n, uint32_t acc = 0) {
    for (size_t i = 0; i + 1 < n; i += 2) acc += uint32_t(p[i] << 8 | p[i + 1]);
    if (n & 1) acc += uint32_t(p[n - 1] << 8);
    return acc;
}
inline uint16_t fold_checksum(uint32_t acc) {
    while (acc >> 16) acc = (acc & 0xffff) + (acc >> 16);
    return uint16_t(~acc);
}
inline uint16_t inet_checksum(const Bytes& b) { return fold_checksum(sum16(b.data(), b.size())); }

// Offset of the checksum field inside a transport header for `proto`.
inline size_t l4_checksum_offset(uint8_t proto) {
    switch (proto) {
        case ipproto::TCP: return 16;
        case ipproto::UDP: return 6;
        case ipproto::ICMP: case ipproto::ICMPV6: return 2;
        default: throw std::invalid_argument("pcapw: no checksum rule for protocol");
    }
}
inline void store_checksum(Bytes& seg, uint8_t proto, uint32_t acc) {
    size_t off = l4_checksum_offset(proto);
    seg.at(off + 1);  // bounds check
    seg[off] = seg[off + 1] = 0;
    uint16_t c = fold_checksum(sum16(seg.data(), seg.size(), acc));
    if (c == 0 && proto == ipproto::UDP) c = 0xffff;  // 0 means "no checksum" for UDP
    seg[off] = uint8_t(c >> 8);
    seg[off + 1] = uint8_t(c);
}
// Fill the checksum of a TCP/UDP/ICMP segment carried in IPv4 (ICMP has no pseudo header).
inline void fill_checksum_ipv4(Bytes& seg, const Ip4& src, const Ip4& dst, uint8_t proto) {
    uint32_t acc = 0;
    if (proto != ipproto::ICMP) {
        Bytes ph;
        append(ph, src); append(ph, dst);
        put8(ph, 0); put8(ph, proto); put16be(ph, uint16_t(seg.size()));
        acc = sum16(ph.data(), ph.size());
    }
    store_checksum(seg, proto, acc);
}
// Fill the checksum of a TCP/UDP/ICMPv6 segment carried in IPv6.
inline void fill_checksum_ipv6(Bytes& seg, const Ip6& src, const Ip6& dst, uint8_t proto) {
    Bytes ph;
    append(ph, src); append(ph, dst);
    put32be(ph, uint32_t(seg.size())); put16be(ph, 0); put8(ph, 0); put8(ph, proto);
    store_checksum(seg, proto, sum16(ph.data(), ph.size()));
}

// --------------------------------------------------------------- layers ----

inline Bytes ethernet(const Mac& dst, const Mac& src, uint16_t type, const Bytes& payload) {
    Bytes b;
    append(b, dst); append(b, src); put16be(b, type); append(b, payload);
    return b;
}

// IPv4 header + payload with a correct header checksum. `options` are padded
// with zeros (End of Option List) to a multiple of 4 bytes (max 40).
inline Bytes ipv4(const Ip4& src, const Ip4& dst, uint8_t proto, const Bytes& payload, uint8_t ttl = 64,
                  uint16_t id = 0, uint16_t flags_frag = 0x4000 /* DF */, const Bytes& options = {}) {
    Bytes opt = options;
    while (opt.size() % 4) opt.push_back(0);
    if (opt.size() > 40) throw std::invalid_argument("pcapw: IPv4 options longer than 40 bytes");
    const size_t hlen = 20 + opt.size();
    Bytes b;
    put8(b, uint8_t(0x40 | hlen / 4)); put8(b, 0);
    put16be(b, uint16_t(hlen + payload.size()));
    put16be(b, id); put16be(b, flags_frag);
    put8(b, ttl); put8(b, proto); put16be(b, 0);
    append(b, src); append(b, dst); append(b, opt);
    const uint16_t c = fold_checksum(sum16(b.data(), hlen));
    b[10] = uint8_t(c >> 8); b[11] = uint8_t(c);
    append(b, payload);
    return b;
}

inline Bytes ipv6(const Ip6& src, const Ip6& dst, uint8_t next_header, const Bytes& payload, uint8_t hop_limit = 64) {
    Bytes b;
    put32be(b, 0x60000000);  // version 6, traffic class 0, flow label 0
    put16be(b, uint16_t(payload.size())); put8(b, next_header); put8(b, hop_limit);
    append(b, src); append(b, dst); append(b, payload);
    return b;
}

// TCP segment with checksum 0 (use tcp_ipv4/tcp_ipv6 or fill_checksum_* for a real one).
// `options` are padded with zeros to a multiple of 4 bytes (max 40).
inline Bytes tcp(uint16_t sport, uint16_t dport, uint32_t seq, uint32_t ack, uint8_t flags, const Bytes& payload,
                 uint16_t window = 65535, const Bytes& options = {}) {
    Bytes opt = options;
    while (opt.size() % 4) opt.push_back(0);
    if (opt.size() > 40) throw std::invalid_argument("pcapw: TCP options longer than 40 bytes");
    Bytes b;
    put16be(b, sport); put16be(b, dport); put32be(b, seq); put32be(b, ack);
    put8(b, uint8_t((20 + opt.size()) / 4 << 4)); put8(b, flags);
    put16be(b, window); put16be(b, 0); put16be(b, 0);
    append(b, opt); append(b, payload);
    return b;
}

// UDP datagram with checksum 0.
inline Bytes udp(uint16_t sport, uint16_t dport, const Bytes& payload) {
    Bytes b;
    put16be(b, sport); put16be(b, dport); put16be(b, uint16_t(8 + payload.size())); put16be(b, 0);
    append(b, payload);
    return b;
}

// ICMP (type 8 request / 0 reply) or ICMPv6 (128 / 129) echo message, checksum 0.
inline Bytes icmp_echo_raw(uint8_t type, uint16_t id, uint16_t seq, const Bytes& payload) {
    Bytes b;
    put8(b, type); put8(b, 0); put16be(b, 0); put16be(b, id); put16be(b, seq);
    append(b, payload);
    return b;
}
inline Bytes icmp_echo(bool reply, uint16_t id, uint16_t seq, const Bytes& payload) {
    Bytes b = icmp_echo_raw(reply ? 0 : 8, id, seq, payload);
    store_checksum(b, ipproto::ICMP, 0);
    return b;
}

// Transport segments with checksums computed over the matching pseudo header.
inline Bytes tcp_ipv4(const Ip4& src, const Ip4& dst, uint16_t sport, uint16_t dport, uint32_t seq, uint32_t ack,
                      uint8_t flags, const Bytes& payload, uint16_t window = 65535, const Bytes& options = {}) {
    Bytes s = tcp(sport, dport, seq, ack, flags, payload, window, options);
    fill_checksum_ipv4(s, src, dst, ipproto::TCP);
    return s;
}
inline Bytes udp_ipv4(const Ip4& src, const Ip4& dst, uint16_t sport, uint16_t dport, const Bytes& payload) {
    Bytes s = udp(sport, dport, payload);
    fill_checksum_ipv4(s, src, dst, ipproto::UDP);
    return s;
}
inline Bytes tcp_ipv6(const Ip6& src, const Ip6& dst, uint16_t sport, uint16_t dport, uint32_t seq, uint32_t ack,
                      uint8_t flags, const Bytes& payload, uint16_t window = 65535, const Bytes& options = {}) {
    Bytes s = tcp(sport, dport, seq, ack, flags, payload, window, options);
    fill_checksum_ipv6(s, src, dst, ipproto::TCP);
    return s;
}
inline Bytes udp_ipv6(const Ip6& src, const Ip6& dst, uint16_t sport, uint16_t dport, const Bytes& payload) {
    Bytes s = udp(sport, dport, payload);
    fill_checksum_ipv6(s, src, dst, ipproto::UDP);
    return s;
}
inline Bytes icmpv6_echo(const Ip6& src, const Ip6& dst, bool reply, uint16_t id, uint16_t seq, const Bytes& payload) {
    Bytes s = icmp_echo_raw(reply ? 129 : 128, id, seq, payload);
    fill_checksum_ipv6(s, src, dst, ipproto::ICMPV6);
    return s;
}

// --------------------------------------------------------- whole frames ----

inline Bytes eth_ipv4_tcp(const Mac& dmac, const Mac& smac, const Ip4& src, const Ip4& dst, uint16_t sport,
                          uint16_t dport, uint32_t seq, uint32_t ack, uint8_t flags, const Bytes& payload = {},
                          uint16_t window = 65535, uint16_t ip_id = 0) {
    return ethernet(dmac, smac, ethertype::IPV4,
                    ipv4(src, dst, ipproto::TCP, tcp_ipv4(src, dst, sport, dport, seq, ack, flags, payload, window), 64, ip_id));
}
inline Bytes eth_ipv4_udp(const Mac& dmac, const Mac& smac, const Ip4& src, const Ip4& dst, uint16_t sport,
                          uint16_t dport, const Bytes& payload, uint16_t ip_id = 0) {
    return ethernet(dmac, smac, ethertype::IPV4,
                    ipv4(src, dst, ipproto::UDP, udp_ipv4(src, dst, sport, dport, payload), 64, ip_id));
}
inline Bytes eth_ipv6_tcp(const Mac& dmac, const Mac& smac, const Ip6& src, const Ip6& dst, uint16_t sport,
                          uint16_t dport, uint32_t seq, uint32_t ack, uint8_t flags, const Bytes& payload = {},
                          uint16_t window = 65535) {
    return ethernet(dmac, smac, ethertype::IPV6,
                    ipv6(src, dst, ipproto::TCP, tcp_ipv6(src, dst, sport, dport, seq, ack, flags, payload, window)));
}
inline Bytes eth_ipv6_udp(const Mac& dmac, const Mac& smac, const Ip6& src, const Ip6& dst, uint16_t sport,
                          uint16_t dport, const Bytes& payload) {
    return ethernet(dmac, smac, ethertype::IPV6, ipv6(src, dst, ipproto::UDP, udp_ipv6(src, dst, sport, dport, payload)));
}
inline Bytes eth_ipv4_icmp_echo(const Mac& dmac, const Mac& smac, const Ip4& src, const Ip4& dst, bool reply,
                                uint16_t id, uint16_t seq, const Bytes& payload = {}, uint16_t ip_id = 0) {
    return ethernet(dmac, smac, ethertype::IPV4, ipv4(src, dst, ipproto::ICMP, icmp_echo(reply, id, seq, payload), 64, ip_id));
}
inline Bytes eth_ipv6_icmp_echo(const Mac& dmac, const Mac& smac, const Ip6& src, const Ip6& dst, bool reply,
                                uint16_t id, uint16_t seq, const Bytes& payload = {}) {
    return ethernet(dmac, smac, ethertype::IPV6, ipv6(src, dst, ipproto::ICMPV6, icmpv6_echo(src, dst, reply, id, seq, payload)));
}

// ARP over Ethernet/IPv4 (opcode 1 = request, 2 = reply).
inline Bytes eth_arp(uint16_t opcode, const Mac& eth_dst, const Mac& sender_mac, const Ip4& sender_ip,
                     const Mac& target_mac, const Ip4& target_ip) {
    Bytes a;
    put16be(a, 1); put16be(a, ethertype::IPV4); put8(a, 6); put8(a, 4); put16be(a, opcode);
    append(a, sender_mac); append(a, sender_ip); append(a, target_mac); append(a, target_ip);
    return ethernet(eth_dst, sender_mac, ethertype::ARP, a);
}
inline Bytes eth_arp_request(const Mac& sender_mac, const Ip4& sender_ip, const Ip4& target_ip) {
    return eth_arp(1, BROADCAST_MAC, sender_mac, sender_ip, Mac{}, target_ip);
}
inline Bytes eth_arp_reply(const Mac& sender_mac, const Ip4& sender_ip, const Mac& target_mac, const Ip4& target_ip) {
    return eth_arp(2, target_mac, sender_mac, sender_ip, target_mac, target_ip);
}

// ------------------------------------------------------ 802.11 and SS7 ----

constexpr uint32_t LINKTYPE_IEEE802_11_RADIOTAP = 127;
constexpr uint32_t LINKTYPE_MTP3 = 141;

inline void put16le(Bytes& b, uint16_t v) { b.push_back(uint8_t(v)); b.push_back(uint8_t(v >> 8)); }
inline void put32le(Bytes& b, uint32_t v) { put16le(b, uint16_t(v)); put16le(b, uint16_t(v >> 16)); }

// An 802.11 frame behind the smallest radiotap header (no fields present).
// `fc` is the first frame-control byte (subtype << 4 | type << 2), `flags`
// the second (0x01 to DS, 0x02 from DS); the duration is 0. `addresses` are
// the frame's one to three addresses; `rest` follows them (the sequence
// control and body of management and data frames, nothing for most control
// frames). No frame check sequence.
inline Bytes radiotap_wlan(uint8_t fc, uint8_t flags, const std::vector<Mac>& addresses, const Bytes& rest = {}) {
    Bytes b = {0, 0, 8, 0, 0, 0, 0, 0};
    put8(b, fc); put8(b, flags); put16le(b, 0);
    for (const Mac& m : addresses) append(b, m);
    append(b, rest);
    return b;
}

// An LLC/SNAP header with the given EtherType, then the payload (802.11 data).
inline Bytes llc_snap(uint16_t type, const Bytes& payload) {
    Bytes b = {0xaa, 0xaa, 0x03, 0, 0, 0};
    put16be(b, type); append(b, payload);
    return b;
}

// An SCCP unitdata message whose called and calling party addresses route on
// a subsystem number (no point code, no global title).
inline Bytes sccp_udt(uint8_t called_ssn, uint8_t calling_ssn, const Bytes& data) {
    Bytes b = {0x09, 0x00, 3, 5, 7};  // type, class 0, pointers
    for (uint8_t ssn : {called_ssn, calling_ssn}) { put8(b, 2); put8(b, 0x42); put8(b, ssn); }
    put8(b, uint8_t(data.size())); append(b, data);
    return b;
}

// An ITU MTP3 message signal unit (LINKTYPE_MTP3): service indicator `si`
// (3 = SCCP) on the national network, the routing label with 14-bit point
// codes, then the payload.
inline Bytes mtp3_itu(uint8_t si, uint16_t opc, uint16_t dpc, const Bytes& payload) {
    Bytes b;
    put8(b, uint8_t(0x80 | si));
    put32le(b, uint32_t(dpc & 0x3fff) | uint32_t(opc & 0x3fff) << 14 | 5u << 28);
    append(b, payload);
    return b;
}

// An SCTP packet of one DATA chunk (no checksum) carrying an M3UA DATA
// message: the Protocol Data parameter holds the point codes, `si` and the
// payload.
inline Bytes sctp_m3ua(uint16_t port, uint32_t opc, uint32_t dpc, uint8_t si, const Bytes& payload) {
    Bytes pd;
    put32be(pd, opc); put32be(pd, dpc); put8(pd, si); put8(pd, 2); put8(pd, 0); put8(pd, 5);
    append(pd, payload);
    Bytes param;
    put16be(param, 0x0210); put16be(param, uint16_t(4 + pd.size())); append(param, pd);
    while (param.size() % 4) param.push_back(0);
    Bytes m3ua = {1, 0, 1, 1};
    put32be(m3ua, uint32_t(8 + param.size())); append(m3ua, param);
    Bytes chunk = {0, 3};
    put16be(chunk, uint16_t(16 + m3ua.size())); put32be(chunk, 1); put16be(chunk, 0); put16be(chunk, 0);
    put32be(chunk, 3 /* M3UA */); append(chunk, m3ua);
    while (chunk.size() % 4) chunk.push_back(0);
    Bytes b;
    put16be(b, port); put16be(b, port); put32be(b, 1); put32be(b, 0); append(b, chunk);
    return b;
}

// ----------------------------------------------------------- pcap file ----

class PcapWriter {
public:
    struct Record {
        uint32_t ts_sec, ts_frac, incl_len, orig_len;
        Bytes data;
        bool raw = false;  // true: `data` is emitted without a record header
    };

    explicit PcapWriter(uint32_t linktype = LINKTYPE_ETHERNET, uint32_t snaplen = 262144,
                        uint32_t magic = MAGIC_USEC, Endian endian = Endian::Little)
        : linktype_(linktype), snaplen_(snaplen), magic_(magic), endian_(endian) {}

    // Header settings (may be changed at any time; applied when the image is built).
    PcapWriter& set_linktype(uint32_t v) { linktype_ = v; return *this; }
    PcapWriter& set_snaplen(uint32_t v) { snaplen_ = v; return *this; }
    PcapWriter& set_magic(uint32_t v) { magic_ = v; return *this; }
    PcapWriter& set_endian(Endian e) { endian_ = e; return *this; }
    PcapWriter& set_version(uint16_t major, uint16_t minor) { vmajor_ = major; vminor_ = minor; return *this; }
    PcapWriter& set_thiszone(int32_t v) { thiszone_ = v; return *this; }
    bool nanosecond() const { return magic_ == MAGIC_NSEC; }

    // Record whose header fields are written verbatim: incl_len/orig_len need not
    // match data.size(), which lets tests build malformed records.
    PcapWriter& add(uint32_t ts_sec, uint32_t ts_frac, uint32_t incl_len, uint32_t orig_len, const Bytes& data) {
        records_.push_back(Record{ts_sec, ts_frac, incl_len, orig_len, data, false});
        return *this;
    }
    // Well-formed record: incl_len = orig_len = data.size().
    PcapWriter& add(uint32_t ts_sec, uint32_t ts_frac, const Bytes& data) {
        return add(ts_sec, ts_frac, uint32_t(data.size()), uint32_t(data.size()), data);
    }
    // Raw bytes appended after the records already added (e.g. a partial record header).
    PcapWriter& add_raw(const Bytes& raw) {
        records_.push_back(Record{0, 0, 0, 0, raw, true});
        return *this;
    }

    size_t record_count() const {
        size_t n = 0;
        for (const Record& r : records_) n += r.raw ? 0 : 1;
        return n;
    }
    const std::vector<Record>& records() const { return records_; }

    Bytes header() const {
        Bytes b;
        put32(b, magic_); put16(b, vmajor_); put16(b, vminor_);
        put32(b, uint32_t(thiszone_)); put32(b, 0 /* sigfigs */); put32(b, snaplen_); put32(b, linktype_);
        return b;
    }
    Bytes image() const {
        Bytes b = header();
        for (const Record& r : records_) {
            if (!r.raw) { put32(b, r.ts_sec); put32(b, r.ts_frac); put32(b, r.incl_len); put32(b, r.orig_len); }
            append(b, r.data);
        }
        return b;
    }
    // First n bytes of the image (whole image if n is larger).
    Bytes truncated(size_t n) const {
        Bytes b = image();
        if (n < b.size()) b.resize(n);
        return b;
    }
    // Byte offset in the image at which entry i (record or raw chunk) starts;
    // i == records().size() gives the image size.
    size_t offset_of(size_t i) const {
        size_t off = FILE_HEADER_LEN;
        for (size_t k = 0; k < i && k < records_.size(); ++k)
            off += (records_[k].raw ? 0 : RECORD_HEADER_LEN) + records_[k].data.size();
        return off;
    }

    void write(const std::string& path) const { write_file(path, image()); }
    void write_truncated(const std::string& path, size_t n) const { write_file(path, truncated(n)); }

private:
    void put16(Bytes& b, uint16_t v) const {
        if (endian_ == Endian::Big) put16be(b, v);
        else { b.push_back(uint8_t(v)); b.push_back(uint8_t(v >> 8)); }
    }
    void put32(Bytes& b, uint32_t v) const {
        if (endian_ == Endian::Big) put32be(b, v);
        else { put16(b, uint16_t(v)); put16(b, uint16_t(v >> 16)); }
    }

    uint32_t linktype_, snaplen_, magic_;
    Endian endian_;
    uint16_t vmajor_ = 2, vminor_ = 4;
    int32_t thiszone_ = 0;
    std::vector<Record> records_;
};

// --------------------------------------------------------------- pcapng ----

// A pcapng interface: its link type, and its name and description options
// (left out when empty).
struct PcapngInterface {
    uint16_t linktype = LINKTYPE_ETHERNET;
    std::string name, description;
};
// An enhanced packet block: the interface's index, a time stamp in
// microseconds (the default resolution) and the packet's bytes.
struct PcapngPacket {
    uint32_t interface_id;
    uint64_t ts_usec;
    Bytes data;
};

// A little-endian pcapng image: one section header, the interface
// descriptions, then the packets.
inline Bytes pcapng_image(const std::vector<PcapngInterface>& interfaces, const std::vector<PcapngPacket>& packets) {
    Bytes image;
    auto pad = [](Bytes& b) { while (b.size() % 4) b.push_back(0); };
    auto block = [&](uint32_t type, const Bytes& body) {
        const uint32_t length = uint32_t(12 + body.size());
        put32le(image, type); put32le(image, length); append(image, body); put32le(image, length);
    };
    auto option = [&](Bytes& b, uint16_t code, const std::string& value) {
        if (value.empty()) return;
        put16le(b, code); put16le(b, uint16_t(value.size())); append(b, to_bytes(value)); pad(b);
    };
    Bytes section;
    put32le(section, 0x1A2B3C4D); put16le(section, 1); put16le(section, 0);
    put32le(section, 0xffffffff); put32le(section, 0xffffffff);  // section length unknown
    block(0x0A0D0D0A, section);
    for (const PcapngInterface& i : interfaces) {
        Bytes body;
        put16le(body, i.linktype); put16le(body, 0); put32le(body, 0);
        option(body, 2, i.name);          // if_name
        option(body, 3, i.description);   // if_description
        put32le(body, 0);                 // opt_endofopt
        block(1, body);
    }
    for (const PcapngPacket& p : packets) {
        Bytes body;
        put32le(body, p.interface_id); put32le(body, uint32_t(p.ts_usec >> 32)); put32le(body, uint32_t(p.ts_usec));
        put32le(body, uint32_t(p.data.size())); put32le(body, uint32_t(p.data.size()));
        append(body, p.data); pad(body);
        block(6, body);
    }
    return image;
}

}  // namespace pcapw
