// SPDX-License-Identifier: GPL-2.0-or-later
using System.Collections;
using System.IO.Compression;
using System.Xml.Linq;
using Xunit;

namespace Wsbridge.Tests;

/// <summary>
/// The NuGet package as an application gets it: packed from the sources
/// with the build's library, referenced from a new console project through a
/// local package source (nothing else), built, and run without
/// LD_LIBRARY_PATH or WSBRIDGE_LIBRARY.
/// </summary>
public sealed class PackageTests
{
    // The variables of the dotnet test run that a nested dotnet must not inherit.
    static Dictionary<string, string?> CleanEnvironment(string? packages)
    {
        var environment = new Dictionary<string, string?>
        {
            ["NUGET_PACKAGES"] = packages,
            ["DOTNET_CLI_TELEMETRY_OPTOUT"] = "1",
            ["DOTNET_NOLOGO"] = "1",
            ["DOTNET_SKIP_FIRST_TIME_EXPERIENCE"] = "1",
            ["LD_LIBRARY_PATH"] = null,
            ["WSBRIDGE_LIBRARY"] = null,
        };
        foreach (DictionaryEntry variable in Environment.GetEnvironmentVariables())
        {
            string name = (string)variable.Key;
            if (name.StartsWith("MSBuild", StringComparison.OrdinalIgnoreCase) || name.StartsWith("VSTEST") ||
                name == "DOTNET_HOST_PATH")
                environment[name] = null;
        }
        return environment;
    }

    [Fact]
    public void AnApplicationReferencingThePackageRunsWithoutLibraryPath()
    {
        using var folder = new TemporaryFolder();
        string dotnetSource = Path.Combine(TestPaths.SourceDir, "bindings", "dotnet");
        string feed = folder.File("feed");

        // 1. Pack, with the build's library, writing only into the temporary folder.
        Programs.Result pack = Programs.Run("dotnet", new[]
        {
            "pack", Path.Combine(dotnetSource, "src", "Wsbridge", "Wsbridge.csproj"), "-c", "Release", "-o", feed,
            "-p:WsbOutputRoot=" + folder.File("pack") + "/", "-p:WsbNativeLibrary=" + TestPaths.Library,
            "-p:WsbRepositoryUrl=https://example.org/wsbridge.git",
        }, CleanEnvironment(Environment.GetEnvironmentVariable("NUGET_PACKAGES")), timeoutSeconds: 300);
        Assert.True(pack.ExitCode == 0, pack.Output + pack.Errors);
        string package = Assert.Single(Directory.GetFiles(feed, "Wsbridge.*.nupkg"));
        string version = Path.GetFileNameWithoutExtension(package)["Wsbridge.".Length..];

        // 2. What it carries.
        using (ZipArchive archive = ZipFile.OpenRead(package))
        {
            var entries = archive.Entries.Select(entry => entry.FullName).ToList();
            Assert.Contains("runtimes/linux-x64/native/libwsbridge.so", entries);
            Assert.Contains("lib/net8.0/Wsbridge.dll", entries);
            // The native library stripped of its symbol table.
            string native = folder.File("libwsbridge.so");
            archive.GetEntry("runtimes/linux-x64/native/libwsbridge.so")!.ExtractToFile(native);
            Programs.Result sections = Programs.Run("readelf", new[] { "-S", "-W", native });
            Assert.Contains(".dynsym", sections.Output);
            Assert.DoesNotContain(".symtab", sections.Output);
            Assert.DoesNotContain(".debug_info", sections.Output);
            // The assembly with its symbols embedded.
            using (var assembly = new MemoryStream())
            {
                archive.GetEntry("lib/net8.0/Wsbridge.dll")!.Open().CopyTo(assembly);
                assembly.Position = 0;
                using var pe = new System.Reflection.PortableExecutable.PEReader(assembly);
                var embedded = pe.ReadDebugDirectory().Single(entry =>
                    entry.Type == System.Reflection.PortableExecutable.DebugDirectoryEntryType.EmbeddedPortablePdb);
                using var pdb = pe.ReadEmbeddedPortablePdbDebugDirectoryData(embedded);
                Assert.NotEmpty(pdb.GetMetadataReader().Documents);
            }
            using Stream nuspec = archive.Entries.Single(entry => entry.FullName.EndsWith(".nuspec")).Open();
            XElement metadata = XDocument.Load(nuspec).Root!.Elements().First(e => e.Name.LocalName == "metadata");
            string Value(string name) => metadata.Elements().Single(e => e.Name.LocalName == name).Value;
            XElement license = metadata.Elements().Single(e => e.Name.LocalName == "license");
            Assert.Equal(("expression", "GPL-2.0-or-later"), (license.Attribute("type")?.Value, license.Value));
            Assert.Equal("Wsbridge", Value("id"));
            Assert.Equal("https://example.org/wsbridge.git", Value("projectUrl"));
            Assert.NotEmpty(Value("releaseNotes"));
            XElement repository = metadata.Elements().Single(e => e.Name.LocalName == "repository");
            Assert.Equal(("git", "https://example.org/wsbridge.git"),
                         (repository.Attribute("type")?.Value, repository.Attribute("url")?.Value));
            Assert.Matches("^[0-9a-f]{40}$", repository.Attribute("commit")?.Value ?? "");
        }

        // 3. A new console project that references it through the local source only.
        string application = folder.File("app");
        Directory.CreateDirectory(application);
        foreach (string file in new[] { "Consumer.csproj", "Program.cs" })
            File.Copy(Path.Combine(dotnetSource, "tests", "consumer", file), Path.Combine(application, file));
        File.WriteAllText(Path.Combine(application, "NuGet.Config"),
            $"""
             <?xml version="1.0" encoding="utf-8"?>
             <configuration>
               <packageSources>
                 <clear />
                 <add key="local" value="{feed}" />
               </packageSources>
             </configuration>
             """);
        Dictionary<string, string?> environment = CleanEnvironment(folder.File("packages"));
        Programs.Result build = Programs.Run("dotnet", new[] { "build", "-c", "Release", "-p:WsbridgeVersion=" + version },
                                             environment, application, timeoutSeconds: 300);
        Assert.True(build.ExitCode == 0, build.Output + build.Errors);
        string output = Path.Combine(application, "bin", "Release", "net10.0");
        Assert.True(File.Exists(Path.Combine(output, "runtimes", "linux-x64", "native", "libwsbridge.so")));

        // 4. It runs, finding the package's library by itself.
        Programs.Result run = Programs.Run(Path.Combine(output, "Consumer"), new[] { TestPaths.Sample }, environment);
        Assert.True(run.ExitCode == 0, run.Output + run.Errors);
        Assert.Equal(23, run.Lines.Length);
        Assert.Equal("3 DNS 192.168.1.10 -> 8.8.8.8 Standard query 0x1a2b A example.com", run.Lines[2]);
        Programs.Result missing = Programs.Run(Path.Combine(output, "Consumer"), new[] { "/nonexistent.pcap" }, environment);
        Assert.Equal((1, "FileNotFoundException: The file \"/nonexistent.pcap\" doesn't exist.\n"),
                     (missing.ExitCode, missing.Errors));
    }
}
