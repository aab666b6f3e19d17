// SPDX-License-Identifier: GPL-2.0-or-later
// The flattened protocol tree of a packet re-read by its file offset.
#include "tree/tree_state.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include <epan/epan_dissect.h>

#include "wsbridge.h"
#include "engine/state.h"
#include "capture/capture.h"
#include "dissection/dissection.h"
#include "compat/engine_series.h"
#include "engine/guarded_call.h"

tree_state_record tree_state;

void tree_reset()
{
    tree_state.nodes.clear();
    tree_state.sorted_handles.clear();
    tree_state.exists = false;
}

namespace {

const char not_created_message[] = "Error reading tree node: The protocols tree is not created.";
const char out_of_range_message[] = "Error reading tree node: Index out of range.";

void index_handles()
{
    tree_state.sorted_handles.clear();
    for (const TreeNode &record : tree_state.nodes)
        tree_state.sorted_handles.push_back(record.node);
    std::sort(tree_state.sorted_handles.begin(), tree_state.sorted_handles.end());
}

// Copies text, cut to size - 1 bytes, and zeroes the rest of the field so
// that a record never carries bytes of an earlier one.
void copy_text(char *destination, size_t size, const char *text)
{
    size_t length = text ? strnlen(text, size - 1) : 0;
    if (length)
        memcpy(destination, text, length);
    memset(destination + length, 0, size - length);
}

// Drops a UTF-8 sequence that a cut left incomplete at the end of text.
void drop_incomplete_utf8_tail(char *text)
{
    size_t length = strlen(text);
    size_t lead = length;
    while (lead > 0 && length - lead < 4 && (static_cast<unsigned char>(text[lead - 1]) & 0xc0) == 0x80)
        --lead;
    if (lead == 0)
        return;
    const unsigned char first = static_cast<unsigned char>(text[lead - 1]);
    size_t needed = first >= 0xf0 ? 4 : first >= 0xe0 ? 3 : first >= 0xc0 ? 2 : 1;
    if (length - (lead - 1) < needed)
        text[lead - 1] = '\0';
}

// Runs inside the engine's exception frame: labels may be composed by the
// engine, which can throw.
void flatten_current_tree(void *)
{
    tree_state.exists = true;
    proto_tree *tree = current_dissection() ? current_dissection()->tree : nullptr;
    // The root has no field of its own: its items come out at the top.
    if (tree)
        flatten_tree_node(tree, -1);
}

// The checks of the calls that read the tree built last: an open capture, a
// place for the answer (missing: "OPERATION" failed with missing_output) and
// a built tree.
bool require_built_tree(const char *operation, const void *output, const char *missing_output)
{
    if (!require_capture(operation))
        return false;
    if (!output) {
        set_error_format(WSB_E_BAD_ARGUMENT, "\"%s\" operation failed. %s", operation, missing_output);
        return false;
    }
    if (!tree_state.exists) {
        set_error_text(WSB_E_STATE, not_created_message);
        return false;
    }
    return true;
}

}  // namespace

