// SPDX-License-Identifier: GPL-2.0-or-later
// The README's minimal C# host: prints one line per packet of a capture.
using System.Runtime.Versioning;
using Wsbridge;

[assembly: SupportedOSPlatform("linux")]

if (args.Length < 1)
{
    Console.Error.WriteLine("usage: Consumer CAPTURE");
    return 2;
}
try
{
    Engine engine = Engine.Start();
    using Capture capture = engine.Open(args[0]);
    foreach (Summary p in capture)
        Console.WriteLine($"{p.FrameNumber} {p.ProtocolText} {p.SourceText} -> {p.DestinationText} {p.InfoText}");
    engine.Shutdown();
    return 0;
}
catch (Exception error) when (error is IOException or InvalidDataException or WsbridgeException)
{
    Console.Error.WriteLine($"{error.GetType().Name}: {error.Message}");
    return 1;
}
