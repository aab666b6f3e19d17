# SPDX-License-Identifier: GPL-2.0-or-later
"""Pictures of a capture's statistics, drawn with matplotlib (Debian's
python3-matplotlib) on its Agg backend (no display) into PNG files:

    import wsbridge.plot
    wsbridge.plot.io("capture.pcap", "io.png", interval=1, filters=["tcp", "udp"])
    wsbridge.plot.hierarchy("capture.pcap", "phs.png", width=1000, height=600)

io draws the traffic over time (frames and bytes per interval, one line per
series), hierarchy the protocol hierarchy as horizontal bars (frames of
each protocol, indented by depth). Both take an open Capture or a path
(opened with the engine of this process, started on first use).

As a program, `python3 -m wsbridge.plot io|phs FILE OUT.png [-i INTERVAL]
[-Y FILTER]... [--width PIXELS] [--height PIXELS]` draws the same; the
command line's `wsbridge plot` runs it.
"""

import argparse
import os
import sys

__all__ = ["hierarchy", "io", "main"]

# The picture's size in pixels when none is given.
WIDTH = 1000
HEIGHT = 600
_DPI = 100


def _pyplot():
    try:
        import matplotlib
    except ImportError as error:
        raise ImportError("wsbridge.plot needs matplotlib: install it with `apt install "
                          "python3-matplotlib` (Debian, Ubuntu) or `pip install matplotlib`") from error
    matplotlib.use("Agg")
    import matplotlib.pyplot
    return matplotlib.pyplot


def _table(capture_or_path, method, *arguments):
    """The table of an open Capture, or of the capture file at a path."""
    from .capture import Capture
    if isinstance(capture_or_path, Capture):
        return getattr(capture_or_path, method)(*arguments)
    from .engine import Engine
    engine = Engine.start()
    with engine.open(os.fspath(capture_or_path)) as capture:
        return getattr(capture, method)(*arguments)


def _figure(pyplot, width, height):
    width, height = int(width), int(height)
    if width < 50 or height < 50:
        raise ValueError("a picture is at least 50 by 50 pixels, not %d by %d" % (width, height))
    return pyplot.figure(figsize=(width / _DPI, height / _DPI), dpi=_DPI)


def _save(pyplot, figure, out_png):
    try:
        figure.savefig(os.fspath(out_png), dpi=_DPI, format="png")
    finally:
        pyplot.close(figure)


def io(capture_or_path, out_png, interval=1, filters=None, width=WIDTH, height=HEIGHT, title=None):
    """Draws the frames and bytes per interval (Capture.io) of a capture
    into a PNG of width x height pixels: frames above, bytes below, one line
    per series (`filters`; none: every packet). Returns the io table."""
    pyplot = _pyplot()
    table = _table(capture_or_path, "io", interval, filters)
    figure = _figure(pyplot, width, height)
    frames_axes, bytes_axes = figure.subplots(2, 1, sharex=True)
    for series, rows in table.groupby("series", sort=True):
        label = rows["filter"].iloc[0] or "all packets"
        frames_axes.plot(rows["start"], rows["frames"], marker=".", label=label)
        bytes_axes.plot(rows["start"], rows["bytes"], marker=".", label=label)
    frames_axes.set_ylabel("frames / interval")
    bytes_axes.set_ylabel("bytes / interval")
    bytes_axes.set_xlabel("seconds since the first packet (interval %gs)" % float(interval))
    frames_axes.legend(loc="upper right", fontsize="small")
    frames_axes.set_title(title or _name(capture_or_path))
    for axes in (frames_axes, bytes_axes):
        axes.grid(True, alpha=0.3)
    figure.tight_layout()
    _save(pyplot, figure, out_png)
    return table


def hierarchy(capture_or_path, out_png, filter=None, width=WIDTH, height=HEIGHT, title=None):
    """Draws the protocol hierarchy (Capture.protocol_hierarchy) as
    horizontal bars of each protocol's frames, in tshark's order, named
    and indented by depth, into a PNG of width x height pixels. Returns
    the hierarchy table."""
    pyplot = _pyplot()
    table = _table(capture_or_path, "protocol_hierarchy", filter)
    figure = _figure(pyplot, width, height)
    axes = figure.subplots()
    names = ["  " * depth + protocol for depth, protocol in zip(table["depth"], table["protocol"])]
    positions = list(range(len(table)))
    colours = pyplot.rcParams["axes.prop_cycle"].by_key().get("color", ["C0"])
    axes.barh(positions, table["frames"], color=[colours[d % len(colours)] for d in table["depth"]])
    axes.set_yticks(positions)
    # Left-aligned, so that the indentation shows the depth.
    widest = max((len(name) for name in names), default=0)
    axes.set_yticklabels(names, fontsize="small", family="monospace", ha="left")
    axes.tick_params(axis="y", pad=widest * 6.5 + 4)
    axes.invert_yaxis()
    total = int(table["frames"].iloc[0]) if len(table) else 0
    for position, (frames, size) in enumerate(zip(table["frames"], table["bytes"])):
        axes.annotate(" %d frames, %d bytes" % (frames, size), (frames, position), va="center",
                      fontsize="x-small")
    axes.set_xlabel("frames")
    axes.set_xlim(0, max(total, 1) * 1.35)
    axes.set_title(title or "Protocol hierarchy: " + _name(capture_or_path))
    figure.tight_layout()
    _save(pyplot, figure, out_png)
    return table


def _name(capture_or_path):
    path = getattr(capture_or_path, "path", capture_or_path)
    return os.path.basename(os.fspath(path))


def main(arguments=None) -> int:
    """The program: exit status 0 drawn, 1 failed, 2 usage error."""
    parser = argparse.ArgumentParser(
        prog="wsbridge plot", description="Draws a capture's traffic over time (io) or its protocol "
        "hierarchy (phs) into a PNG file, from the engine's statistics.")
    parser.add_argument("kind", choices=("io", "phs"), help="io: frames and bytes per interval; "
                        "phs: the protocol hierarchy")
    parser.add_argument("file", metavar="FILE", help="the capture")
    parser.add_argument("out", metavar="OUT.png", help="the PNG file to write")
    parser.add_argument("-i", "--interval", type=float, default=1.0,
                        help="io: seconds per interval (default 1; 0: the whole capture)")
    parser.add_argument("-Y", "--display-filter", action="append", dest="filters", metavar="FILTER",
                        help="io: a series (repeatable); phs: the filter of the packets counted")
    parser.add_argument("--width", type=int, default=WIDTH, help="pixels (default %d)" % WIDTH)
    parser.add_argument("--height", type=int, default=HEIGHT, help="pixels (default %d)" % HEIGHT)
    parser.add_argument("-o", "--preference", dest="preferences", action="append", default=[], metavar="NAME:VALUE",
                        help="an engine preference, as tshark -o sets it")
    options = parser.parse_args(arguments)
    from .errors import WsbridgeError
    if options.kind == "phs" and options.filters and len(options.filters) > 1:
        parser.error("phs takes one display filter")
    try:
        _pyplot()
        from .engine import Engine
        engine = Engine.start()
        for preference in options.preferences:
            engine.set_preference(preference)
        if options.kind == "io":
            io(options.file, options.out, options.interval, options.filters, options.width, options.height)
        else:
            hierarchy(options.file, options.out, options.filters[0] if options.filters else None,
                      options.width, options.height)
    except (ImportError, OSError, ValueError, WsbridgeError) as error:
        print("wsbridge plot: %s" % (error,), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
