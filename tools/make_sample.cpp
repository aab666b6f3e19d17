// SPDX-License-Identifier: GPL-2.0-or-later
// make_sample OUTPUT.pcap
// Writes a small deterministic Ethernet capture: ARP, DNS (IPv4 and IPv6),
// ICMP / ICMPv6 echo, a complete HTTP/1.1 exchange over TCP and an IPv6 TCP
// three-way handshake.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>

#include "pcap_writer.h"

using namespace pcapw;

namespace {

// Encodes "example.com" as DNS labels: 7"example"3"com"0.
Bytes dns_name(const std::string& name) {
    Bytes b;
    size_t start = 0;
    while (start <= name.size()) {
        size_t dot = name.find('.', start);
        if (dot == std::string::npos) dot = name.size();
        put8(b, uint8_t(dot - start));
        append(b, reinterpret_cast<const uint8_t*>(name.data()) + start, dot - start);
        start = dot + 1;
    }
    put8(b, 0);
    return b;
}

// A DNS query (no answer) or a response carrying one answer record with
// the given rdata; the answer name points back at the question (0xc00c).
Bytes dns_message(uint16_t id, bool response, const std::string& qname, uint16_t qtype, const Bytes& rdata = {}) {
    Bytes b;
    put16be(b, id);
    put16be(b, response ? 0x8180 : 0x0100);  // standard query, RD (+QR, RA)
    put16be(b, 1);                          // questions
    put16be(b, response ? 1 : 0);           // answers
    put16be(b, 0);                          // authority
    put16be(b, 0);                          // additional
    append(b, dns_name(qname));
    put16be(b, qtype);
    put16be(b, 1);  // class IN
    if (response) {
        put16be(b, 0xc00c);
        put16be(b, qtype);
        put16be(b, 1);
        put32be(b, 3600);  // TTL
        put16be(b, uint16_t(rdata.size()));
        append(b, rdata);
    }
    return b;
}

Bytes build_http_response() {
    const std::string body =
        "<!doctype html>\n<html><head><title>Example</title></head>"
        "<body><h1>Hello</h1></body></html>\n";
    return to_bytes("HTTP/1.1 200 OK\r\n"
                    "Content-Type: text/html; charset=UTF-8\r\n"
                    "Content-Length: " + std::to_string(body.size()) + "\r\n"
                    "Connection: close\r\n"
                    "\r\n" + body);
}

void build(PcapWriter& w) {
    const uint32_t base_sec = 1700000000;
    uint64_t t_us = 0;
    auto add = [&](uint32_t step_us, const Bytes& frame) {
        t_us += step_us;
        w.add(base_sec + uint32_t(t_us / 1000000), uint32_t(t_us % 1000000), frame);
    };

    const Mac cli_mac = mac("00:11:22:33:44:55");
    const Mac gw_mac = mac("00:aa:bb:cc:dd:ee");
    const Ip4 cli = ip4("192.168.1.10"), gw = ip4("192.168.1.1");
    const Ip4 dns4 = ip4("8.8.8.8"), web4 = ip4("93.184.216.34");
    const Ip6 cli6 = ip6("2001:db8:1::10"), dns6 = ip6("2001:4860:4860::8888");
    const Ip6 web6 = ip6("2606:2800:220:1:248:1893:25c8:1946");

    // ARP request / reply for the default gateway (first packet at +0).
    w.add(base_sec, 0, eth_arp_request(cli_mac, cli, gw));
    add(1200, eth_arp_reply(gw_mac, gw, cli_mac, cli));

    // DNS A query / response for example.com.
    add(2500, eth_ipv4_udp(gw_mac, cli_mac, cli, dns4, 53000, 53, dns_message(0x1a2b, false, "example.com", 1), 0x1001));
    add(14300, eth_ipv4_udp(cli_mac, gw_mac, dns4, cli, 53, 53000,
                            dns_message(0x1a2b, true, "example.com", 1, Bytes(web4.begin(), web4.end())), 0x7001));

    // ICMP echo request / reply.
    const Bytes ping = to_bytes("abcdefghijklmnopqrstuvwabcdefghi");
    add(3000, eth_ipv4_icmp_echo(gw_mac, cli_mac, cli, web4, false, 0x0042, 1, ping, 0x1002));
    add(11800, eth_ipv4_icmp_echo(cli_mac, gw_mac, web4, cli, true, 0x0042, 1, ping, 0x7002));

    // HTTP over TCP: handshake, request, response, orderly close.
    const uint16_t cport = 51000, sport = 80;
    const uint32_t c_isn = 0x1a2b3c4d, s_isn = 0x5e6f7081;
    const Bytes req = to_bytes("GET / HTTP/1.1\r\n"
                               "Host: example.com\r\n"
                               "User-Agent: make_sample/1.0\r\n"
                               "Accept: */*\r\n"
                               "\r\n");
    const Bytes resp = build_http_response();
    const uint32_t c1 = c_isn + 1, s1 = s_isn + 1;
    const uint32_t c2 = c1 + uint32_t(req.size()), s2 = s1 + uint32_t(resp.size());
    using namespace tcpflag;
    auto c2s = [&](uint32_t step, uint32_t seq, uint32_t ack, uint8_t fl, const Bytes& data, uint16_t id) {
        add(step, eth_ipv4_tcp(gw_mac, cli_mac, cli, web4, cport, sport, seq, ack, fl, data, 64240, id));
    };
    auto s2c = [&](uint32_t step, uint32_t seq, uint32_t ack, uint8_t fl, const Bytes& data, uint16_t id) {
        add(step, eth_ipv4_tcp(cli_mac, gw_mac, web4, cli, sport, cport, seq, ack, fl, data, 65535, id));
    };
    c2s(4000, c_isn, 0, SYN, {}, 0x1003);
    s2c(11500, s_isn, c1, SYN | ACK, {}, 0x7003);
    c2s(150, c1, s1, ACK, {}, 0x1004);
    c2s(300, c1, s1, PSH | ACK, req, 0x1005);
    s2c(11600, s1, c2, ACK, {}, 0x7004);
    s2c(1900, s1, c2, PSH | ACK, resp, 0x7005);
    c2s(200, c2, s2, ACK, {}, 0x1006);
    c2s(2100, c2, s2, FIN | ACK, {}, 0x1007);
    s2c(11400, s2, c2 + 1, FIN | ACK, {}, 0x7006);
    c2s(120, c2 + 1, s2 + 1, ACK, {}, 0x1008);

    // IPv6: DNS AAAA query / response, ICMPv6 echo, TCP handshake.
    add(5000, eth_ipv6_udp(gw_mac, cli_mac, cli6, dns6, 53001, 53, dns_message(0x3c4d, false, "example.com", 28)));
    add(13700, eth_ipv6_udp(cli_mac, gw_mac, dns6, cli6, 53, 53001,
                            dns_message(0x3c4d, true, "example.com", 28, Bytes(web6.begin(), web6.end()))));
    add(2600, eth_ipv6_icmp_echo(gw_mac, cli_mac, cli6, web6, false, 0x0077, 1, ping));
    add(12100, eth_ipv6_icmp_echo(cli_mac, gw_mac, web6, cli6, true, 0x0077, 1, ping));
    const uint32_t c6 = 0x0badf00d, s6 = 0x600df00d;
    add(3300, eth_ipv6_tcp(gw_mac, cli_mac, cli6, web6, 51002, 443, c6, 0, SYN, {}, 64800));
    add(12200, eth_ipv6_tcp(cli_mac, gw_mac, web6, cli6, 443, 51002, s6, c6 + 1, SYN | ACK, {}, 65535));
    add(140, eth_ipv6_tcp(gw_mac, cli_mac, cli6, web6, 51002, 443, c6 + 1, s6 + 1, ACK, {}, 64800));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.pcap\n", argc > 0 ? argv[0] : "make_sample");
        return 1;
    }
    try {
        PcapWriter w;
        build(w);
        w.write(argv[1]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_sample: %s\n", e.what());
        return 1;
    }
    return 0;
}
