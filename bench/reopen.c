/* SPDX-License-Identifier: GPL-2.0-or-later */
/* reopen COUNT FILE...: opens, reads and closes COUNT captures in one process,
 * taking the FILEs in turn, and prints the resident memory after the first 30
 * and after every 100, then how much the process grew after the first 30
 * (by then the engine's one-time tables and the allocator's pools are in
 * place, so what follows is what each capture keeps). A host that stays up
 * must not grow with the number of captures it has read.
 * With WSB_HACKED_CLEANUP set, gHackedCleanup runs after each capture's first
 * packet, so that the rest of the capture is read in a second session. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "resident.h"
#include "wsbridge.h"

int main(int argc, char **argv)
{
    if (argc < 3 || atoi(argv[1]) < 1) {
        fprintf(stderr, "usage: reopen COUNT FILE...\n");
        return 2;
    }
    const int count = atoi(argv[1]);
    const int files = argc - 2;
    const int hacked_cleanup = getenv("WSB_HACKED_CLEANUP") != NULL;
    if (gInitEpan() != WSB_OK) {
        fprintf(stderr, "reopen: %s\n", gGetLastError());
        return 1;
    }
    printf("opens rss_kb\n0 %ld\n", resident_kb());
    long after_warmup = -1;
    PacketSummary summary;
    for (int i = 1; i <= count; ++i) {
        const char *path = argv[2 + (i - 1) % files];
        if (gOpenCapture(path) != WSB_OK) {
            fprintf(stderr, "reopen: %s: %s\n", path, gGetLastError());
            return 1;
        }
        for (int packet = 1; gGetNextPacket(&summary) == WSB_OK; ++packet)
            if (packet == 1 && hacked_cleanup)
                gHackedCleanup();
        gCloseCapture();
        if (i == 30)
            after_warmup = resident_kb();
        if (i == 30 || i % 100 == 0)
            printf("%d %ld\n", i, resident_kb());
    }
    if (after_warmup >= 0)
        printf("growth after the first 30 captures: %.1f MB over %d captures\n",
               (double)(resident_kb() - after_warmup) / 1024.0, count - 30);
    gCleanupEpan();
    return 0;
}
