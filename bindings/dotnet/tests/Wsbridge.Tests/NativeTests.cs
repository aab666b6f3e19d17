// SPDX-License-Identifier: GPL-2.0-or-later
using System.Reflection;
using System.Text.RegularExpressions;
using Wsbridge;
using Wsbridge.Interop;
using Xunit;

namespace Wsbridge.Tests;

/// <summary>The raw layer (internal) against the C header and the built library.</summary>
public sealed class NativeTests
{
    static string HeaderWithoutComments() =>
        Regex.Replace(File.ReadAllText(TestPaths.Header), @"/\*.*?\*/", " ", RegexOptions.Singleline);

    // name -> parameter count of every WSBRIDGE_API function of the header.
    static Dictionary<string, int> HeaderFunctions() =>
        Regex.Matches(HeaderWithoutComments(), @"WSBRIDGE_API\s+[^;(]*?\b(g[A-Z]\w*)\s*\(([^)]*)\)\s*;")
            .ToDictionary(match => match.Groups[1].Value,
                          match => match.Groups[2].Value.Trim() is "void" or "" ? 0
                                 : match.Groups[2].Value.Split(',').Length);

    [Fact]
    public void EveryExportOfTheHeaderHasAMethodWithItsArguments()
    {
        Dictionary<string, int> functions = HeaderFunctions();
        Assert.True(functions.Count >= 40);
        var methods = typeof(Native).GetMethods(BindingFlags.Public | BindingFlags.Static)
            .Where(method => Regex.IsMatch(method.Name, "^g[A-Z]")).ToDictionary(method => method.Name);
        foreach ((string name, int count) in functions)
        {
            Assert.True(methods.ContainsKey(name), $"Native lacks {name}");
            Assert.True(count == methods[name].GetParameters().Length, $"{name} takes {count} arguments");
        }
        Assert.Empty(methods.Keys.Except(functions.Keys));
    }

    [Fact]
    public void TheRawLayerIsNotPublic()
    {
        Type[] types = typeof(Engine).Assembly.GetTypes();
        Assert.Contains(typeof(Native), types);
        Assert.DoesNotContain(types, type => type.Namespace == "Wsbridge.Interop" && type.IsVisible);
        // Nor does a public member hand out a pointer or a record of it.
        var members = types.Where(type => type.IsVisible)
            .SelectMany(type => type.GetMethods(BindingFlags.Public | BindingFlags.Instance | BindingFlags.Static))
            .SelectMany(method => method.GetParameters().Select(parameter => parameter.ParameterType)
                                        .Append(method.ReturnType));
        Assert.DoesNotContain(members, type => type.IsPointer || type.IsFunctionPointer ||
                                               type.Namespace == "Wsbridge.Interop");
    }

    [Fact]
    public void TheLibraryExportsEveryFunctionOfTheHeader()
    {
        foreach (string name in HeaderFunctions().Keys)
            Assert.True(Native.HasExport(name), name);
        Assert.False(Native.HasExport("gNoSuchExport"));
    }

    [Fact]
    public void RecordsAreLaidOutAsTheLibraryLaysThemOut()
    {
        Assert.Empty(RecordLayouts.Compare());
        RecordLayouts.EnsureChecked();
        Assert.Equal(544, System.Runtime.InteropServices.Marshal.SizeOf<PacketSummary>());
        Assert.Equal(768, System.Runtime.InteropServices.Marshal.SizeOf<TreeNode>());
        Assert.Equal(48, System.Runtime.InteropServices.Marshal.SizeOf<SavePacketRequest>());
        Assert.Equal(16, System.Runtime.InteropServices.Marshal.SizeOf<WsbBatchValue>());
        Assert.Equal(96, System.Runtime.InteropServices.Marshal.SizeOf<WsbPacketBatch>());
        Assert.Equal(48, System.Runtime.InteropServices.Marshal.SizeOf<WsbLiveOptions>());
        Assert.Equal(400, System.Runtime.InteropServices.Marshal.SizeOf<WsbInterface>());
    }

    [Fact]
    public void ConstantsHaveTheHeadersValues()
    {
        string header = HeaderWithoutComments();
        var kinds = new (string Prefix, Type Enum)[]
        {
            ("WSB_FT_", typeof(FieldType)), ("WSB_AT_", typeof(AddressType)), ("WSB_PT_", typeof(PortType)),
            ("WSB_RENDER_", typeof(RenderFormat)), ("WSB_DIRECTION_", typeof(Direction)),
            ("WSB_SAVE_FORMAT_", typeof(SaveFormat)), ("WSB_VALUE_", typeof(ValueKind)), ("WSB_E_", typeof(ErrorCode)),
        };
        foreach ((string prefix, Type type) in kinds)
        {
            var values = Regex.Matches(header, $@"\b{prefix}(\w+)\s*=\s*(\d+)")
                .ToDictionary(match => match.Groups[1].Value.Replace("_", "").ToLowerInvariant(),
                              match => int.Parse(match.Groups[2].Value));
            Assert.NotEmpty(values);
            Assert.Equal(values.Values.Order(), Enum.GetValues(type).Cast<int>().Order());
            foreach (string name in Enum.GetNames(type))
            {
                if (values.TryGetValue(name.ToLowerInvariant(), out int value))
                    Assert.Equal(value, (int)Enum.Parse(type, name));
            }
        }
        var statuses = Regex.Matches(header, @"\bWSB_(OK|FAILED|END|OUT_OF_MEMORY|TIMED_OUT)\s*=\s*(\d+)")
            .ToDictionary(match => match.Groups[1].Value.Replace("_", "").ToLowerInvariant(),
                          match => int.Parse(match.Groups[2].Value));
        Assert.Equal(5, statuses.Count);
        foreach (Status status in Enum.GetValues<Status>())
            Assert.Equal(statuses[status.ToString().ToLowerInvariant()], (int)status);
    }

    [Fact]
    public unsafe void TextsHandedOutAreCopiedNeverFreed()
    {
        // gGetLastError's text belongs to the library: reading it twice,
        // and after another failure, is safe.
        Assert.Equal(1, Native.gGetVersion(null, null));
        string first = Native.LastError();
        Assert.Equal("\"Get Version\" operation failed. No place for the version texts was given.", first);
        Assert.Equal(first, Native.Text(Native.gGetLastError()));
        byte* library, engine;
        Assert.Equal(0, Native.gGetVersion(&library, &engine));
        Assert.Matches(@"^\d+\.\d+\.\d+$", Native.Text(library));
        Assert.StartsWith("4.0.", Native.Text(engine));
    }
}
