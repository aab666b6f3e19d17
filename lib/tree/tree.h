/* SPDX-License-Identifier: GPL-2.0-or-later */
// The flattened protocol tree: the labelled tree of the packet that
// gBuildPacketProtocolTree re-read, copied into an array of TreeNode records
// (depth first, parents before children), and the checks that tell whether a
// record's node handle still points into the current dissection.
#pragma once

#include <cstdint>
#include <vector>

#include <glib.h>
#include <epan/proto.h>

#include "wsbridge.h"

// True only when a flattened tree exists, the dissection it was built from is still
// the current one, and node is the handle of one of its records. No engine
// call and no allocation.
bool tree_node_handle_is_current(const void *node);

// The field record behind a handle that tree_node_handle_is_current accepts;
// null for any other handle.
const field_info *tree_node_field_info(const void *node);
