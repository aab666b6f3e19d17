// SPDX-License-Identifier: GPL-2.0-or-later
// Scenarios of the engine's life cycle, each in a process of its own since
// the engine starts once per process. Each prints what it saw, one fact a
// line, for the tests to compare (LifecycleTests); `parity NAME ARGS` runs
// the C# side of the hosts' parity table (Parity.cs).
using System.Runtime.Versioning;
using Wsbridge;
using Wsbridge.Interop;

[assembly: SupportedOSPlatform("linux")]

static string Outcome(Action action)
{
    try
    {
        action();
        return "no error";
    }
    catch (WsbridgeException error)
    {
        return $"{nameof(WsbridgeException)} {error.Status} {error.Code}: {error.Message}";
    }
    catch (Exception error) when (error.InnerException is WsbridgeException inner)
    {
        return $"{error.GetType().Name} {inner.Status} {inner.Code}: {error.Message}";
    }
    catch (Exception error)
    {
        return $"{error.GetType().Name}: {error.Message}";
    }
}

string scenario = args.Length > 0 ? args[0] : "";
switch (scenario)
{
    case "parity":
        return Parity.Run(args[1..]);
    case "start-twice":
    {
        Engine engine = Engine.Start();
        Console.WriteLine($"{Engine.Start() == engine} {Engine.Current == engine} {engine.IsRunning}");
        break;
    }
    case "concurrent-starts":
    {
        var engines = new System.Collections.Concurrent.ConcurrentBag<Engine>();
        var threads = Enumerable.Range(0, 8).Select(_ => new Thread(() => engines.Add(Engine.Start()))).ToList();
        threads.ForEach(thread => thread.Start());
        threads.ForEach(thread => thread.Join());
        Console.WriteLine($"{engines.Count} {engines.Distinct().Count()}");
        break;
    }
    case "shutdown":
    {
        Engine engine = Engine.Start();
        Capture capture = engine.Open(args[1]);
        capture.ReadNext();
        engine.Shutdown();
        engine.Shutdown(); // a second shutdown does nothing
        Console.WriteLine($"{engine.IsRunning} {Engine.Current == null} {capture.IsClosed}");
        Console.WriteLine(Outcome(() => Engine.Start()));
        Console.WriteLine(Outcome(() => engine.Open(args[1])));
        Console.WriteLine(Outcome(() => capture.ReadNext()));
        Console.WriteLine(Outcome(() => engine.GetField("ip.version")));
        Console.WriteLine(Outcome(() => capture.Dispose()));
        // The library itself refuses as well.
        Console.WriteLine($"{Native.gInitEpan()} {Native.LastError()}");
        break;
    }
    case "raw-start-first":
    {
        Console.WriteLine(Native.gInitEpan());
        Console.WriteLine(Outcome(() => Engine.Start()));
        break;
    }
    case "library-path":
    {
        // args[1]: the library, args[2]: another file.
        Engine engine = Engine.Start(args[1]);
        Console.WriteLine($"{Engine.Start(args[1]) == engine} {engine.LibraryPath == args[1]}");
        Console.WriteLine(Outcome(() => Engine.Start(args[2])));
        break;
    }
    case "layouts":
    {
        // Run with WSBRIDGE_LIBRARY naming a library whose records differ.
        Console.WriteLine(Outcome(() => Engine.Start()));
        Console.WriteLine(Outcome(() =>
        {
            unsafe
            {
                PacketSummary record;
                Native.gGetNextPacket(&record);
            }
        }));
        break;
    }
    case "preferences":
    {
        // Reassembly back on: the Info column of plain tshark.
        Engine engine = Engine.Start();
        foreach (string name in new[] { "tcp.desegment_tcp_streams", "http.desegment_headers", "http.desegment_body",
                                        "http.dechunk_body" })
            engine.SetPreference(name + ":TRUE");
        Console.Error.WriteLine(Outcome(() => engine.SetPreference("tcp.no_such_preference:TRUE")));
        using Capture capture = engine.Open(args[1]);
        foreach (Summary packet in capture)
            Console.WriteLine(packet.InfoText);
        break;
    }
    case "missing-library":
    {
        Console.WriteLine(Outcome(() => Engine.Start()));
        break;
    }
    default:
        Console.Error.WriteLine($"unknown scenario \"{scenario}\"");
        return 2;
}
return 0;
