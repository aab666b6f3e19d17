// SPDX-License-Identifier: GPL-2.0-or-later
using System;
using System.Collections.Generic;
using System.Threading;
using Wsbridge.Interop;

namespace Wsbridge;

/// <summary>
/// What <see cref="Engine.OpenLive"/> captures besides the interface. Unset
/// members take dumpcap's defaults.
/// </summary>
public sealed class LiveOptions
{
    /// <summary>A capture filter in libpcap's syntax ("udp port 53", tshark's -f), or null.</summary>
    public string? CaptureFilter { get; set; }

    /// <summary>dumpcap stops after this many packets (tshark's -c), or null.</summary>
    public int? Count { get; set; }

    /// <summary>dumpcap stops after this time, in whole seconds (tshark's -a duration:), or null.</summary>
    public TimeSpan? Duration { get; set; }

    /// <summary>Bytes kept of each packet (tshark's -s), or null for dumpcap's default (262144).</summary>
    public int? SnapLength { get; set; }

    /// <summary>
    /// A new dissection session every this many packets, for captures that run
    /// for days (tshark's -M): frame numbers go on, frames of earlier sessions
    /// cannot be read again. Null: one session.
    /// </summary>
    public int? SessionPackets { get; set; }

    /// <summary>A new spool file when one reaches this size in kilobytes (dumpcap's -b filesize:), or null.</summary>
    public int? RingFileKilobytes { get; set; }

    /// <summary>With <see cref="RingFileKilobytes"/>: the spool files kept (2 or more; null: 2).</summary>
    public int? RingFiles { get; set; }

    /// <summary>Where the spool folder is made; null: $TMPDIR, else /tmp.</summary>
    public string? SpoolFolder { get; set; }

    static int Whole(int? value, string name, int most = int.MaxValue)
    {
        if (value is { } number && (number < 1 || number > most))
            throw new ArgumentOutOfRangeException(name, number, $"{name} is a whole number from 1 to {most}, or null.");
        return value ?? 0;
    }

    internal unsafe WsbLiveOptions Record(byte* interfaceName, byte* captureFilter, byte* spoolFolder)
    {
        int seconds = 0;
        if (Duration is { } duration)
        {
            if (duration.Ticks % TimeSpan.TicksPerSecond != 0 || duration < TimeSpan.FromSeconds(1) ||
                duration.TotalSeconds > int.MaxValue)
                throw new ArgumentOutOfRangeException(nameof(Duration), duration, "Duration is whole seconds, 1 or more.");
            seconds = (int)duration.TotalSeconds;
        }
        if (RingFiles is { } files && (files < 2 || RingFileKilobytes == null))
            throw new ArgumentOutOfRangeException(nameof(RingFiles), files,
                                                  "A ring keeps 2 files or more, and needs RingFileKilobytes.");
        return new WsbLiveOptions
        {
            InterfaceName = interfaceName, CaptureFilter = captureFilter, SpoolFolder = spoolFolder,
            SnapLength = Whole(SnapLength, nameof(SnapLength), 262144),
            StopAfterPackets = Whole(Count, nameof(Count)), StopAfterSeconds = seconds,
            SessionPackets = Whole(SessionPackets, nameof(SessionPackets)),
            RingFileKilobytes = Whole(RingFileKilobytes, nameof(RingFileKilobytes)),
            RingFiles = Whole(RingFiles, nameof(RingFiles)),
        };
    }
}

/// <summary>
/// dumpcap's counts of a live capture: packets written to the spool, and
/// packets the interface or dumpcap dropped (known once dumpcap has stopped).
/// </summary>
public readonly record struct LiveCounts(ulong Written, ulong Dropped);

/// <summary>
/// An interface dumpcap can capture on, as <c>dumpcap -D</c> lists it: its
/// number (from 1, also usable as its name), name, description (the friendly
/// name or the vendor's, "" when none), IPv4 and IPv6 addresses, and whether
/// it is a loopback interface.
/// </summary>
public sealed record CaptureInterface(int Number, string Name, string Description, IReadOnlyList<string> Addresses,
                                      bool IsLoopback);

