// SPDX-License-Identifier: GPL-2.0-or-later
using System;
using System.Collections;
using System.Collections.Generic;
using Wsbridge.Interop;

namespace Wsbridge;

/// <summary>
/// A followed TCP or UDP conversation (<see cref="Capture.FollowTcp"/>,
/// <see cref="Capture.FollowUdp"/>). <see cref="IsValid"/> tells whether
/// payload was collected; then the three descriptions hold the library's
/// texts ("HOST:PORT --> HOST:PORT (N bytes)", "Entire conversation (N bytes)").
/// Enumerating it gives each segment or datagram as ASCII text with its
/// sender; <see cref="Chunks"/> takes a format and a direction,
/// <see cref="Payload"/> gives the bytes. The chunks are readable until the
/// next follow (then <see cref="InvalidOperationException"/>) or until the
/// capture closes (<see cref="ObjectDisposedException"/>).
/// </summary>
public sealed class FollowedStream : IEnumerable<StreamChunk>
{
    readonly Capture capture;
    // A pass left half way would make the next one start in the middle.
    bool midPass;

    FollowedStream(Capture capture, bool tcp)
    {
        this.capture = capture;
        IsTcp = tcp;
    }

    /// <summary>True for TCP, false for UDP.</summary>
    public bool IsTcp { get; }

    /// <summary>True when payload was collected.</summary>
    public bool IsValid { get; private set; }

    /// <summary>Without payload, the library's message ("Empty TCP stream."); else "".</summary>
    public string Message { get; private set; } = "";

    /// <summary>The client's direction: "HOST:PORT --> HOST:PORT (N bytes)" (the client sent the first payload).</summary>
    public string ClientDescription { get; private set; } = "";

    /// <summary>The server's direction: "HOST:PORT --> HOST:PORT (N bytes)".</summary>
    public string ServerDescription { get; private set; } = "";

    /// <summary>"Entire conversation (N bytes)".</summary>
    public string ConversationDescription { get; private set; } = "";

    // Follows the conversation of `start` over `members` while the caller
    // holds the lock.
    internal static unsafe FollowedStream Follow(Capture capture, bool tcp, Capture.Locator start,
                                                 IReadOnlyList<Capture.Locator> members)
    {
        Engine engine = capture.Engine;
        engine.Stream = null;
        string operation = tcp ? "follow tcp" : "follow udp";
        delegate*<uint, long, int, uint, int, int> follow =
            tcp ? &Native.gFollowTCPStreamForPacket : &Native.gFollowUDPStreamForPacket;
        delegate*<uint, long, int, uint, int, int> add =
            tcp ? &Native.gAddPacketToTCPStream : &Native.gAddPacketToUDPStream;
        int status = follow(start.FrameNumber, start.FileOffset, (int)start.CapturedLength, start.PacketLength,
                            start.Encapsulation);
        engine.Dissected();
        Guard.Check(operation, status);
        var stream = new FollowedStream(capture, tcp);
        engine.Stream = stream;
        for (int i = 0; i < members.Count; ++i)
        {
            Capture.Locator member = members[i];
            status = add(member.FrameNumber, member.FileOffset, (int)member.CapturedLength, member.PacketLength,
                         member.Encapsulation);
            engine.Dissected();
            Guard.Check(operation, status);
        }
        stream.Collect(operation);
        return stream;
    }

    unsafe void Collect(string operation)
    {
        Engine engine = capture.Engine;
        byte valid = 0;
        byte* server = null, client = null, conversation = null;
        int serverSize = 0, clientSize = 0, conversationSize = 0;
        int status = IsTcp
            ? Native.gIsValidTcpStrem(&valid, 0, &server, &serverSize, &client, &clientSize, &conversation,
                                      &conversationSize)
            : Native.gIsValidUDPStrem(&valid, &server, &serverSize, &client, &clientSize, &conversation,
                                      &conversationSize);
        if (status != (int)Status.Ok)
        {
            engine.Stream = null;
            throw Guard.Failure(operation, status);
        }
        IsValid = valid != 0;
        if (IsValid)
        {
            ServerDescription = Native.Text(server, serverSize);
            ClientDescription = Native.Text(client, clientSize);
            ConversationDescription = Native.Text(conversation, conversationSize);
        }
        else
        {
            Message = Native.LastError();
            engine.Stream = null;
        }
    }

