// SPDX-License-Identifier: GPL-2.0-or-later
using System;
using System.Collections;
using System.Collections.Generic;
using System.Text;
using Wsbridge.Interop;

namespace Wsbridge;

/// <summary>
/// A packet's protocol tree (<see cref="Capture.BuildTree"/>): its nodes in the
/// library's order (depth first, parents before children), the top-level
/// <see cref="Roots"/> and the packet's bytes. The nodes' texts and positions
/// stay readable; their values only while the tree's packet is the packet
/// dissected last and its capture is open.
/// </summary>
public sealed class Tree : IReadOnlyList<Node>
{
    readonly List<Node> nodes;
    readonly List<Node> roots = new();
    internal readonly ulong Generation;

    internal Tree(Capture capture, Summary packet, byte[] data, int count, ulong generation)
    {
        Capture = capture;
        Packet = packet;
        Data = data;
        nodes = new List<Node>(count);
        Generation = generation;
    }

    /// <summary>The capture the tree was built from.</summary>
    public Capture Capture { get; }

    /// <summary>The packet whose tree this is.</summary>
    public Summary Packet { get; }

    /// <summary>The packet's bytes (the data source of the nodes on the packet).</summary>
    public ReadOnlyMemory<byte> Data { get; }

    /// <summary>The top-level nodes.</summary>
    public IReadOnlyList<Node> Roots => roots;

    /// <summary>The number of nodes.</summary>
    public int Count => nodes.Count;

    /// <summary>The node at a position (0 to <see cref="Count"/> - 1).</summary>
    public Node this[int position] => nodes[position];

    /// <inheritdoc/>
    public IEnumerator<Node> GetEnumerator() => nodes.GetEnumerator();

    IEnumerator IEnumerable.GetEnumerator() => GetEnumerator();

    internal unsafe void Add(TreeNode* record) => nodes.Add(new Node(this, record));

    internal void Link()
    {
        foreach (Node node in nodes)
        {
            int parent = node.ParentIndex;
            if (parent >= 1 && parent <= nodes.Count)
            {
                node.Parent = nodes[parent - 1];
                node.Parent.ChildList.Add(node);
            }
            else
            {
                roots.Add(node);
            }
        }
    }

    /// <summary>The nodes of a field name ("tcp.srcport"), in tree order.</summary>
    public List<Node> Find(string fieldAbbrev) => nodes.FindAll(node => node.FieldAbbrev == fieldAbbrev);

    /// <summary>One line per node, indented by two spaces per level: "LABEL [start, length]".</summary>
    public string Format()
    {
        var text = new StringBuilder();
        foreach (Node node in nodes)
            text.Append(' ', 2 * node.Depth).Append(node.Label).Append(" [").Append(node.Start).Append(", ")
                .Append(node.Length).Append("]\n");
        return text.ToString();
    }

    // Throws unless the library can still answer for the nodes' handles.
    internal void CheckCurrent()
    {
        Capture.CheckOpen();
        if (Generation != Guard.Generation())
            throw new InvalidOperationException(
                "The tree's packet is no longer the packet dissected last; build the tree again.");
    }
}

/// <summary>
/// One item of a protocol tree. <see cref="Parent"/> is null at the top
/// level; <see cref="Children"/> keep the tree's order. The value getters
/// read the engine's item, which only the packet dissected last has: after
/// another dissection they throw <see cref="InvalidOperationException"/>,
/// once the capture is closed <see cref="ObjectDisposedException"/>.
/// </summary>
public sealed class Node
{
    readonly IntPtr handle;
    internal readonly List<Node> ChildList = new();

    internal unsafe Node(Tree tree, TreeNode* record)
    {
        Tree = tree;
        Index = record->Index;
        ParentIndex = record->ParentIndex;
        Start = record->Start;
        Length = record->Length;
        FieldType = (FieldType)record->FieldType;
        FieldAbbrev = Native.Text(record->FieldAbbrev, 256);
        FieldName = Native.Text(record->FieldName, 240);
        Label = Native.Text(record->Label, 240);
        handle = (IntPtr)record->Node;
    }