public sealed partial class Engine
{
    /// <summary>
    /// Starts a live capture on a network interface (gOpenLiveCapture) with
    /// the engine's capture program, dumpcap, as tshark -i does; it becomes
    /// the open capture (the capture open until now is closed, also when this
    /// fails). Enumerate it once: the packets come as they arrive, and the
    /// enumeration ends when dumpcap stops (its count or duration,
    /// <see cref="Capture.Stop"/>, a cancelled token, Ctrl-C reaching it).
    /// Trees, values, <see cref="Capture.Save"/> and following work on the
    /// packets read so far. Dispose it to stop dumpcap and remove its spool.
    /// </summary>
    /// <param name="interfaceName">A name or number as <see cref="Interfaces"/> lists it.</param>
    /// <param name="options">Capture filter, stop conditions and the rest, or null.</param>
    /// <param name="cancellationToken">Cancelling it stops dumpcap (<see cref="Capture.Stop"/>).</param>
    /// <exception cref="ArgumentException">No such interface, a capture filter that does not compile (dumpcap's reason), a text with a NUL character.</exception>
    /// <exception cref="ArgumentOutOfRangeException">An option out of range.</exception>
    /// <exception cref="UnauthorizedAccessException">No permission to capture (the message names the mend).</exception>
    /// <exception cref="NotSupportedException">dumpcap is missing.</exception>
    /// <exception cref="WsbridgeException">dumpcap failed otherwise.</exception>
    public unsafe Capture OpenLive(string interfaceName, LiveOptions? options = null,
                                   CancellationToken cancellationToken = default)
    {
        ArgumentException.ThrowIfNullOrEmpty(interfaceName);
        options ??= new LiveOptions();
        Capture capture;
        byte* name = null, filter = null, folder = null;
        try
        {
            name = Utf8Text.ConvertToUnmanaged(interfaceName);
            filter = string.IsNullOrEmpty(options.CaptureFilter) ? null : Utf8Text.ConvertToUnmanaged(options.CaptureFilter);
            folder = string.IsNullOrEmpty(options.SpoolFolder) ? null : Utf8Text.ConvertToUnmanaged(options.SpoolFolder);
            WsbLiveOptions record = options.Record(name, filter, folder);
            lock (Guard.Gate)
            {
                CheckRunning();
                RegisteredField[] fields = CompileRegistry();
                // The library closes the open capture whether or not this succeeds.
                OpenCapture?.Forget();
                OpenCapture = null;
                Stream = null;
                Guard.Check("open live", Native.gOpenLiveCapture(&record));
                // A display filter of the capture before does not carry over.
                Native.gSetDisplayFilter(null);
                capture = new Capture(this, interfaceName, fields, live: true);
                OpenCapture = capture;
            }
        }
        finally
        {
            Utf8Text.Free(name);
            Utf8Text.Free(filter);
            Utf8Text.Free(folder);
        }
        capture.StopWhen(cancellationToken);
        return capture;
    }

    /// <summary>
    /// The interfaces dumpcap can capture on (gListInterfaces), as
    /// <c>dumpcap -D</c> lists them (tshark -D adds extcap interfaces after them).
    /// </summary>
    /// <exception cref="UnauthorizedAccessException">dumpcap may not list them.</exception>
    /// <exception cref="NotSupportedException">dumpcap is missing.</exception>
    public unsafe IReadOnlyList<CaptureInterface> Interfaces()
    {
        lock (Guard.Gate)
        {
            CheckRunning();
            WsbInterface* list = null;
            int count = 0;
            Guard.Check("interfaces", Native.gListInterfaces(&list, &count));
            var found = new List<CaptureInterface>(count);
            for (int i = 0; i < count; ++i)
            {
                WsbInterface* item = list + i;
                string addresses = Native.Text(item->Addresses, 136);
                found.Add(new CaptureInterface(item->Number, Native.Text(item->Name, 128),
                                               Native.Text(item->Description, 128),
                                               addresses.Split(',', StringSplitOptions.RemoveEmptyEntries |
                                                                    StringSplitOptions.TrimEntries),
                                               item->Loopback != 0));
            }
            return found;
        }
    }
}

