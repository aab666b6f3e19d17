/* wsbridge fields NAME...: registers each name and prints its engine id and
 * type code, or the library's message.
 *
 * wsbridge fields FILE -e FIELD [-e FIELD ...] [--offsets]: reads FILE and
 * prints one line per packet, tab-separated: the frame number, then the
 * first occurrence of each field (integer, text or address; empty when the
 * packet lacks it or its type has no getter). With --offsets each value is
 * followed by the field's offset from the TCP/UDP payload (the engine's start
 * when the packet has neither; empty when the field is absent). */
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cli.h"

static const char cli_group[] = "CLI";

static int print_field_ids(int argc, char **argv)
{
    for (int i = 0; i < argc; ++i)
        if (gRegisterProtocolFieldFilter(argv[i], cli_group) != 0)
            return cli_fail("register");
    int status = 0;
    for (int i = 0; i < argc; ++i) {
        int32_t id = 0, type = 0;
        if (gGetProtocolFieldFilterInfo(argv[i], &id, &type) == 0) {
            printf("%s\tid=%d\ttype=%d\n", argv[i], id, type);
        } else {
            printf("%s\terror: %s", argv[i], gGetLastError());
            status = 1;
        }
    }
    return status;
}

static int is_matched(int32_t id, int32_t count, const int32_t *ids)
{
    for (int32_t i = 0; i < count; ++i)
        if (ids[i] == id)
            return 1;
    return 0;
}

/* Prints the value of a matched field in the form its type calls for;
 * nothing when no getter takes the type. */
static void print_value(int32_t id, int32_t type)
{
    uint64_t u = 0;
    int32_t s = 0;
    const char *text = NULL;
    int32_t size = 0;
    switch (type) {
    case WSB_FT_BOOLEAN: case WSB_FT_UINT8: case WSB_FT_UINT16: case WSB_FT_UINT32: case WSB_FT_UINT64:
        if (gGetUInt64ProtocolFieldValue(&u, id) == 0)
            printf("%" PRIu64, u);
        break;
    case WSB_FT_INT64:
        if (gGetUInt64ProtocolFieldValue(&u, id) == 0)
            printf("%" PRId64, (int64_t)u);
        break;
    case WSB_FT_INT8: case WSB_FT_INT16: case WSB_FT_INT32:
        if (gGetInt32ProtocolFieldValue(&s, id) == 0)
            printf("%" PRId32, s);
        break;
    case WSB_FT_PROTOCOL: case WSB_FT_STRING: case WSB_FT_IPv4: case WSB_FT_IPv6:
        if (gGetStringProtocolFieldValue(&text, &size, id) == 0)
            fputs(text, stdout);
        break;
    default:
        break;
    }
}

static int print_packet_fields(const char *path, int field_count, char **fields, int offsets)
{
    int32_t *field_ids = calloc((size_t)field_count, sizeof *field_ids);
    if (!field_ids)
        return 1;
    int status = 0;
    for (int i = 0; i < field_count && status == 0; ++i)
        if (gRegisterProtocolFieldFilter(fields[i], cli_group) != 0)
            status = cli_fail("register");
    for (int i = 0; i < field_count && status == 0; ++i) {
        int32_t type = 0;
        if (gGetProtocolFieldFilterInfo(fields[i], &field_ids[i], &type) != 0)
            status = cli_fail(fields[i]);
    }
    if (status == 0 && gOpenCapture(path) != 0)
        status = cli_fail(path);
    if (status != 0) {
        free(field_ids);
        return status;
    }

    PacketSummary packet;
    int read;
    while ((read = gGetNextPacket(&packet)) == 0) {
        int32_t count = 0;
        const int32_t *ids = NULL;
        if (gLastPacketHasPassedFilter(cli_group, &count, &ids) != 0) {
            status = cli_fail("match");
            break;
        }
        printf("%" PRIu32, packet.frame_number);
        for (int i = 0; i < field_count; ++i) {
            int32_t offset = 0, length = 0, type = 0;
            int present = is_matched(field_ids[i], count, ids) &&
                          gGetFieldInfo(field_ids[i], &offset, &length, &type) == 0;
            putchar('\t');
            if (present)
                print_value(field_ids[i], type);
            if (offsets) {
                putchar('\t');
                if (present)
                    printf("%" PRId32, offset);
            }
        }
        putchar('\n');
    }
    if (read != 0 && read != 2 && status == 0)
        status = cli_fail("read");
    gCloseCapture();
    free(field_ids);
    return status;
}

int cli_fields(int argc, char **argv)
{
    if (argc < 1)
        return 2;
    int file_form = 0;
    for (int i = 0; i < argc; ++i)
        if (strcmp(argv[i], "-e") == 0 || strcmp(argv[i], "--offsets") == 0)
            file_form = 1;
    if (!file_form)
        return print_field_ids(argc, argv);

    const char *path = NULL;
    int offsets = 0;
    int field_count = 0;
    char **fields = calloc((size_t)argc, sizeof *fields);
    if (!fields)
        return 1;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "-e") == 0 && i + 1 < argc) {
            fields[field_count++] = argv[++i];
        } else if (strcmp(argv[i], "--offsets") == 0) {
            offsets = 1;
        } else if (!path && argv[i][0] != '-') {
            path = argv[i];
        } else {
            free(fields);
            return 2;
        }
    }
    int status = (path && field_count > 0) ? print_packet_fields(path, field_count, fields, offsets) : 2;
    free(fields);
    return status;
}