    /// <summary>The tree of the node.</summary>
    public Tree Tree { get; }

    /// <summary>Position in the tree + 1.</summary>
    public int Index { get; }

    /// <summary>The parent's <see cref="Index"/>; -1 at the top level.</summary>
    public int ParentIndex { get; }

    /// <summary>First byte of the item in its data source.</summary>
    public int Start { get; }

    /// <summary>Bytes the item covers.</summary>
    public int Length { get; }

    /// <summary>The type of the item's value.</summary>
    public FieldType FieldType { get; }

    /// <summary>Filter name ("ip.src"), empty when none.</summary>
    public string FieldAbbrev { get; }

    /// <summary>Display name ("Source Address"), empty when none.</summary>
    public string FieldName { get; }

    /// <summary>The item's text in the tree (generated items in square brackets).</summary>
    public string Label { get; }

    /// <summary>The parent node, or null at the top level.</summary>
    public Node? Parent { get; internal set; }

    /// <summary>The child nodes in tree order.</summary>
    public IReadOnlyList<Node> Children => ChildList;

    /// <summary>0 at the top level.</summary>
    public int Depth
    {
        get
        {
            int depth = 0;
            for (Node? node = Parent; node != null; node = node.Parent)
                ++depth;
            return depth;
        }
    }

    /// <summary>This node and its descendants, depth first.</summary>
    public IEnumerable<Node> Walk()
    {
        var pending = new Stack<Node>();
        pending.Push(this);
        while (pending.Count > 0)
        {
            Node node = pending.Pop();
            yield return node;
            for (int i = node.ChildList.Count - 1; i >= 0; --i)
                pending.Push(node.ChildList[i]);
        }
    }

    /// <summary>
    /// The item's value of any type as tshark -T fields prints it
    /// (gGetFieldValueTextByTreeNode); a protocol item gives its label.
    /// </summary>
    /// <exception cref="InvalidOperationException">Another packet was dissected since the tree was built.</exception>
    /// <exception cref="ObjectDisposedException">The capture is closed.</exception>
    public unsafe string ValueText => ReadText("value text", &Native.gGetFieldValueTextByTreeNode);

    /// <summary>The item's value as an unsigned 64-bit number (gGetUInt64ProtocolFieldValueByTreeNode).</summary>
    public unsafe ulong GetUInt64() => Read<ulong>("uint64 value", &Native.gGetUInt64ProtocolFieldValueByTreeNode);

    /// <summary>The item's value as a signed 32-bit number (gGetInt32ProtocolFieldValueByTreeNode).</summary>
    public unsafe int GetInt32() => Read<int>("int32 value", &Native.gGetInt32ProtocolFieldValueByTreeNode);

    /// <summary>The item's text (gGetStringProtocolFieldValueByTreeNode).</summary>
    public unsafe string GetString() => ReadText("string value", &Native.gGetStringProtocolFieldValueByTreeNode);

    // The getters above: each asks one export about the item while the tree
    // is current, under the lock, and throws its failure as `operation`.

    unsafe T Read<T>(string operation, delegate*<void*, T*, int> getter) where T : unmanaged
    {
        T value;
        lock (Guard.Gate)
        {
            Tree.CheckCurrent();
            Guard.Check(operation, getter((void*)handle, &value));
        }
        return value;
    }

    unsafe string ReadText(string operation, delegate*<void*, byte**, int*, int> getter)
    {
        lock (Guard.Gate)
        {
            Tree.CheckCurrent();
            byte* text;
            int size;
            Guard.Check(operation, getter((void*)handle, &text, &size));
            return Native.Text(text, size);
        }
    }

    /// <inheritdoc/>
    public override string ToString() => Label;
}
