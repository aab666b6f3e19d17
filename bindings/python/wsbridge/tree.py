# SPDX-License-Identifier: GPL-2.0-or-later
"""A packet's protocol tree: Tree and its Nodes."""

import ctypes
from typing import Iterator, List

from . import native
from ._guard import Call, guarded
from .errors import StaleObjectError
from .native import FieldType, Status
from .records import Locator, enum_or_int, sized_text, text

__all__ = ["Node", "Tree"]


class Node:
    """One item of a protocol tree. `parent` is None at the top level;
    `children` keeps the tree's order. The texts and positions stay readable
    for good; the value getters read the engine's item through `handle`,
    which only the packet dissected last has: after another dissection, or
    when the capture is closed, they raise (StaleObjectError,
    CaptureClosedError)."""

    __slots__ = ("tree", "index", "parent_index", "start", "length", "field_type",
                 "abbrev", "name", "label", "handle", "parent", "children")

    def __init__(self, tree: "Tree", record: native.TreeNode):
        self.tree = tree
        self.index = record.index
        self.parent_index = record.parent_index
        self.start = record.start
        self.length = record.length
        self.field_type = enum_or_int(FieldType, record.field_type)
        self.abbrev = text(record.field_abbrev)
        self.name = text(record.field_name)
        self.label = text(record.label)
        self.handle = record.node
        self.parent = None
        self.children = []

    @property
    def depth(self) -> int:
        depth, node = 0, self.parent
        while node is not None:
            depth, node = depth + 1, node.parent
        return depth

    def walk(self) -> Iterator["Node"]:
        """This node and its descendants, depth first."""
        yield self
        for child in self.children:
            yield from child.walk()

    def _read(self, operation, getter, *outputs):
        """Calls a by-node getter with the outputs; the library's text of a
        string value is copied while the lock is held."""
        with guarded(operation, self.tree) as call:
            call(getattr(call.engine.raw, getter), self.handle,
                 *(ctypes.byref(output) for output in outputs))
            if getter in ("gGetStringProtocolFieldValueByTreeNode", "gGetFieldValueTextByTreeNode"):
                return sized_text(outputs[0], outputs[1].value)
        return outputs[0].value

    def uint64(self) -> int:
        """gGetUInt64ProtocolFieldValueByTreeNode."""
        return self._read("uint64 value", "gGetUInt64ProtocolFieldValueByTreeNode",
                          ctypes.c_uint64())

    def int32(self) -> int:
        """gGetInt32ProtocolFieldValueByTreeNode."""
        return self._read("int32 value", "gGetInt32ProtocolFieldValueByTreeNode", ctypes.c_int32())

    def string(self) -> str:
        """gGetStringProtocolFieldValueByTreeNode (copied)."""
        return self._read("string value", "gGetStringProtocolFieldValueByTreeNode",
                          ctypes.c_void_p(), ctypes.c_int32())

    def value_text(self) -> str:
        """The item's value of any type as tshark -T fields prints it
        (gGetFieldValueTextByTreeNode); a protocol item gives its label."""
        return self._read("value text", "gGetFieldValueTextByTreeNode", ctypes.c_void_p(),
                          ctypes.c_int32())

    def __repr__(self):
        return "<wsbridge.Node %d %r>" % (self.index, self.label)


class Tree:
    """A packet's protocol tree: `nodes` in the library's order (depth first,
    parents first), `roots` the top-level items, `data` the packet's bytes.
    It belongs to its capture and to the dissection that built it (see
    Node)."""

    def __init__(self, capture, locator: Locator, data: bytes, generation: int):
        self.capture = capture
        self.engine = capture.engine
        self._engine = capture.engine
        self.locator = locator
        self.data = data
        self.nodes: List[Node] = []
        self.roots: List[Node] = []
        self._generation = generation  # the library's dissection generation of the tree

    def _check(self, operation):
        self.capture._check(operation)
        if self._generation != Call(self.engine, operation).generation():
            raise StaleObjectError(Status.FAILED, "The tree's packet is no longer the packet "
                                   "dissected last; build the tree again.", operation)

    @classmethod
    def _build(cls, capture, call, locator):
        """Re-reads the packet of `locator` and builds its tree (under the
        lock the caller holds)."""
        raw = capture.engine.raw
        length, count = ctypes.c_int32(0), ctypes.c_int32(0)
        data = ctypes.POINTER(ctypes.c_uint8)()
        call(raw.gBuildPacketProtocolTree, ctypes.byref(length), ctypes.byref(data),
             *locator.arguments())
        payload = ctypes.string_at(data, length.value) if length.value > 0 else b""
        call(raw.gGetProtocolTreeNodesCount, ctypes.byref(count))
        tree = cls(capture, locator, payload, call.generation())
        record = native.TreeNode()
        for position in range(count.value):
            call(raw.gGetTreeNodeByIndex, ctypes.byref(record), position)
            tree.nodes.append(Node(tree, record))
        tree._link()
        return tree

    def _link(self):
        for node in self.nodes:
            parent_index = node.parent_index
            if 1 <= parent_index <= len(self.nodes):
                node.parent = self.nodes[parent_index - 1]
                node.parent.children.append(node)
            else:
                self.roots.append(node)

    def __len__(self):
        return len(self.nodes)

    def __iter__(self) -> Iterator[Node]:
        return iter(self.nodes)

    def __getitem__(self, position) -> Node:
        return self.nodes[position]

    def find(self, abbrev: str) -> List[Node]:
        """The nodes of a field name ("tcp.srcport"), in tree order."""
        return [node for node in self.nodes if node.abbrev == abbrev]

    def format(self) -> str:
        """One line per node, indented by depth: "LABEL [start, length]"."""
        return "".join("%s%s [%d, %d]\n" % ("  " * node.depth, node.label, node.start, node.length)
                       for node in self.nodes)
