/* reopen FILE [COUNT]: opens, reads and closes FILE COUNT times (default
 * 1000) in one process and prints the resident memory after every 100, to
 * show whether per-capture state is released. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "resident.h"
#include "wsbridge.h"

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: reopen FILE [COUNT]\n");
        return 2;
    }
    int count = argc > 2 ? atoi(argv[2]) : 1000;
    if (gInitEpan() != 0) {
        fprintf(stderr, "reopen: %s\n", gGetLastError());
        return 1;
    }
    printf("opens rss_kb\n0 %ld\n", resident_kb());
    PacketSummary summary;
    for (int i = 1; i <= count; ++i) {
        if (gOpenCapture(argv[1]) != 0) {
            fprintf(stderr, "reopen: %s\n", gGetLastError());
            return 1;
        }
        while (gGetNextPacket(&summary) == 0)
            ;
        gCloseCapture();
        if (i % 100 == 0)
            printf("%d %ld\n", i, resident_kb());
    }
    gCleanupEpan();
    return 0;
}
