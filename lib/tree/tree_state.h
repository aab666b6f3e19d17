/* SPDX-License-Identifier: GPL-2.0-or-later */
// The tree module's state record (private to lib/tree).
#pragma once

#include <cstdint>
#include <vector>

#include "tree/tree.h"

struct tree_state_record {
    // The records of the tree built last, while exists. They survive closing
    // the capture and ending the engine; only gFreePacketProtocolTree and the
    // next gBuildPacketProtocolTree that passes its guards end them. The
    // storage is kept from tree to tree, so building a tree allocates only
    // when a tree is larger than every tree before it.
    std::vector<TreeNode> nodes;
    bool exists;
    // The dissection the records were taken from, and their node handles
    // sorted by address so that a handle can be checked without walking the
    // array.
    uint64_t generation;
    std::vector<const void *> sorted_handles;
};
extern tree_state_record tree_state;

// Ends the records of the tree built last (the storage is kept).
void tree_reset();

// Appends item and its visible descendants to the tree's records; hidden items and
// their subtrees are left out without using up an index.
void flatten_tree_node(proto_node *item, int32_t parent_index);
