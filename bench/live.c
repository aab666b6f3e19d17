/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Live capture on the loopback interface: resident memory over millions of
 * packets and the rate read without loss.
 *
 *   wsb_live capture PACKETS RATE [SESSION]   sends PACKETS UDP datagrams on
 *       lo at RATE a second (0: as fast as it can) to a port of its own and
 *       reads them through a live capture (SESSION: a new dissection session
 *       every SESSION packets, with a ring of two 64 MB spool files; 0 or
 *       absent: one session, one spool file); prints resident memory at
 *       every million packets read, then packets read, sent, dropped and the
 *       rate.
 *   wsb_live send PORT PACKETS RATE   only sends (for tshark -i lo beside it).
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "wsbridge.h"
#include "resident.h"

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + t.tv_nsec / 1e9;
}

struct sending {
    uint16_t port;
    uint64_t packets;
    double rate;
    uint64_t sent;
};

/* Sends in bursts of 100, paced to the rate. */
static void *send_packets(void *argument)
{
    struct sending *s = argument;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(s->port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    char payload[18] = "wsbridge live ben";
    const double start = now();
    for (s->sent = 0; s->sent < s->packets;) {
        for (int i = 0; i < 100 && s->sent < s->packets; ++i, ++s->sent)
            sendto(fd, payload, sizeof payload, 0, (struct sockaddr *)&to, sizeof to);
        if (s->rate > 0) {
            const double due = start + (double)s->sent / s->rate;
            const double wait = due - now();
            if (wait > 0) {
                struct timespec pause = {(time_t)wait, (long)((wait - (time_t)wait) * 1e9)};
                nanosleep(&pause, NULL);
            }
        }
    }
    close(fd);
    return NULL;
}

static uint16_t free_port(void)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (struct sockaddr *)&address, sizeof address);
    socklen_t size = sizeof address;
    getsockname(fd, (struct sockaddr *)&address, &size);
    close(fd);
    return ntohs(address.sin_port);
}

int main(int argc, char **argv)
{
    if (argc >= 5 && strcmp(argv[1], "send") == 0) {
        struct sending s = {(uint16_t)atoi(argv[2]), strtoull(argv[3], NULL, 10), atof(argv[4]), 0};
        send_packets(&s);
        return 0;
    }
    if (argc < 4 || strcmp(argv[1], "capture") != 0) {
        fprintf(stderr, "usage: wsb_live capture PACKETS RATE [SESSION] | send PORT PACKETS RATE\n");
        return 2;
    }
    const uint64_t packets = strtoull(argv[2], NULL, 10);
    const double rate = atof(argv[3]);
    const int32_t session = argc > 4 ? atoi(argv[4]) : 0;
    struct sending s = {free_port(), packets, rate, 0};
    char filter[64];
    snprintf(filter, sizeof filter, "udp dst port %u", s.port);
    WsbLiveOptions options;
    memset(&options, 0, sizeof options);
    options.interface_name = "lo";
    options.capture_filter = filter;
    options.stop_after_packets = (int32_t)packets;
    options.session_packets = session;
    if (session > 0) {
        options.ring_file_kilobytes = 65536;
        options.ring_files = 2;
    }
    if (gInitEpan() != 0 || gOpenLiveCapture(&options) != 0) {
        fprintf(stderr, "%s\n", gGetLastError());
        return 1;
    }
    printf("start: resident %ld kB\n", resident_kb());
    pthread_t sender;
    pthread_create(&sender, NULL, send_packets, &s);
    const double start = now();
    PacketSummary p;
    int status;
    uint64_t read = 0;
    while ((status = gGetNextPacket(&p)) == 0) {
        if (++read % 1000000 == 0) {
            printf("%llu packets: resident %ld kB, %.0f packets/s\n", (unsigned long long)read, resident_kb(),
                   (double)read / (now() - start));
            fflush(stdout);
        }
        /* The sender is done and dumpcap has all it will get: stop. */
        if (s.sent == packets && read < packets && gWaitForPacket(3000) == WSB_TIMED_OUT) {
            gStopLiveCapture();
        }
    }
    const double seconds = now() - start;
    pthread_join(sender, NULL);
    uint64_t written = 0, dropped = 0;
    gGetLiveCaptureCounts(&written, &dropped);
    printf("end (status %d%s%s): read %llu, sent %llu, written %llu, dropped %llu, %.1f s, %.0f packets/s, "
           "resident %ld kB\n",
           status, status == 2 ? "" : ": ", status == 2 ? "" : gGetLastError(), (unsigned long long)read,
           (unsigned long long)s.sent, (unsigned long long)written, (unsigned long long)dropped, seconds,
           (double)read / seconds, resident_kb());
    gCloseCapture();
    gCleanupEpan();
    return 0;
}
