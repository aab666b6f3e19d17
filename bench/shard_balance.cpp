// SPDX-License-Identifier: GPL-2.0-or-later
// shard_balance FILE...: how the packets of each file would be shared among
// 2 and 4 processes by each conversation key, read with wiretap alone: the
// largest share against an even one (1.00 is perfect balance) and the
// packets without a key (they go to the first share).
#include <cstdio>

#include <wiretap/wtap.h>
#include <wsutil/wslog.h>

#include "shard/key.h"

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: shard_balance FILE...\n");
        return 2;
    }
    ws_log_set_level(LOG_LEVEL_ERROR);
    wtap_init(FALSE);
    for (int file = 1; file < argc; ++file) {
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
        unsigned long packets = 0, unkeyed = 0, shares[2][2][4] = {};
        while (wtap_read(wth, &rec, &buf, &err, &err_info, &offset)) {
            ++packets;
            const shard_key_kind kinds[2] = {shard_key_kind::address_pair, shard_key_kind::endpoint_pair};
            for (int k = 0; k < 2; ++k) {
                shard_key_result key = packet_shard_key(rec.rec_header.packet_header.pkt_encap, ws_buffer_start_ptr(&buf),
                                                        rec.rec_header.packet_header.caplen, kinds[k]);
                if (!key.keyed && k == 0)
                    ++unkeyed;
                ++shares[k][0][key.keyed ? key.hash % 2 : 0];
                ++shares[k][1][key.keyed ? key.hash % 4 : 0];
            }
            wtap_rec_reset(&rec);
        }
        printf("%s: %lu packets, %lu without a key\n", argv[file], packets, unkeyed);
        const char *names[2] = {"address pair", "endpoint pair"};
        for (int k = 0; k < 2; ++k) {
            for (int c = 0; c < 2; ++c) {
                const int count = c == 0 ? 2 : 4;
                unsigned long largest = 0;
                printf("  %-13s %d shares:", names[k], count);
                for (int s = 0; s < count; ++s) {
                    printf(" %lu", shares[k][c][s]);
                    largest = shares[k][c][s] > largest ? shares[k][c][s] : largest;
                }
                printf("  largest/even %.2f\n", packets ? largest * count / static_cast<double>(packets) : 0.0);
            }
        }
        ws_buffer_free(&buf);
        wtap_rec_cleanup(&rec);
        wtap_close(wth);
    }
    return 0;
}
