// SPDX-License-Identifier: GPL-2.0-or-later
using System;
using System.Collections.Generic;
using System.Globalization;
using System.Text.RegularExpressions;
using Wsbridge.Interop;

namespace Wsbridge;

/// <summary>
/// One conversation of a table (tshark -z conv,PROTOCOL): the two ends in the
/// order the engine first saw them (A sent the first packet; ports 0 for tables
/// without ports), the packets and bytes each way, when it began relative to the
/// capture's first packet and how long it lasted.
/// </summary>
public sealed record Conversation(string AddressA, uint PortA, string AddressB, uint PortB, AddressType AddressType,
                                  ulong FramesAToB, ulong BytesAToB, ulong FramesBToA, ulong BytesBToA,
                                  TimeSpan Start, TimeSpan Duration, DateTimeOffset StartTime, uint FirstFrame,
                                  int ConversationId)
{
    /// <summary>Packets both ways.</summary>
    public ulong Frames => FramesAToB + FramesBToA;
    /// <summary>Bytes both ways.</summary>
    public ulong Bytes => BytesAToB + BytesBToA;
}

/// <summary>One endpoint of a table (tshark -z endpoints,PROTOCOL): what it sent (tx) and received (rx).</summary>
public sealed record Endpoint(string Address, uint Port, AddressType AddressType, ulong TxFrames, ulong TxBytes,
                              ulong RxFrames, ulong RxBytes, uint FirstFrame)
{
    /// <summary>Packets sent and received.</summary>
    public ulong Frames => TxFrames + RxFrames;
    /// <summary>Bytes sent and received.</summary>
    public ulong Bytes => TxBytes + RxBytes;
}

/// <summary>
/// One protocol of the protocol hierarchy (tshark -z io,phs), in tshark's order:
/// its filter name, its depth, the index of its parent row (-1 at depth 0), its
/// path of filter names ("eth:ip:tcp"), the packets and bytes.
/// </summary>
public sealed record HierarchyRow(string Protocol, string Path, int Depth, int Parent, ulong Frames, ulong Bytes,
                                  uint FirstFrame);

/// <summary>
/// One series in one interval of traffic over time (tshark -z io,stat): the
/// interval's number and start (seconds after the capture's first packet), the
/// series' position and text, its packets and bytes, and for a function series
/// (COUNT, SUM, MIN, MAX, AVG of a field) its value (relative times in seconds;
/// 0 for an interval without values), else null.
/// </summary>
public sealed record IntervalRow(long Interval, double Start, int Series, string Filter, ulong Frames, ulong Bytes,
                                 double? Value);

/// <summary>The records of the library's tables as the public records.</summary>
internal static unsafe class StatisticsTables
{
    static TimeSpan Span(long seconds, int nanoseconds) =>
        TimeSpan.FromTicks(checked(seconds * TimeSpan.TicksPerSecond + nanoseconds / 100));

    static DateTimeOffset Stamp(long seconds, int nanoseconds)
    {
        try
        {
            return DateTimeOffset.FromUnixTimeSeconds(seconds).AddTicks(nanoseconds / 100);
        }
        catch (ArgumentOutOfRangeException)
        {
            return seconds < 0 ? DateTimeOffset.MinValue : DateTimeOffset.MaxValue;
        }
    }

    internal static List<Conversation> Conversations(int table)
    {
        WsbConversation* records;
        int count;
        Guard.Check("statistics", Native.gGetConversations(table, &records, &count));
        var rows = new List<Conversation>(count);
        for (int i = 0; i < count; ++i)
        {
            WsbConversation* r = records + i;
            long stop = r->StopSeconds, start = r->StartSeconds;
            rows.Add(new Conversation(Native.Text(r->AddressA, 64), r->PortA, Native.Text(r->AddressB, 64), r->PortB,
                (AddressType)r->AddressType, r->FramesAToB, r->BytesAToB, r->FramesBToA, r->BytesBToA,
                Span(start, r->StartNanoseconds),
                TimeSpan.FromTicks(((stop - start) * 1_000_000_000L + r->StopNanoseconds - r->StartNanoseconds) / 100),
                Stamp(r->AbsoluteSeconds, r->AbsoluteNanoseconds), r->FirstFrame, r->ConversationId));
        }
        return rows;
    }

    internal static List<Endpoint> Endpoints(int table)
    {
        WsbEndpoint* records;
        int count;
        Guard.Check("statistics", Native.gGetEndpoints(table, &records, &count));
        var rows = new List<Endpoint>(count);
        for (int i = 0; i < count; ++i)
        {
            WsbEndpoint* r = records + i;
            rows.Add(new Endpoint(Native.Text(r->Address, 64), r->Port, (AddressType)r->AddressType, r->TxFrames,
                                  r->TxBytes, r->RxFrames, r->RxBytes, r->FirstFrame));
        }
        return rows;
    }

