/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Reads a capture through the library and keeps what re-reading each packet
 * by offset needs. Shared by the random-access benchmark programs. */
#ifndef WSB_BENCH_LOCATORS_H
#define WSB_BENCH_LOCATORS_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "wsbridge.h"

typedef struct {
    uint32_t frame_number;
    int64_t file_offset;
    int32_t captured_length;
    uint32_t packet_length;
    int32_t encapsulation;
    int32_t port_type;
    uint16_t source_port, destination_port;
    char source[64], destination[64];
} bench_locator;

/* Opens path and reads it to its end; returns the locators (count in *n). */
static inline bench_locator *read_locators(const char *path, size_t *n)
{
    if (gOpenCapture(path) != 0)
        return NULL;
    size_t capacity = 1 << 16, count = 0;
    bench_locator *all = malloc(capacity * sizeof *all);
    PacketSummary s;
    while (gGetNextPacket(&s) == 0) {
        if (count == capacity)
            all = realloc(all, (capacity *= 2) * sizeof *all);
        bench_locator *l = &all[count++];
        l->frame_number = s.frame_number;
        l->file_offset = s.file_offset;
        l->captured_length = (int32_t)s.captured_length;
        l->packet_length = s.packet_length;
        l->encapsulation = s.encapsulation;
        l->port_type = s.port_type;
        l->source_port = s.source_port;
        l->destination_port = s.destination_port;
        memcpy(l->source, s.source_text, sizeof l->source);
        memcpy(l->destination, s.destination_text, sizeof l->destination);
    }
    *n = count;
    return all;
}

#define LOCATOR_ARGS(l) (l)->frame_number, (l)->file_offset, (l)->captured_length, (l)->packet_length, \
                        (l)->encapsulation

#endif
