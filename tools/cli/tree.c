/* SPDX-License-Identifier: GPL-2.0-or-later */
/* wsbridge tree FILE FRAME [--json]: the protocol tree of one packet, in the
 * spirit of tshark -V. Reads the capture in sequence up to FRAME, then
 * re-reads that packet by its offset and prints each record indented by its
 * depth, or the whole tree as one JSON object with nested children. */
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>

#include "wsbridge.h"
#include "engine.h"
#include "format.h"
#include "input.h"
#include "options.h"
#include "output.h"
#include "progress.h"
#include "report.h"
#include "verbs.h"

/* What the arguments set. */
static struct {
    const char *file, *frame;
    int json;
} settings;

static const cli_option tree_options[] = {
    CLI_FILE_ARGUMENT(CLI_TEXT, &settings.file),
    {"FRAME", NULL, NULL, CLI_TEXT, &settings.frame, .help = "the frame number, from 1 on"},
    {"--json", NULL, NULL, CLI_FLAG, &settings.json,
     .help = "one JSON object: {\"frame_number\": N, \"nodes\": [...]}, each node\n"
             "with label, field_abbrev, field_name, field_type, start,\n"
             "length and its children"},
    {0},
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

static int run_tree(void)
{
    static const char verb[] = "tree";
    const int json = settings.json;
    if (!settings.file || !settings.frame)
        return cli_usage_error(verb, !settings.file ? "FILE and FRAME are missing" : "FRAME is missing");
    uint32_t frame = 0;
    if (cli_parse_frame(verb, "FRAME", settings.frame, &frame) != CLI_OK)
        return CLI_USAGE;

    int status;
    if (cli_start_engine() != CLI_OK)
        return CLI_FAILED;
    if ((status = cli_open_capture(verb, settings.file)) != CLI_OK)
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

const cli_verb cli_tree_verb = {
    "tree",
    "tree FILE FRAME [--json]",
    "The protocol tree of packet FRAME, one item per line indented by depth, with\n"
    "[start, length] of its bytes, close to tshark -V.",
    tree_options,
    run_tree,
    NULL,
};
