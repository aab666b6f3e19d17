// SPDX-License-Identifier: GPL-2.0-or-later
using System;
using System.Collections.Generic;
using System.Diagnostics.CodeAnalysis;
using System.Reflection;
using System.Runtime.CompilerServices;
using System.Runtime.InteropServices;
using System.Text.RegularExpressions;

namespace Wsbridge.Interop;

/// <summary>
/// Checks that the records of <see cref="Interop"/> are laid out as the loaded
/// library lays out its own (gGetRecordLayout): the size of each record and
/// the offset and size of each of its members. The check runs once, before a
/// record is first handed to the library; a mismatch (or a library that
/// cannot report its layouts) throws <see cref="WsbridgeException"/> with
/// <see cref="ErrorCode.Unsupported"/> every time a record would cross.
/// </summary>
internal static class RecordLayouts
{
    static volatile bool checkedOk;
    static WsbridgeException? failure;
    static readonly object gate = new();

    /// <summary>The records checked, with the header's name of each.</summary>
    public static IReadOnlyList<(string Name, Type Type)> Records { get; } = new[]
    {
        ("PacketSummary", typeof(PacketSummary)),
        ("TreeNode", typeof(TreeNode)),
        ("SavePacketRequest", typeof(SavePacketRequest)),
        ("WsbBatchValue", typeof(WsbBatchValue)),
        ("WsbPacketBatch", typeof(WsbPacketBatch)),
        ("WsbConversation", typeof(WsbConversation)),
        ("WsbEndpoint", typeof(WsbEndpoint)),
        ("WsbHierarchyRow", typeof(WsbHierarchyRow)),
        ("WsbIntervalRow", typeof(WsbIntervalRow)),
        ("WsbLiveOptions", typeof(WsbLiveOptions)),
        ("WsbInterface", typeof(WsbInterface)),
    };

    /// <summary>Checks the layouts unless that was done; throws when they do not match.</summary>
    [MethodImpl(MethodImplOptions.AggressiveInlining)]
    public static void EnsureChecked()
    {
        if (!checkedOk)
            CheckOnce();
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    static void CheckOnce()
    {
        lock (gate)
        {
            if (checkedOk)
                return;
            if (failure == null)
            {
                List<string> problems = Compare();
                if (problems.Count == 0)
                {
                    checkedOk = true;
                    return;
                }
                failure = new WsbridgeException(Status.Failed, ErrorCode.Unsupported,
                    "The records of this binding do not match the layout of the loaded library (" +
                    Native.LoadedFrom + "): " + string.Join("; ", problems) + ".", "check record layouts");
            }
            throw new WsbridgeException(failure.Status, failure.Code, failure.Message, failure.Operation);
        }
    }

    /// <summary>
    /// The differences between this binding's records and the library's
    /// layout, one text each (empty when they match).
    /// </summary>
    public static List<string> Compare()
    {
        var problems = new List<string>();
        if (!Native.HasExport("gGetRecordLayout"))
        {
            problems.Add("the library does not report its record layouts (it has no gGetRecordLayout): " +
                         "it is older than this binding");
            return problems;
        }
        foreach ((string name, Type type) in Records)
            CompareRecord(name, type, problems);
        return problems;
    }

    static unsafe void CompareRecord(string name,
        [DynamicallyAccessedMembers(DynamicallyAccessedMemberTypes.PublicFields)] Type type, List<string> problems)
    {
        int offset, size;
        if (Native.gGetRecordLayout(name, null, &offset, &size) != 0)
        {
            problems.Add(Native.LastError());
            return;
        }
        int managedSize = Marshal.SizeOf(type);
        if (managedSize != size)
            problems.Add($"{name} is {managedSize} bytes here, {size} in the library");
        foreach (FieldInfo field in type.GetFields(BindingFlags.Public | BindingFlags.Instance))
        {
            string member = SnakeCase(field.Name);
            int fieldOffset = field.GetCustomAttribute<FieldOffsetAttribute>()?.Value ?? -1;
            int fieldSize = FieldSize(field);
            if (Native.gGetRecordLayout(name, member, &offset, &size) != 0)
                problems.Add($"{name}.{member}: {Native.LastError()}");
            else if (offset != fieldOffset || size != fieldSize)
                problems.Add($"{name}.{member} lies at {fieldOffset} ({fieldSize} bytes) here, " +
                             $"at {offset} ({size} bytes) in the library");
        }
    }

    static int FieldSize(FieldInfo field)
    {
        FixedBufferAttribute? buffer = field.GetCustomAttribute<FixedBufferAttribute>();
        if (buffer != null)
            return buffer.Length * Marshal.SizeOf(buffer.ElementType);
        if (field.FieldType.IsPointer)
            return IntPtr.Size;
        return Marshal.SizeOf(field.FieldType);
    }

    /// <summary>"SourceAddressType" -> "source_address_type", the header's member name.</summary>
    static string SnakeCase(string name) => Regex.Replace(name, "(?<!^)([A-Z])", "_$1").ToLowerInvariant();
}
