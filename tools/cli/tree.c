/* wsbridge tree FILE FRAME: the protocol tree of one packet, in the spirit of
 * tshark -V. Reads the capture in sequence up to FRAME, then re-reads that
 * packet by its offset and prints each record indented by its depth. */
#include <stdio.h>
#include <stdlib.h>

#include "cli.h"

int cli_tree(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    char *end = NULL;
    unsigned long frame = strtoul(argv[1], &end, 10);
    if (*argv[1] == '\0' || *end != '\0' || frame == 0) {
        fprintf(stderr, "wsbridge: tree: FRAME must be a frame number from 1 on\n");
        return 1;
    }
    if (gOpenCapture(argv[0]) != 0)
        return cli_fail("open");
    PacketSummary summary;
    int status = 0;
    for (unsigned long read = 0; read < frame; ++read) {
        status = gGetNextPacket(&summary);
        if (status != 0)
            break;
    }
    if (status == 2) {
        fprintf(stderr, "wsbridge: tree: the capture has fewer than %lu packets\n", frame);
        gCloseCapture();
        return 1;
    }
    if (status != 0)
        return cli_fail("read");

    int32_t data_length = 0;
    const uint8_t *data = NULL;
    if (gBuildPacketProtocolTree(&data_length, &data, summary.frame_number, summary.file_offset,
                                 (int32_t)summary.captured_length, summary.packet_length,
                                 summary.encapsulation) != 0)
        return cli_fail("tree");
    int32_t count = 0;
    if (gGetProtocolTreeNodesCount(&count) != 0)
        return cli_fail("tree");

    /* Depth of each record; a parent always comes before its children. */
    int *depths = malloc(sizeof *depths * (size_t)(count > 0 ? count : 1));
    if (!depths) {
        fprintf(stderr, "wsbridge: tree: out of memory\n");
        return 1;
    }
    TreeNode node;
    for (int32_t i = 0; i < count; ++i) {
        if (gGetTreeNodeByIndex(&node, i) != 0) {
            free(depths);
            return cli_fail("tree");
        }
        depths[i] = node.parent_index > 0 ? depths[node.parent_index - 1] + 1 : 0;
        printf("%*s%s [%d, %d]\n", depths[i] * 2, "", node.label, node.start, node.length);
    }
    free(depths);
    gFreePacketProtocolTree();
    gCloseCapture();
    return 0;
}
