/* SPDX-License-Identifier: GPL-2.0-or-later */
/* trees FILE COUNT: reads FILE in sequence, then builds the protocol trees of
 * COUNT packets spread evenly over it and copies out every node. With COUNT
 * 0 only the sequential pass runs, so the difference of the two runs is the
 * cost of the trees. */
#include "locators.h"

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: trees FILE COUNT\n");
        return 2;
    }
    long wanted = atol(argv[2]);
    size_t n = 0;
    if (gInitEpan() != 0)
        return 1;
    bench_locator *all = read_locators(argv[1], &n);
    if (!all || n == 0) {
        fprintf(stderr, "trees: %s\n", gGetLastError());
        return 1;
    }
    unsigned long nodes = 0;
    for (long i = 0; i < wanted; ++i) {
        const bench_locator *l = &all[(size_t)((double)i * (double)n / (double)wanted)];
        int32_t length;
        const uint8_t *bytes;
        if (gBuildPacketProtocolTree(&length, &bytes, LOCATOR_ARGS(l)) != 0) {
            fprintf(stderr, "trees: %s\n", gGetLastError());
            return 1;
        }
        int32_t count = 0;
        gGetProtocolTreeNodesCount(&count);
        TreeNode node;
        for (int32_t k = 0; k < count; ++k)
            if (gGetTreeNodeByIndex(&node, k) == 0)
                ++nodes;
    }
    gFreePacketProtocolTree();
    gCloseCapture();
    gCleanupEpan();
    printf("%zu packets, %ld trees, %lu nodes\n", n, wanted, nodes);
    free(all);
    return 0;
}
