// SPDX-License-Identifier: GPL-2.0-or-later
// shard_balance FILE...: how the packets of each file are shared among 2 and
// 4 processes by each way of sharing (lib/shard), read with wiretap alone:
// the packets of each share, and the largest share against an even one
// (1.00 is perfect balance). Packets without a key go to the first share.
#include <cstdio>
#include <initializer_list>

#include <wiretap/wtap.h>
#include <wsutil/wslog.h>

#include "shard/assign.h"

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: shard_balance FILE...\n");
        return 2;
    }
    ws_log_set_level(LOG_LEVEL_ERROR);
    wtap_init(FALSE);
    const struct {
        shard_mode mode;
        const char *name;
    } modes[] = {{shard_mode::address_pair, "address pair"},
                 {shard_mode::endpoint_pair, "endpoint pair"},
                 {shard_mode::balanced, "balanced"}};
    for (int file = 1; file < argc; ++file) {
        bool named = false;
        for (const auto &mode : modes) {
            for (int32_t count : {2, 4}) {
                int err;
                gchar *err_info = nullptr;
                wtap *wth = wtap_open_offline(argv[file], WTAP_TYPE_AUTO, &err, &err_info, FALSE);
                if (!wth) {
                    fprintf(stderr, "%s: cannot open\n", argv[file]);
                    return 1;
                }
                wtap_rec rec;
                Buffer buf;
                wtap_rec_init(&rec);
                ws_buffer_init(&buf, 2048);
                gint64 offset;
                unsigned long packets = 0;
                shard_begin(0, count, mode.mode);
                while (wtap_read(wth, &rec, &buf, &err, &err_info, &offset)) {
                    ++packets;
                    const bool packet = rec.rec_type == REC_TYPE_PACKET;
                    shard_assign(packet ? rec.rec_header.packet_header.pkt_encap : 0,
                                 packet ? ws_buffer_start_ptr(&buf) : nullptr,
                                 packet ? rec.rec_header.packet_header.caplen : 0);
                    wtap_rec_reset(&rec);
                }
                if (!named) {
                    printf("%s: %lu packets\n", argv[file], packets);
                    named = true;
                }
                int32_t shares = 0;
                const uint64_t *got = shard_packets(&shares);
                uint64_t largest = 0;
                printf("  %-13s %d shares:", mode.name, count);
                for (int32_t s = 0; s < shares; ++s) {
                    printf(" %llu", static_cast<unsigned long long>(got[s]));
                    largest = got[s] > largest ? got[s] : largest;
                }
                printf("  largest/even %.2f\n", packets ? largest * count / static_cast<double>(packets) : 0.0);
                ws_buffer_free(&buf);
                wtap_rec_cleanup(&rec);
                wtap_close(wth);
            }
        }
    }
    return 0;
}