public sealed partial class Capture
{
    // Slices of a wait, so that other threads get the lock between them.
    const int WaitSliceMs = 200;

    CancellationTokenRegistration stopRegistration;
    LiveCounts? finalCounts;

    /// <summary>True for a live capture (<see cref="Engine.OpenLive"/>).</summary>
    public bool IsLive => live;

    internal void StopWhen(CancellationToken token)
    {
        if (token.CanBeCanceled)
            stopRegistration = token.Register(Stop);
    }

    /// <summary>
    /// Asks dumpcap to stop capturing (gStopLiveCapture): reading then hands
    /// out the packets it wrote and ends. Safe from any thread while another
    /// waits for packets, and from a Ctrl-C handler (Console.CancelKeyPress);
    /// does nothing for a capture file or a closed capture.
    /// </summary>
    public void Stop()
    {
        if (live && open)
            Native.gStopLiveCapture();
    }

    /// <summary>
    /// Waits until reading the next packet would not wait, at most
    /// <paramref name="timeout"/> (<see cref="Timeout.InfiniteTimeSpan"/>: as
    /// long as it takes; zero: only looks), for hosts that poll: true when a
    /// packet is ready or the capture has ended (<see cref="ReadNext"/> then
    /// returns null), false when the time ran out. With a display filter, a
    /// packet that is ready may not match, and the next read waits for one that
    /// does. For a capture file, true.
    /// </summary>
    /// <exception cref="ArgumentOutOfRangeException">A negative timeout other than infinite.</exception>
    public bool Wait(TimeSpan timeout)
    {
        bool forever = timeout == Timeout.InfiniteTimeSpan;
        if (!forever && timeout < TimeSpan.Zero)
            throw new ArgumentOutOfRangeException(nameof(timeout), timeout, "The timeout is zero or more, or infinite.");
        long left = forever ? long.MaxValue : (long)Math.Ceiling(timeout.TotalMilliseconds);
        while (true)
        {
            int step = (int)Math.Min(WaitSliceMs, left);
            int status;
            lock (Guard.Gate)
            {
                CheckOpen();
                if (ahead.Count > 0 || atEnd)
                    return true;
                status = Native.gWaitForPacket(step);
            }
            if (status != (int)Status.TimedOut)
                return true;
            if (!forever && (left -= step) <= 0)
                return false;
        }
    }

    /// <summary>
    /// dumpcap's counts so far (gGetLiveCaptureCounts); after
    /// <see cref="Dispose"/>, the counts at closing.
    /// </summary>
    /// <exception cref="InvalidOperationException">The capture is a file.</exception>
    /// <exception cref="ObjectDisposedException">The capture was closed by another opening.</exception>
    public LiveCounts Counts
    {
        get
        {
            lock (Guard.Gate)
            {
                if (!open && finalCounts is { } last)
                    return last;
                CheckOpen();
                return ReadCounts();
            }
        }
    }

    unsafe LiveCounts ReadCounts()
    {
        ulong written, dropped;
        Guard.Check("counts", Native.gGetLiveCaptureCounts(&written, &dropped));
        return new LiveCounts(written, dropped);
    }

    /// <summary>
    /// Enumerates the capture (see <see cref="GetEnumerator"/>) until
    /// <paramref name="cancellationToken"/> is cancelled: cancelling stops
    /// dumpcap, and the enumeration hands out the packets it wrote and ends.
    /// </summary>
    public IEnumerable<Summary> WithCancellation(CancellationToken cancellationToken)
    {
        using (cancellationToken.Register(Stop))
        {
            foreach (Summary packet in this)
                yield return packet;
        }
    }

    // Under the lock, as the capture closes: the counts at closing, and the
    // token given to OpenLive no longer stops anything.
    void Closing()
    {
        stopRegistration.Dispose();
        if (live && engine.OpenCapture == this && engine.IsRunningUnlocked)
        {
            try
            {
                finalCounts = ReadCounts();
            }
            catch (Exception error) when (error is WsbridgeException or InvalidOperationException)
            {
                // The counts stay unknown; closing goes on.
            }
        }
    }
}
