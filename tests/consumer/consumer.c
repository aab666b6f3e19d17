/* SPDX-License-Identifier: GPL-2.0-or-later */
/* A program that uses an installed wsbridge: it includes only the public
 * header and links only -lwsbridge. It starts the engine, reads every packet
 * of the capture named on the command line and prints how many it read. */
#include <stdio.h>

#include <wsbridge.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s CAPTURE\n", argv[0]);
        return 2;
    }
    if (gInitEpan() != 0 || gOpenCapture(argv[1]) != 0) {
        fprintf(stderr, "%s\n", gGetLastError());
        return 1;
    }
    PacketSummary summary;
    unsigned long packets = 0;
    int32_t status;
    while ((status = gGetNextPacket(&summary)) == 0)
        ++packets;
    if (status != 2) {
        fprintf(stderr, "%s\n", gGetLastError());
        return 1;
    }
    if (gCloseCapture() != 0 || gCleanupEpan() != 0) {
        fprintf(stderr, "%s\n", gGetLastError());
        return 1;
    }
    printf("%lu packets\n", packets);
    return 0;
}
