// SPDX-License-Identifier: GPL-2.0-or-later
// wiretap_read FILE: reads every record of FILE with wiretap alone. The I/O
// limit of any sequential reader.
#include <cstdio>

#include <wiretap/wtap.h>
#include <wsutil/wslog.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: wiretap_read FILE\n");
        return 2;
    }
    ws_log_set_level(LOG_LEVEL_ERROR);
    wtap_init(FALSE);
    int err;
    gchar *err_info = nullptr;
    wtap *wth = wtap_open_offline(argv[1], WTAP_TYPE_AUTO, &err, &err_info, FALSE);
    if (!wth)
        return 1;
    wtap_rec rec;
    Buffer buf;
    wtap_rec_init(&rec);
    ws_buffer_init(&buf, 2048);
    gint64 offset;
    unsigned long packets = 0, bytes = 0;
    while (wtap_read(wth, &rec, &buf, &err, &err_info, &offset)) {
        ++packets;
        bytes += rec.rec_header.packet_header.caplen;
        wtap_rec_reset(&rec);
    }
    printf("%lu packets, %lu bytes\n", packets, bytes);
    wtap_close(wth);
    return 0;
}
