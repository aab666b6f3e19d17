#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Makes two benchmark captures of the shapes real captures have, from the
test captures (Python's standard library, mergecap and capinfos only):

- one_pair.pcap: one client and one server, nothing else: the HTTP exchange
  of tests/captures/one_tcp_stream.pcap copied with the client's port
  rewritten (addresses kept), eight connections started together every two
  seconds, so that eight or more run in parallel (about 60 at any time);
- portless_pair.pcap: the Ethernet test captures joined, copied over and
  over, with an ICMP echo exchange between one pair of hosts (from
  tests/captures/VlanPackets.pcap, sequence numbers counted on) woven in so
  that it carries 40 % of the packets: a pair without ports, which no share
  can part.

Usage: bench/real_shapes.py OUTPUT_DIR [PACKETS] (default 1,000,000 each).
"""
import os
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CAPTURES = os.path.join(HERE, "..", "tests", "captures")


def read_pcap(path):
    """(header bytes, endian, [(seconds, fraction, original length, data)])."""
    with open(path, "rb") as f:
        raw = f.read()
    magic = raw[:4]
    if magic in (b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1"):
        endian = "<"
    elif magic in (b"\xa1\xb2\xc3\xd4", b"\xa1\xb2\x3c\x4d"):
        endian = ">"
    else:
        raise SystemExit("%s: not a libpcap capture" % path)
    packets = []
    at = 24
    while at + 16 <= len(raw):
        seconds, fraction, captured, original = struct.unpack(endian + "IIII", raw[at:at + 16])
        packets.append((seconds, fraction, original, raw[at + 16:at + 16 + captured]))
        at += 16 + captured
    return raw[:24], endian, packets


def write_pcap(path, header, endian, packets):
    with open(path, "wb") as f:
        f.write(header)
        for seconds, fraction, original, data in packets:
            f.write(struct.pack(endian + "IIII", seconds, fraction, len(data), original))
            f.write(data)


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xffff) + (total >> 16)
    return ~total & 0xffff


def with_port(frame, client_port, client_ip):
    """The Ethernet/IPv4/TCP frame with the client's port replaced and the
    TCP checksum made anew."""
    ip = 14
    header_length = (frame[ip] & 0x0f) * 4
    tcp = ip + header_length
    total = struct.unpack("!H", frame[ip + 2:ip + 4])[0]
    data = bytearray(frame)
    source = frame[ip + 12:ip + 16]
    which = tcp if source == client_ip else tcp + 2
    data[which:which + 2] = struct.pack("!H", client_port)
    segment_end = min(len(data), ip + total)
    data[tcp + 16:tcp + 18] = b"\0\0"
    pseudo = frame[ip + 12:ip + 20] + struct.pack("!BBH", 0, 6, total - header_length)
    if segment_end == ip + total:
        data[tcp + 16:tcp + 18] = struct.pack("!H", checksum(pseudo + bytes(data[tcp:segment_end])))
    return bytes(data)


def one_pair(output, want, fraction_unit):
    header, endian, packets = read_pcap(os.path.join(CAPTURES, "one_tcp_stream.pcap"))
    client_ip = packets[0][3][14 + 12:14 + 16]
    start = packets[0][0] + packets[0][1] / fraction_unit
    timed = [(p[0] + p[1] / fraction_unit - start, p) for p in packets]
    rounds = (want + 8 * len(packets) - 1) // (8 * len(packets))
    out = []
    for r in range(rounds):
        for copy in range(8):
            port = 1024 + (r * 8 + copy) % 64000
            offset = r * 2.0 + copy * 0.005
            for when, (_, _, original, data) in timed:
                out.append((when + offset, original, with_port(data, port, client_ip)))
    out.sort(key=lambda p: p[0])
    out = out[:want]
    base = packets[0][0]
    write_pcap(output, header, endian,
               [(base + int(t), int(round((t - int(t)) * fraction_unit)) % int(fraction_unit), o, d)
                for t, o, d in out])
    return len(out)


def ip_offset(frame):
    """Where IP starts in an Ethernet frame with 802.1Q tags."""
    at = 12
    while frame[at:at + 2] in (b"\x81\x00", b"\x88\xa8"):
        at += 4
    return at + 2


def portless_pair(output, want, work):
    ethernet = []
    for name in sorted(os.listdir(CAPTURES)):
        path = os.path.join(CAPTURES, name)
        if not name.endswith(".pcap"):
            continue
        info = subprocess.run(["capinfos", "-E", "-M", path], capture_output=True, text=True).stdout
        if any(line.split(":", 1)[1].strip() == "ether" for line in info.splitlines() if "encapsulation" in line):
            ethernet.append(path)
    joined = os.path.join(work, "joined.pcap")
    subprocess.run(["mergecap", "-a", "-F", "pcap", "-w", joined] + ethernet, check=True)
    header, endian, base = read_pcap(joined)
    _, ping_endian, ping = read_pcap(os.path.join(CAPTURES, "VlanPackets.pcap"))
    # The first ten packets: five echo requests and their replies between
    # 10.118.10.1 and 10.118.10.2 (two 802.1Q tags).
    exchange = [p[3] for p in ping[:10]]
    others = want * 3 // 5
    out = []
    sequence = 0
    index = 0
    while len(out) < want:
        seconds, fraction, original, data = base[index % len(base)]
        # Each copy of the joined captures a day after the one before.
        seconds += (index // len(base)) * 86400
        index += 1
        if index <= others:
            out.append((seconds, fraction, original, data))
        # An echo request and its reply after every three others: 40 %.
        if index % 3 == 0 or index > others:
            for direction in range(2):
                frame = bytearray(exchange[(sequence % 5) * 2 + direction])
                ip = ip_offset(frame)
                icmp = ip + (frame[ip] & 0x0f) * 4
                frame[icmp + 6:icmp + 8] = struct.pack("!H", sequence & 0xffff)
                frame[icmp + 2:icmp + 4] = b"\0\0"
                frame[icmp + 2:icmp + 4] = struct.pack("!H", checksum(bytes(frame[icmp:])))
                out.append((seconds, fraction, len(frame), bytes(frame)))
            sequence += 1
    out = out[:want]
    write_pcap(output, header, endian, out)
    return len(out), sum(1 for p in out if p[3][:12] == exchange[0][:12] or p[3][:12] == exchange[1][:12])


def main():
    if len(sys.argv) < 2:
        raise SystemExit("usage: bench/real_shapes.py OUTPUT_DIR [PACKETS]")
    out_dir = sys.argv[1]
    want = int(sys.argv[2]) if len(sys.argv) > 2 else 1000000
    os.makedirs(out_dir, exist_ok=True)
    header = read_pcap(os.path.join(CAPTURES, "one_tcp_stream.pcap"))[0]
    magic = header[:4]
    fraction_unit = 1e9 if magic in (b"\x4d\x3c\xb2\xa1", b"\xa1\xb2\x3c\x4d") else 1e6
    path = os.path.join(out_dir, "one_pair.pcap")
    print("%s: %d packets, one client and one server" % (path, one_pair(path, want, fraction_unit)))
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(out_dir, "portless_pair.pcap")
        total, echo = portless_pair(path, want, work)
        print("%s: %d packets, %d of them (%.0f %%) ICMP echo of one pair" % (path, total, echo, 100.0 * echo / total))


if __name__ == "__main__":
    main()
