// SPDX-License-Identifier: GPL-2.0-or-later
using System;
using System.Collections;
using System.Collections.Generic;
using System.Linq;
using System.Text;
using Wsbridge.Interop;

namespace Wsbridge;

/// <summary>
/// A followed TCP or UDP conversation (<see cref="Capture.FollowTcp"/>,
/// <see cref="Capture.FollowUdp"/>). <see cref="IsValid"/> tells whether
/// payload was collected; then the three descriptions hold the library's
/// texts ("HOST:PORT --> HOST:PORT (N bytes)", "Entire conversation (N bytes)").
/// Enumerating it gives each segment or datagram as ASCII text with its
/// sender; <see cref="ReadChunks"/> takes a format and a direction,
/// <see cref="ReadPayload"/> gives the bytes. Every enumeration is
/// independent of the others. The chunks are readable until the next follow
/// or a new pass over the capture (then <see cref="InvalidOperationException"/>)
/// or until the capture closes (<see cref="ObjectDisposedException"/>).
/// </summary>
public sealed class FollowedStream : IEnumerable<StreamChunk>
{
    readonly Capture capture;

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

    /// <summary>The client's direction: "HOST:PORT --> HOST:PORT (N bytes)" (see <see cref="Direction.Client"/>).</summary>
    public string ClientDescription { get; private set; } = "";

    /// <summary>The server's direction: "HOST:PORT --> HOST:PORT (N bytes)".</summary>
    public string ServerDescription { get; private set; } = "";

    /// <summary>"Entire conversation (N bytes)".</summary>
    public string ConversationDescription { get; private set; } = "";

    // Follows the conversation of `start` over the whole capture while the
    // caller holds the lock.
    internal static unsafe FollowedStream Follow(Capture capture, bool tcp, Capture.Locator start)
    {
        Engine engine = capture.Engine;
        engine.Stream = null;
        string operation = tcp ? "follow tcp" : "follow udp";
        Guard.Check(operation, Native.gFollowConversation(tcp ? 0 : 1, start.FrameNumber, start.FileOffset,
                                                          (int)start.CapturedLength, start.PacketLength,
                                                          start.Encapsulation));
        byte* server = null, client = null, conversation = null;
        int serverSize = 0, clientSize = 0, conversationSize = 0;
        Guard.Check(operation, Native.gGetFollowTexts(&server, &serverSize, &client, &clientSize, &conversation,
                                                      &conversationSize));
        // An empty conversation has empty client and server texts and says so in the third.
        var stream = new FollowedStream(capture, tcp) { IsValid = clientSize > 1 };
        if (stream.IsValid)
        {
            stream.ServerDescription = Native.Text(server, serverSize);
            stream.ClientDescription = Native.Text(client, clientSize);
            stream.ConversationDescription = Native.Text(conversation, conversationSize);
            engine.Stream = stream;
        }
        else
        {
            stream.Message = Native.Text(conversation, conversationSize);
        }
        return stream;
    }

    // Every chunk of one whole pass, read under the lock: each enumeration
    // has a pass of its own, and the library's pass ends where it starts over.
    unsafe List<(Direction Sender, byte[] Data)> Pass(RenderFormat format, Direction direction)
    {
        var chunks = new List<(Direction, byte[])>();
        while (true)
        {
            byte* data = null;
            uint size = 0;
            byte isServer = 0, end = 0;
            Guard.Check("stream chunk", Native.gGetNextFollowChunk((int)format, (int)direction, &data, &size, &isServer,
                                                                   &end));
            if (end != 0)
                return chunks;
            // The text renderings' sizes count their NUL.
            int length = (int)size - (format != RenderFormat.Raw && size > 0 ? 1 : 0);
            chunks.Add((isServer != 0 ? Direction.Server : Direction.Client,
                        data != null && length > 0 ? new ReadOnlySpan<byte>(data, length).ToArray() : Array.Empty<byte>()));
        }
    }

    IEnumerable<(Direction Sender, byte[] Data)> Read(RenderFormat format, Direction direction)
    {
        if (!Enum.IsDefined(format))
            throw new ArgumentOutOfRangeException(nameof(format));
        if (!Enum.IsDefined(direction))
            throw new ArgumentOutOfRangeException(nameof(direction));
        return Run();

        IEnumerable<(Direction, byte[])> Run()
        {
            List<(Direction, byte[])> chunks;
            lock (Guard.Gate)
            {
                // A stream without payload has no chunks (and was never kept).
                capture.CheckOpen();
                if (!IsValid)
                    yield break;
                if (capture.Engine.Stream != this)
                    throw new InvalidOperationException("This stream is no longer the followed stream; follow it again.");
                chunks = Pass(format, direction);
            }
            foreach ((Direction, byte[]) chunk in chunks)
                yield return chunk;
        }
    }

    /// <summary>
    /// Each segment (TCP) or datagram (UDP) with its sender, rendered in
    /// <paramref name="format"/>; <paramref name="direction"/> chooses the
    /// client's, the server's or both sides' chunks. Each enumeration reads
    /// a pass of its own, from the first chunk.
    /// </summary>
    public IEnumerable<StreamChunk> ReadChunks(RenderFormat format = RenderFormat.Ascii, Direction direction = Direction.Both) =>
        Read(format, direction).Select(chunk => new StreamChunk(chunk.Sender, Encoding.UTF8.GetString(chunk.Data)));

    /// <summary>The ASCII chunks of both sides.</summary>
    public IEnumerator<StreamChunk> GetEnumerator() => ReadChunks().GetEnumerator();

    IEnumerator IEnumerable.GetEnumerator() => GetEnumerator();

    /// <summary>The payload bytes of each segment or datagram with its sender.</summary>
    public IEnumerable<(Direction Sender, byte[] Data)> ReadPayload(Direction direction = Direction.Both) =>
        Read(RenderFormat.Raw, direction);

    /// <inheritdoc/>
    public override string ToString() =>
        $"{(IsTcp ? "TCP" : "UDP")} stream: {(IsValid ? ConversationDescription : Message)}";
}
