/* follow FILE FRAME: reads FILE in sequence, follows the TCP conversation of
 * frame FRAME, adds the packets between the same two endpoints (what a host
 * that has the summaries does) and reads the whole stream as ascii. */
#include "locators.h"

static int same_conversation(const bench_locator *a, const bench_locator *b)
{
    if (a->port_type != b->port_type)
        return 0;
    if (a->source_port == b->source_port && a->destination_port == b->destination_port &&
        strcmp(a->source, b->source) == 0 && strcmp(a->destination, b->destination) == 0)
        return 1;
    return a->source_port == b->destination_port && a->destination_port == b->source_port &&
           strcmp(a->source, b->destination) == 0 && strcmp(a->destination, b->source) == 0;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: follow FILE FRAME\n");
        return 2;
    }
    size_t frame = (size_t)atol(argv[2]), n = 0;
    if (gInitEpan() != 0)
        return 1;
    bench_locator *all = read_locators(argv[1], &n);
    if (!all || frame == 0 || frame > n) {
        fprintf(stderr, "follow: no frame %zu\n", frame);
        return 1;
    }
    const bench_locator *first = &all[frame - 1];
    if (gFollowTCPStreamForPacket(LOCATOR_ARGS(first)) != 0) {
        fprintf(stderr, "follow: %s\n", gGetLastError());
        return 1;
    }
    size_t added = 0;
    for (size_t i = 0; i < n; ++i) {
        if (!same_conversation(&all[i], first))
            continue;
        if (gAddPacketToTCPStream(LOCATOR_ARGS(&all[i])) != 0) {
            fprintf(stderr, "follow: %s\n", gGetLastError());
            return 1;
        }
        ++added;
    }
    uint8_t valid = 0;
    const char *server, *client, *conversation;
    int32_t server_size, client_size, conversation_size;
    if (gIsValidTcpStrem(&valid, 0, &server, &server_size, &client, &client_size, &conversation,
                         &conversation_size) != 0 || !valid) {
        fprintf(stderr, "follow: %s\n", gGetLastError());
        return 1;
    }
    unsigned long chunks = 0, bytes = 0;
    for (;;) {
        const char *text;
        uint32_t size;
        uint8_t is_server, end;
        if (gGetNextTCPStreamLine(0, 2, &text, &size, &is_server, &end) != 0)
            return 1;
        if (end)
            break;
        ++chunks;
        bytes += size;
    }
    printf("%zu packets added, %lu chunks, %lu text bytes; %s\n", added, chunks, bytes, conversation);
    gCloseCapture();
    gCleanupEpan();
    free(all);
    return 0;
}
