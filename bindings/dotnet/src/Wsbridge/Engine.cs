// SPDX-License-Identifier: GPL-2.0-or-later
using System;
using System.Collections.Generic;
using Wsbridge.Interop;

namespace Wsbridge;

/// <summary>
/// The engine of this process. <see cref="Start"/> starts it once; later calls
/// return the same object. It opens captures (one at a time), keeps the field
/// registry and the engine's preferences. After <see cref="Shutdown"/> the
/// engine cannot be started again in this process.
/// </summary>
/// <remarks>
/// Every call of the friendly layer takes one process-wide lock, and every
/// call that answers for a packet names the packet (a <see cref="Summary"/>)
/// and reads it again when another dissection came between: threads may
/// share the engine and the objects it hands out.
/// </remarks>
public sealed partial class Engine
{
    static Engine? current;
    static bool shutDown;

    bool running = true;
    bool summaryTexts = true;
    internal Capture? OpenCapture;
    internal FollowedStream? Stream;
    // The registered names in registration order, and whether some were
    // registered since the registry was last compiled.
    readonly List<string> fieldNames = new();
    bool registryChanged;

    Engine(string libraryVersion, string engineVersion)
    {
        LibraryVersion = libraryVersion;
        EngineVersion = engineVersion;
    }

    // ---- life cycle --------------------------------------------------------

    /// <summary>
    /// Starts the engine of this process (gInitEpan) and returns it; a later
    /// call returns the same <see cref="Engine"/>.
    /// </summary>
    /// <param name="libraryPath">
    /// The libwsbridge.so to load, or null to search for it (WSBRIDGE_LIBRARY,
    /// then where .NET looks for native libraries: the package's copy, the
    /// program's folder, the system's loader path). Only before the library is
    /// loaded: another file than the loaded one throws <see cref="InvalidOperationException"/>.
    /// </param>
    /// <exception cref="InvalidOperationException">The engine of this process was shut down.</exception>
    /// <exception cref="WsbridgeException">The engine could not start (also when the raw layer started it).</exception>
    /// <exception cref="DllNotFoundException">No library could be loaded.</exception>
    public static Engine Start(string? libraryPath = null)
    {
        lock (Guard.Gate)
        {
            if (libraryPath != null)
                Native.UseLibrary(libraryPath);
            if (current != null)
                return current;
            if (shutDown)
                throw new InvalidOperationException(
                    "The engine of this process was shut down; it can be started only once per process.");
            RecordLayouts.EnsureChecked();
            Guard.Check("start", Native.gInitEpan());
            current = new Engine(VersionText(0), VersionText(1));
            return current;
        }
    }

    static unsafe string VersionText(int which)
    {
        byte* library, engine;
        return Native.gGetVersion(&library, &engine) == 0 ? Native.Text(which == 0 ? library : engine) : "";
    }

    /// <summary>The running engine of this process, or null.</summary>
    public static Engine? Current
    {
        get
        {
            lock (Guard.Gate)
                return current;
        }
    }

    /// <summary>False once <see cref="Shutdown"/> ran.</summary>
    public bool IsRunning
    {
        get
        {
            lock (Guard.Gate)
                return running;
        }
    }

    /// <summary>The library's version ("0.1.0").</summary>
    public string LibraryVersion { get; }

    /// <summary>The engine's version ("4.0.17").</summary>
    public string EngineVersion { get; }

    /// <summary>Where the library was loaded from.</summary>
    public string LibraryPath => Native.LoadedFrom ?? "";

    /// <summary>
    /// Shuts the engine down for good (gCleanupEpan): an open capture and a
    /// followed stream are closed first. A second call does nothing.
    /// </summary>
    public void Shutdown()
    {
        lock (Guard.Gate)
        {
            if (!running)
                return;
            OpenCapture?.Forget();
            OpenCapture = null;
            Stream = null;
            running = false;
            current = null;
            shutDown = true;
            Guard.Check("shutdown", Native.gCleanupEpan());
        }
    }

    /// <summary>
    /// Discards the engine's per-capture dissection state (gHackedCleanup); an
    /// open capture stays open and reading goes on.
    /// </summary>
    public void ResetDissectionState()
    {
        lock (Guard.Gate)
        {
            CheckRunning();
            Native.gHackedCleanup();
        }
    }

    internal bool IsRunningUnlocked => running;

    internal void CheckRunning()
    {
        if (!running)
            throw new InvalidOperationException("The engine of this process was shut down.");
    }

    // ---- preferences and settings -------------------------------------------