    internal static List<HierarchyRow> Hierarchy(int table)
    {
        WsbHierarchyRow* records;
        int count;
        Guard.Check("statistics", Native.gGetHierarchy(table, &records, &count));
        var rows = new List<HierarchyRow>(count);
        for (int i = 0; i < count; ++i)
        {
            WsbHierarchyRow* r = records + i;
            string protocol = Native.Text(r->Protocol, 64);
            string path = r->Parent >= 0 && r->Parent < rows.Count ? rows[r->Parent].Path + ":" + protocol : protocol;
            rows.Add(new HierarchyRow(protocol, path, r->Depth, r->Parent, r->Frames, r->Bytes, r->FirstFrame));
        }
        return rows;
    }

    static readonly Regex Function = new(@"^\s*(FRAMES|BYTES|COUNT|SUM|MIN|MAX|AVG)\s*\(([^)]*)\)", RegexOptions.CultureInvariant);

    // Every interval and series from the sparse records (an interval without
    // packets of a series has none). interval: seconds; series: the texts.
    internal static List<IntervalRow> Intervals(int table, double interval, IReadOnlyList<string> series, string text)
    {
        WsbIntervalRow* records;
        int count;
        long elapsedSeconds;
        int elapsedNanoseconds;
        Guard.Check("statistics", Native.gGetIntervals(table, &records, &count, &elapsedSeconds, &elapsedNanoseconds));
        long step = (long)Math.Round(interval * 1e9);
        long rowCount = step == 0 ? 1 : (elapsedSeconds * 1_000_000_000L + elapsedNanoseconds) / step + 1;
        for (int i = 0; i < count; ++i)
            rowCount = Math.Max(rowCount, records[i].Interval + 1);
        int width = series.Count;
        string?[] functions = new string?[width];
        for (int s = 0; s < width; ++s)
        {
            Match match = Function.Match(series[s]);
            functions[s] = match.Success && match.Groups[1].Value is not ("FRAMES" or "BYTES") ? match.Groups[1].Value : null;
        }
        bool[] fractional = FractionalSeries(text, functions);
        var cells = new (ulong Frames, ulong Bytes, double? Value)[rowCount * width];
        for (long i = 0; i < cells.Length; ++i)
            cells[i] = (0, 0, functions[i % width] != null ? 0.0 : null);
        bool[] isFloat = new bool[width];
        for (int i = 0; i < count; ++i)
            if (records[i].FloatSum != 0 || records[i].FloatMinimum != 0 || records[i].FloatMaximum != 0)
                isFloat[records[i].Series] = true;
        for (int i = 0; i < count; ++i)
        {
            WsbIntervalRow r = records[i];
            string? function = functions[r.Series];
            double? value = null;
            if (function != null)
            {
                double scale = fractional[r.Series] && !isFloat[r.Series] ? 1e9 : 1.0;
                double sum = isFloat[r.Series] ? r.FloatSum : r.Sum / scale;
                double low = isFloat[r.Series] ? r.FloatMinimum : r.Minimum / scale;
                double high = isFloat[r.Series] ? r.FloatMaximum : r.Maximum / scale;
                value = r.Values == 0 && function != "COUNT" ? 0.0 : function switch
                {
                    "COUNT" => r.Values,
                    "SUM" => sum,
                    "MIN" => low,
                    "MAX" => high,
                    _ => sum / r.Values,
                };
            }
            cells[r.Interval * width + r.Series] = (r.Frames, r.Bytes, value);
        }
        var rows = new List<IntervalRow>(cells.Length);
        for (long i = 0; i < cells.Length; ++i)
            rows.Add(new IntervalRow(i / width, i / width * interval, (int)(i % width), series[(int)(i % width)],
                                     cells[i].Frames, cells[i].Bytes, cells[i].Value));
        return rows;
    }

    // Which function series print fractional values in the table's text: the
    // records keep relative times as integer nanoseconds, like integers, and
    // tshark prints relative times as seconds with decimals. Each series
    // prints two cells (frames, bytes) without a function, one with.
    static bool[] FractionalSeries(string text, string?[] functions)
    {
        var fractional = new bool[functions.Length];
        foreach (string line in text.Split('\n'))
        {
            string[] cells = line.Split('|');
            if (cells.Length < 4 || !cells[1].Contains("<>"))
                continue;
            int position = 2;
            for (int s = 0; s < functions.Length && position < cells.Length - 1; ++s)
            {
                if (functions[s] != null && cells[position].Contains('.'))
                    fractional[s] = true;
                position += functions[s] != null ? 1 : 2;
            }
        }
        return fractional;
    }

    /// <summary>The io,stat request of an interval in seconds and series texts.</summary>
    internal static string IoRequest(double interval, IReadOnlyList<string> filters)
    {
        if (!(interval >= 0) || double.IsInfinity(interval))
            throw new ArgumentOutOfRangeException(nameof(interval), interval, "An interval is a number of seconds, 0 or more.");
        string text = interval.ToString("0.######", CultureInfo.InvariantCulture);
        if (interval > 0 && text == "0")
            throw new ArgumentOutOfRangeException(nameof(interval), interval, "An interval is at least 0.000001 seconds (0: the whole capture).");
        foreach (string filter in filters)
            if (filter.Contains(','))
                throw new ArgumentException($"An io,stat series cannot hold a comma (tshark parts series at commas): \"{filter}\".", nameof(filters));
        return filters.Count == 0 ? "io,stat," + text : "io,stat," + text + "," + string.Join(",", filters);
    }
}
