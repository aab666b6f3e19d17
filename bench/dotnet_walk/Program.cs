// SPDX-License-Identifier: GPL-2.0-or-later
// DotnetWalk FILE: reads every packet of FILE through the C# binding,
// touching the Protocol and Info texts, and prints the packet count: what
// bench/walk.c does through the C interface, timed the same way from outside.
using Wsbridge;

if (args.Length != 1)
{
    Console.Error.WriteLine("usage: DotnetWalk FILE");
    return 2;
}
Engine engine = Engine.Start();
long packets = 0, textLength = 0;
using (Capture capture = engine.Open(args[0]))
{
    foreach (Summary packet in capture)
    {
        ++packets;
        textLength += packet.ProtocolText.Length + packet.InfoText.Length;
    }
}
engine.Shutdown();
Console.WriteLine($"{packets} packets, {textLength} text characters");
return 0;
