// SPDX-License-Identifier: GPL-2.0-or-later
using Xunit;

namespace Wsbridge.Tests;

/// <summary>
/// The engine's life cycle, library loading and the layout check, each
/// scenario in a process of its own (Wsbridge.Scenarios), since the engine
/// starts once per process.
/// </summary>
public sealed class LifecycleTests
{
    [Fact]
    public void StartingAgainGivesTheSameEngineAlsoFromManyThreads()
    {
        Assert.Equal(new[] { "True True True" }, Programs.Scenario("start-twice").Lines);
        Assert.Equal(new[] { "8 1" }, Programs.Scenario("concurrent-starts").Lines);
    }

    [Fact]
    public void AfterShutdownTheEngineCannotStartAgain()
    {
        Assert.Equal(new[]
        {
            "False True True",
            "InvalidOperationException: The engine of this process was shut down; it can be started only once per process.",
            "InvalidOperationException: The engine of this process was shut down.",
            "InvalidOperationException: The engine of this process was shut down.",
            "InvalidOperationException: The engine of this process was shut down.",
            "no error",
            "1 Wireshark engine was already initialized.",
        }, Programs.Scenario("shutdown", new[] { TestPaths.Sample }).Lines);
    }

    [Fact]
    public void AnEngineStartedThroughTheRawLayerIsNotStartedTwice()
    {
        string[] lines = Programs.Scenario("raw-start-first").Lines;
        Assert.Equal("0", lines[0]);
        Assert.Equal("InvalidOperationException Failed State: Wireshark engine was already initialized.", lines[1]);
    }

    [Fact]
    public void TheLibraryIsChosenOnceAndFoundWithoutHelp()
    {
        string[] lines = Programs.Scenario("library-path", new[] { TestPaths.Library, "/nonexistent/libwsbridge.so" }).Lines;
        Assert.Equal("True True", lines[0]);
        Assert.StartsWith("InvalidOperationException: libwsbridge is already loaded", lines[1]);
        // Without a path the library next to the program is found.
        var withoutHelp = new Dictionary<string, string?> { ["WSBRIDGE_LIBRARY"] = null, ["LD_LIBRARY_PATH"] = null };
        Assert.Equal(new[] { "True True True" }, Programs.Scenario("start-twice", environment: withoutHelp).Lines);
        var missing = new Dictionary<string, string?> { ["WSBRIDGE_LIBRARY"] = "/nonexistent/libwsbridge.so" };
        Assert.StartsWith("DllNotFoundException: ", Programs.Scenario("missing-library", environment: missing).Lines[0]);
    }

    [Fact]
    public void RecordsLaidOutOtherwiseThanTheLibrarysAreRefused()
    {
        using var folder = new TemporaryFolder();
        string source = Path.Combine(TestPaths.SourceDir, "bindings", "dotnet", "tests", "Wsbridge.Tests", "stub",
                                     "layout_stub.c");
        foreach (bool withLayout in new[] { true, false })
        {
            string stub = folder.File(withLayout ? "moved.so" : "old.so");
            var arguments = new List<string> { "-shared", "-fPIC", "-o", stub, source, "-ldl" };
            if (!withLayout)
                arguments.Add("-DWITHOUT_LAYOUT");
            Programs.Result cc = Programs.Run("cc", arguments);
            Assert.True(cc.ExitCode == 0, cc.Errors);
            string[] lines = Programs.Scenario("layouts", environment: new Dictionary<string, string?>
            {
                ["WSBRIDGE_LIBRARY"] = stub,
                ["WSB_REAL_LIBRARY"] = TestPaths.Library,
            }).Lines;
            // Starting fails, and so does the raw call that would hand a
            // record over: it never reaches the library (which lacks it).
            Assert.Equal(2, lines.Length);
            Assert.Equal(lines[0], lines[1]);
            Assert.StartsWith("WsbridgeException Failed Unsupported: The records of this binding do not match the " +
                              "layout of the loaded library", lines[0]);
            Assert.EndsWith(withLayout
                ? "PacketSummary.info_text lies at 96 (256 bytes) here, at 100 (256 bytes) in the library."
                : "the library does not report its record layouts (it has no gGetRecordLayout): it is older than this binding.",
                lines[0]);
        }
    }

    [Fact]
    public void PreferencesTurnReassemblyBackOn()
    {
        string path = TestPaths.Capture("example2.pcap");
        Programs.Result result = Programs.Scenario("preferences", new[] { path });
        Programs.Result plain = Programs.Run("tshark", new[] { "-r", path, "-T", "fields", "-e", "_ws.col.Info" });
        Assert.Equal(plain.Lines, result.Lines);
        Assert.StartsWith("ArgumentException Failed Preference: ", result.Errors);
    }
}