void flatten_tree_node(proto_node *item, int32_t parent_index)
{
    field_info *fi = item->finfo;
    if (!fi) {
        // Not an item of its own: its children belong to the parent.
        for (proto_node *child = item->first_child, *next; child; child = next) {
            next = child->next;
            flatten_tree_node(child, parent_index);
        }
        return;
    }
    if (fi->flags & FI_HIDDEN)
        return;

    tree_state.nodes.emplace_back();
    TreeNode *record = &tree_state.nodes.back();
    record->parent_index = parent_index;
    record->index = static_cast<int32_t>(tree_state.nodes.size());
    record->start = fi->start;
    record->length = fi->length;
    record->field_type = series_field_type_code(series_value_engine_type(fi));
    record->node = item;

    const header_field_info *hfinfo = fi->hfinfo;
    copy_text(record->field_abbrev, sizeof record->field_abbrev, hfinfo ? hfinfo->abbrev : nullptr);
    copy_text(record->field_name, sizeof record->field_name, hfinfo ? hfinfo->name : nullptr);

    char composed[series_label_length];
    const char *label = series_item_label(fi, composed);
    if (fi->flags & FI_GENERATED) {
        // "[label]"; a text of more than 237 characters loses its closing
        // bracket and its tail; the cut never leaves half a character behind.
        constexpr size_t room = sizeof record->label - 2;  // the bracket and the end
        const size_t length = strnlen(label, room + 1);
        record->label[0] = '[';
        if (length < room) {
            memcpy(record->label + 1, label, length);
            record->label[length + 1] = ']';
            memset(record->label + length + 2, 0, sizeof record->label - length - 2);
        } else {
            memcpy(record->label + 1, label, room);
            record->label[room + 1] = '\0';
            drop_incomplete_utf8_tail(record->label);
        }
    } else
        copy_text(record->label, sizeof record->label, label);

    const int32_t own_index = record->index;
    for (proto_node *child = item->first_child, *next; child; child = next) {
        next = child->next;
        flatten_tree_node(child, own_index);
    }
}

bool tree_node_handle_is_current(const void *node)
{
    if (!tree_state.exists || !node || tree_state.generation != dissection_generation())
        return false;
    return std::binary_search(tree_state.sorted_handles.begin(), tree_state.sorted_handles.end(), node);
}

const field_info *tree_node_field_info(const void *node)
{
    if (!tree_node_handle_is_current(node))
        return nullptr;
    return static_cast<const proto_node *>(node)->finfo;
}

int32_t gBuildPacketProtocolTree(int32_t *data_length, const uint8_t **data, uint32_t frame_number,
                                 int64_t file_offset, int32_t captured_length, uint32_t packet_length,
                                 int32_t encapsulation)
{
    if (data_length)
        *data_length = 0;
    if (!require_capture("Build Packet Tree"))
        return WSB_FAILED;
    if (!data_length || !data) {
        set_error_text(WSB_E_BAD_ARGUMENT, "\"Build Packet Tree\" operation failed. No address was given for the data length or the "
                       "data pointer.");
        return WSB_FAILED;
    }
    tree_reset();

    const packet_locator locator{frame_number, file_offset, captured_length, packet_length, encapsulation};
    int32_t status = read_and_redissect(locator, nullptr,
                                        "You can not access tree information for packets whose offset in the file "
                                        "exceeds 2GB.\n You have to split the capture in order to see such "
                                        "information.");
    if (status == WSB_OK)
        status = run_in_engine_frame(flatten_current_tree, nullptr, "Building the protocol tree");
    if (status == WSB_FAILED) {
        tree_reset();
        return WSB_FAILED;
    }
    // The bytes were read and are the packet's, also when the engine ran out
    // of memory while dissecting them.
    *data_length = captured_length;
    *data = redissected_bytes();
    if (status != WSB_OK) {
        tree_reset();
        return status;
    }
    tree_state.generation = dissection_generation();
    index_handles();
    return WSB_OK;
}

int32_t gGetProtocolTreeNodesCount(int32_t *count)
{
    if (!require_built_tree("Get Protocol Tree Nodes Count", count, "No address was given for the count."))
        return WSB_FAILED;
    *count = static_cast<int32_t>(tree_state.nodes.size());
    return WSB_OK;
}

int32_t gGetTreeNodeByIndex(TreeNode *node, int32_t position)
{
    if (!require_built_tree("Get Tree Node by Index", node, "No TreeNode record was given."))
        return WSB_FAILED;
    if (position < 0 || static_cast<size_t>(position) >= tree_state.nodes.size()) {
        set_error_text(WSB_E_BAD_ARGUMENT, out_of_range_message);
        return WSB_FAILED;
    }
    *node = tree_state.nodes[static_cast<size_t>(position)];
    return WSB_OK;
}

int32_t gFreePacketProtocolTree(void)
{
    tree_reset();
    return WSB_OK;
}
