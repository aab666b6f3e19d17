/* wsbridge summary FILE: one line per packet, in the spirit of tshark's
 * default output. */
#include <stdio.h>

#include "cli.h"

int cli_summary(int argc, char **argv)
{
    if (argc != 1)
        return 2;
    const char *path = argv[0];
    if (gOpenCapture(path) != 0)
        return cli_fail("open");
    PacketSummary summary;
    int status;
    while ((status = gGetNextPacket(&summary)) == 0) {
        const char *source = summary.source_text[0] ? summary.source_text : summary.link_source_text;
        const char *destination =
            summary.destination_text[0] ? summary.destination_text : summary.link_destination_text;
        printf("%5u %11.6f %s \xe2\x86\x92 %s %s %u %s\n", summary.frame_number,
               (double)summary.relative_time / 1e7, source, destination, summary.protocol_text,
               summary.packet_length, summary.info_text);
    }
    if (status != 2)
        return cli_fail("read");
    gCloseCapture();
    return 0;
}
