// SPDX-License-Identifier: GPL-2.0-or-later
using System.Diagnostics;
using System.Reflection;
using System.Text;
using System.Text.RegularExpressions;
using Wsbridge;
using Xunit;

[assembly: CollectionBehavior(DisableTestParallelization = true)]
[assembly: System.Runtime.Versioning.SupportedOSPlatform("linux")]

namespace Wsbridge.Tests;

/// <summary>
/// The engine of the test process, started once: every test class that uses
/// it belongs to the "engine" collection, whose tests run one at a time.
/// </summary>
public sealed class EngineFixture
{
    public Engine Engine { get; } = Engine.Start();
}

[CollectionDefinition("engine")]
public sealed class EngineCollection : ICollectionFixture<EngineFixture>
{
}

/// <summary>
/// Where the tests find the repository's files and the build's programs:
/// environment variables (set by CTest) or the folders the test assembly was
/// built for.
/// </summary>
public static class TestPaths
{
    static string Metadata(string key) =>
        typeof(TestPaths).Assembly.GetCustomAttributes<AssemblyMetadataAttribute>()
            .First(attribute => attribute.Key == key).Value ?? "";

    static string Setting(string variable, string fallback)
    {
        string? value = Environment.GetEnvironmentVariable(variable);
        return string.IsNullOrEmpty(value) ? fallback : value;
    }

    public static string SourceDir => Setting("WSB_SOURCE_DIR", Metadata("WsbSourceDir"));
    public static string BuildDir => Setting("WSB_BUILD_DIR", Metadata("WsbBuildDir"));
    public static string Captures => Setting("WSB_TEST_CAPTURES", Path.Combine(SourceDir, "tests", "captures"));
    public static string Sample => Setting("WSB_SAMPLE_CAPTURE", Path.Combine(BuildDir, "sample.pcap"));
    public static string Cli => Setting("WSB_CLI", Path.Combine(BuildDir, "wsbridge"));
    public static string Header => Path.Combine(SourceDir, "include", "wsbridge.h");
    public static string Library => Setting("WSB_LIBRARY_FILE", Path.Combine(BuildDir, "libwsbridge.so"));
    public static string Scenarios => Metadata("WsbScenarios");

    public static string Capture(string name) => Path.Combine(Captures, name);

    /// <summary>The test captures (pcap, pcapng, gzip) by file name, in order.</summary>
    public static IEnumerable<object[]> CaptureNames() =>
        Directory.Exists(Captures)
            ? Directory.GetFiles(Captures)
                .Where(path => Path.GetExtension(path) is ".pcap" or ".pcapng" or ".cap" or ".gz")
                .Select(path => Path.GetFileName(path)).Order(StringComparer.Ordinal)
                .Select(name => new object[] { name })
            : Array.Empty<object[]>();
}

/// <summary>Runs the engine's own programs, the command-line host and scenario processes.</summary>
public static class Programs
{
    public sealed record Result(int ExitCode, string Output, string Errors)
    {
        /// <summary>The output's lines without the empty one after the last newline.</summary>
        public string[] Lines
        {
            get
            {
                string[] lines = Output.Split('\n');
                return lines[^1].Length == 0 ? lines[..^1] : lines;
            }
        }
    }

    /// <summary>
    /// Runs a program (its output decoded as UTF-8, invalid bytes replaced)
    /// in the C locale. <paramref name="environment"/> sets variables; a null
    /// value removes one.
    /// </summary>
    public static Result Run(string program, IEnumerable<string> arguments,
                             IDictionary<string, string?>? environment = null, string? directory = null,
                             int timeoutSeconds = 300)
    {
        var start = new ProcessStartInfo(program)
        {
            RedirectStandardOutput = true,
            RedirectStandardError = true,
            UseShellExecute = false,
            StandardOutputEncoding = Encoding.UTF8,
            StandardErrorEncoding = Encoding.UTF8,
        };
        if (directory != null)
            start.WorkingDirectory = directory;
        foreach (string argument in arguments)
            start.ArgumentList.Add(argument);
        start.Environment["LC_ALL"] = "C.UTF-8";
        start.Environment["TMPDIR"] = "/tmp";
        if (environment != null)
        {
            foreach ((string name, string? value) in environment)
            {
                if (value == null)
                    start.Environment.Remove(name);
                else
                    start.Environment[name] = value;
            }
        }
        using Process process = Process.Start(start)!;
        Task<string> errors = process.StandardError.ReadToEndAsync();
        string output = process.StandardOutput.ReadToEnd();
        if (!process.WaitForExit(timeoutSeconds * 1000))
        {
            process.Kill(true);
            throw new TimeoutException($"{program} did not finish in {timeoutSeconds} s");
        }
        return new Result(process.ExitCode, output, errors.Result);
    }

    /// <summary>The preferences the library switches off, as tshark's -o options.</summary>
    public static IReadOnlyList<string> TsharkPreferences { get; } = File
        .ReadAllLines(Path.Combine(TestPaths.SourceDir, "lib", "engine", "preference_overrides.txt"))
        .Select(line => line.Trim())
        .Where(line => Regex.IsMatch(line, @"^[a-z0-9_]+\.[a-z0-9_]+:FALSE$"))
        .SelectMany(line => new[] { "-o", line }).ToArray();

    /// <summary>tshark with the library's preferences and the given arguments.</summary>
    public static Result Tshark(params string[] arguments) => Run("tshark", TsharkPreferences.Concat(arguments));

    /// <summary>A scenario of Wsbridge.Scenarios in a process of its own.</summary>
    public static Result Scenario(string name, IEnumerable<string>? arguments = null,
                                  IDictionary<string, string?>? environment = null)
    {
        Result result = Run("dotnet", new[] { TestPaths.Scenarios, name }.Concat(arguments ?? Array.Empty<string>()),
                            environment, timeoutSeconds: 120);
        Assert.True(result.ExitCode == 0, $"scenario {name} failed ({result.ExitCode}):\n{result.Output}{result.Errors}");
        return result;
    }
}

/// <summary>A folder under the temporary folder, removed with the test.</summary>
public sealed class TemporaryFolder : IDisposable
{
    public string Path { get; } = Directory.CreateTempSubdirectory("wsbridge-dotnet-").FullName;

    public string File(string name) => System.IO.Path.Combine(Path, name);

    public void Dispose()
    {
        try
        {
            Directory.Delete(Path, true);
        }
        catch (IOException)
        {
        }
    }
}