    /// <summary>
    /// Sets one of the engine's preferences as tshark's -o takes it,
    /// "module.name:value" (gSetPreference), for the captures opened
    /// afterwards: "tcp.desegment_tcp_streams:TRUE" turns TCP reassembly back on.
    /// </summary>
    /// <exception cref="ArgumentException">The engine does not know the preference or refuses the value.</exception>
    /// <exception cref="InvalidOperationException">A capture is open.</exception>
    public void SetPreference(string assignment)
    {
        ArgumentNullException.ThrowIfNull(assignment);
        lock (Guard.Gate)
        {
            CheckRunning();
            if (OpenCapture != null)
                throw new InvalidOperationException(
                    "Preferences can be set only while no capture is open; close the capture first.");
            Guard.Check("set preference", Native.gSetPreference(assignment));
        }
    }

    /// <summary>
    /// Whether sequential reading fills the Protocol and Info texts
    /// (gSetSummaryTexts; default true). Off, packets are dissected without
    /// the engine's columns, about a tenth less work.
    /// </summary>
    public bool SummaryTexts
    {
        get
        {
            lock (Guard.Gate)
                return summaryTexts;
        }
        set
        {
            lock (Guard.Gate)
            {
                CheckRunning();
                Guard.Check("summary texts", Native.gSetSummaryTexts(value ? 1 : 0));
                summaryTexts = value;
            }
        }
    }

    // ---- field registry ----------------------------------------------------

    /// <summary>
    /// Files a display-filter field name under a group
    /// (gRegisterProtocolFieldFilter). The registry is compiled before the
    /// next capture is opened (at once while one is open), so every packet
    /// read afterwards records the field, and summaries read in sequence
    /// carry its value (<see cref="Summary.GetValue"/>).
    /// </summary>
    /// <exception cref="KeyNotFoundException">The engine knows no field or protocol of that name.</exception>
    public void RegisterField(string name, string group)
    {
        ArgumentNullException.ThrowIfNull(name);
        ArgumentNullException.ThrowIfNull(group);
        lock (Guard.Gate)
        {
            CheckRunning();
            Guard.Check("register field", Native.gRegisterProtocolFieldFilter(name, group));
            if (!fieldNames.Contains(name))
            {
                fieldNames.Add(name);
                registryChanged = true;
            }
            if (OpenCapture != null)
                CompileRegistry();
        }
    }

    /// <summary>
    /// The engine's id and type of a registered field name
    /// (gGetProtocolFieldFilterInfo).
    /// </summary>
    /// <exception cref="KeyNotFoundException">The name was never registered.</exception>
    public RegisteredField GetField(string name)
    {
        ArgumentNullException.ThrowIfNull(name);
        lock (Guard.Gate)
        {
            CheckRunning();
            return Field(name);
        }
    }

    unsafe RegisteredField Field(string name)
    {
        int id, type;
        Guard.Check("field info", Native.gGetProtocolFieldFilterInfo(name, &id, &type));
        registryChanged = false; // the call compiled it
        return new RegisteredField(name, id, (FieldType)type);
    }

    // Compiles the registry when names were registered since (the first
    // gGetProtocolFieldFilterInfo does), and gives every registered field.
    internal RegisteredField[] CompileRegistry()
    {
        if (registryChanged)
            Field(fieldNames[^1]);
        return fieldNames.ConvertAll(Field).ToArray();
    }

    // ---- captures ----------------------------------------------------------

    /// <summary>
    /// Opens a capture file (gOpenCapture), of any format the engine reads.
    /// A capture that is open is closed first: its <see cref="Capture"/>, and
    /// every summary, tree and stream of it, then refuse further use.
    /// </summary>
    /// <param name="path">The file.</param>
    /// <param name="filter">A display filter (see <see cref="Capture.Filter"/>), or null.</param>
    /// <exception cref="System.IO.FileNotFoundException">The file does not exist.</exception>
    /// <exception cref="System.IO.InvalidDataException">The file cannot be read (an unknown format, damaged).</exception>
    /// <exception cref="ArgumentException">The filter does not compile (the capture is closed again), or a text has a NUL character.</exception>
    public Capture Open(string path, string? filter = null)
    {
        ArgumentException.ThrowIfNullOrEmpty(path);
        Capture capture;
        lock (Guard.Gate)
        {
            CheckRunning();
            RegisteredField[] fields = CompileRegistry();
            Guard.Check("open", Native.gOpenCapture(path), path);
            OpenCapture?.Forget();
            Stream = null;
            // A display filter of the capture before does not carry over.
            Native.gSetDisplayFilter(null);
            capture = new Capture(this, path, fields);
            OpenCapture = capture;
        }
        if (!string.IsNullOrEmpty(filter))
        {
            try
            {
                capture.Filter = filter;
            }
            catch
            {
                capture.Dispose();
                throw;
            }
        }
        return capture;
    }

    /// <inheritdoc/>
    public override string ToString() =>
        $"wsbridge engine {EngineVersion} ({(running ? "running" : "shut down")}) on {LibraryPath}";
}
