/* SPDX-License-Identifier: GPL-2.0-or-later */
/* wsbridge tree FILE FRAME [--json]: the protocol tree of one packet, in the
 * spirit of tshark -V. Reads the capture in sequence up to FRAME, then
 * re-reads that packet by its offset and prints each record indented by its
 * depth, or the whole tree as one JSON object with nested children. */
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>

#include "cli.h"

static const cli_option tree_options[] = {
    {"--json", NULL, NULL},
};

static void print_json_node(const TreeNode *node)
{
    fputs("{\"label\":", stdout);
    cli_json_string(stdout, node->label);
    fputs(",\"field_abbrev\":", stdout);
    cli_json_string(stdout, node->field_abbrev);
    fputs(",\"field_name\":", stdout);
    cli_json_string(stdout, node->field_name);
    printf(",\"field_type\":%" PRId32 ",\"start\":%" PRId32 ",\"length\":%" PRId32, node->field_type, node->start,
           node->length);
}

int cli_tree(int argc, char **argv)
{
    static const char verb[] = "tree";
    cli_argument arguments[argc > 0 ? argc : 1];
    int count = 0;
    int status = cli_parse(verb, argc, argv, tree_options, 1, arguments, &count);
    if (status != CLI_OK)
        return status < 0 ? CLI_OK : status;
    const char *positional[2] = {NULL, NULL};
    int positional_count = 0, json = 0;
    for (int i = 0; i < count; ++i) {
        if (arguments[i].option == 0) {
            json = 1;
        } else if (positional_count == 2) {
            return cli_usage_error(verb, "unexpected argument '%s' after FILE and FRAME", arguments[i].value);
        } else {
            positional[positional_count++] = arguments[i].value;
        }
    }
    if (positional_count < 2)
        return cli_usage_error(verb, positional_count == 0 ? "FILE and FRAME are missing" : "FRAME is missing");
    uint32_t frame = 0;
    if (cli_parse_frame(verb, "FRAME", positional[1], &frame) != CLI_OK)
        return CLI_USAGE;

    if (cli_start_engine() != CLI_OK)
        return CLI_FAILED;
    if ((status = cli_open_capture(verb, positional[0])) != CLI_OK)
        return status;
    PacketSummary summary;
    uint64_t read = 0;
    cli_progress_begin();
    while (read < frame) {
        status = gGetNextPacket(&summary);
        if (status != WSB_OK)
            break;
        ++read;
        cli_progress_update(read, summary.file_offset);
    }
    cli_progress_end();
    if (status == WSB_END) {
        gCloseCapture();
        return cli_no_such_frame(verb, frame, read);
    }
    if (status != WSB_OK)
        return cli_fail("read");

    int32_t data_length = 0;
    const uint8_t *data = NULL;
    if (gBuildPacketProtocolTree(&data_length, &data, summary.frame_number, summary.file_offset,
                                 (int32_t)summary.captured_length, summary.packet_length,
                                 summary.encapsulation) != 0)
        return cli_fail("tree");
    int32_t nodes = 0;
    if (gGetProtocolTreeNodesCount(&nodes) != WSB_OK)
        return cli_fail("tree");

    /* Depth of each record; a parent always comes before its children. */
    int *depths = malloc(sizeof *depths * (size_t)(nodes > 0 ? nodes : 1));
    if (!depths) {
        fprintf(stderr, "wsbridge: tree: out of memory\n");
        return CLI_FAILED;
    }
    if (json)
        printf("{\"frame_number\":%" PRIu32 ",\"nodes\":[", summary.frame_number);
    TreeNode node;
    int previous = -1;
    for (int32_t i = 0; i < nodes; ++i) {
        if (gGetTreeNodeByIndex(&node, i) != WSB_OK) {
            free(depths);
            return cli_fail("tree");
        }
        int parent = node.parent_index - 1;
        depths[i] = parent >= 0 && parent < i ? depths[parent] + 1 : 0;
        if (!json) {
            printf("%*s%s [%d, %d]\n", depths[i] * 2, "", node.label, node.start, node.length);
            continue;
        }
        /* Nodes stay open until the next one shows whether they have children. */
        if (previous >= 0 && depths[i] > previous) {
            fputs(",\"children\":[", stdout);
        } else if (previous >= 0) {
            putchar('}');
            for (int d = previous; d > depths[i]; --d)
                fputs("]}", stdout);
            putchar(',');
        }
        print_json_node(&node);
        previous = depths[i];
    }
    if (json) {
        if (previous >= 0) {
            putchar('}');
            for (int d = previous; d > 0; --d)
                fputs("]}", stdout);
        }
        fputs("]}\n", stdout);
    }
    free(depths);
    gFreePacketProtocolTree();
    gCloseCapture();
    return cli_output_failed() ? CLI_FAILED : CLI_OK;
}