    void CheckCurrent()
    {
        capture.CheckOpen();
        if (capture.Engine.Stream != this)
            throw new InvalidOperationException("This stream is no longer the followed stream; follow it again.");
    }

    // The next chunk (null at the end of a pass) while the lock is held.
    unsafe (Direction Sender, byte[] Text)? NextChunk(RenderFormat format, Direction direction)
    {
        byte* text = null;
        uint size = 0;
        byte isServer = 0, end = 0;
        int status = IsTcp
            ? Native.gGetNextTCPStreamLine((int)format, (int)direction, &text, &size, &isServer, &end)
            : Native.gGetNextUDPStreamLine((int)format, (int)direction, &text, &size, &isServer, &end);
        Guard.Check("stream chunk", status);
        if (end != 0)
            return null;
        byte[] bytes = text != null && size > 1 ? new ReadOnlySpan<byte>(text, (int)size - 1).ToArray() : Array.Empty<byte>();
        return (isServer != 0 ? Direction.Server : Direction.Client, bytes);
    }

    IEnumerable<(Direction Sender, byte[] Text)> Pass(RenderFormat format, Direction direction)
    {
        if (!Enum.IsDefined(format))
            throw new ArgumentOutOfRangeException(nameof(format));
        if (!Enum.IsDefined(direction))
            throw new ArgumentOutOfRangeException(nameof(direction));
        return Run();

        IEnumerable<(Direction, byte[])> Run()
        {
            lock (Guard.Gate)
            {
                // A stream without payload has no chunks (and was never kept).
                capture.CheckOpen();
                if (!IsValid)
                    yield break;
                CheckCurrent();
                // Read a pass left half way to its end, where the library
                // starts over at the first chunk.
                while (midPass)
                {
                    if (NextChunk(RenderFormat.Ascii, Direction.Both) == null)
                        midPass = false;
                }
            }
            while (true)
            {
                (Direction, byte[])? chunk;
                lock (Guard.Gate)
                {
                    CheckCurrent();
                    midPass = true;
                    chunk = NextChunk(format, direction);
                    if (chunk == null)
                        midPass = false;
                }
                if (chunk == null)
                    yield break;
                yield return chunk.Value;
            }
        }
    }

    /// <summary>
    /// Each segment (TCP) or datagram (UDP) with its sender, rendered in
    /// <paramref name="format"/>; <paramref name="direction"/> chooses the
    /// client's, the server's or both sides' chunks. Each enumeration starts
    /// at the first chunk.
    /// </summary>
    public IEnumerable<StreamChunk> Chunks(RenderFormat format = RenderFormat.Ascii, Direction direction = Direction.Both)
    {
        foreach ((Direction sender, byte[] text) in Pass(format, direction))
            yield return new StreamChunk(sender, System.Text.Encoding.UTF8.GetString(text));
    }

    /// <summary>The ASCII chunks of both sides.</summary>
    public IEnumerator<StreamChunk> GetEnumerator() => Chunks().GetEnumerator();

    IEnumerator IEnumerable.GetEnumerator() => GetEnumerator();

    /// <summary>The payload bytes of each segment or datagram with its sender (decoded from the C array rendering).</summary>
    public IEnumerable<(Direction Sender, byte[] Data)> Payload(Direction direction = Direction.Both)
    {
        foreach ((Direction sender, byte[] text) in Pass(RenderFormat.CArray, direction))
            yield return (sender, CArrayBytes(text));
    }

    // The bytes of "0xNN" items of C array text.
    static byte[] CArrayBytes(byte[] text)
    {
        var bytes = new List<byte>(text.Length / 6);
        for (int i = 0; i + 3 < text.Length; ++i)
        {
            if (text[i] == '0' && text[i + 1] == 'x' && IsHex(text[i + 2]) && IsHex(text[i + 3]))
            {
                bytes.Add((byte)(HexValue(text[i + 2]) * 16 + HexValue(text[i + 3])));
                i += 3;
            }
        }
        return bytes.ToArray();
    }

    static bool IsHex(byte c) => c is >= (byte)'0' and <= (byte)'9' or >= (byte)'a' and <= (byte)'f' or >= (byte)'A' and <= (byte)'F';

    static int HexValue(byte c) => c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;

    /// <inheritdoc/>
    public override string ToString() =>
        $"{(IsTcp ? "TCP" : "UDP")} stream: {(IsValid ? ConversationDescription : Message)}";
}
