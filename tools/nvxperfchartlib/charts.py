"""Drawing a timeline of perf-log rows: one figure per counter set, its counters split into panels
of a few lines each so that every legend stays short and every line has a colour of its own.

Drawn with matplotlib's Agg and SVG canvases only (no display). SVG keeps its texts as text, so that
set, counter and instance names can be searched in the files.
"""

import math
import re
from dataclasses import dataclass
from datetime import timezone

import matplotlib

matplotlib.use("Agg")
import matplotlib.dates as mdates  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402

from .perflog import as_floats, parse_counter_path  # noqa: E402

matplotlib.rcParams.update({
    "svg.fonttype": "none",  # texts stay searchable text, not glyph outlines
    "svg.hashsalt": "nvxperfchart",  # the same input gives the same file
    # Agg draws a long, jagged line in pieces; in one piece it can exceed its cell limit and fail.
    "agg.path.chunksize": 10000,
})

WIDTH_IN = 11.0
PANEL_HEIGHT_IN = 2.4
TITLE_HEIGHT_IN = 0.6
MARKERS_UP_TO = 60  # points of a line; sparser lines get markers so lone points between gaps show
LABEL_MAX = 60


@dataclass
class Line:
    label: str
    values: list  # floats, NaN for a gap


@dataclass
class Panel:
    title: str
    lines: list


@dataclass
class ChartSet:
    name: str
    panels: list

    def line_count(self):
        return sum(len(p.lines) for p in self.panels)


def group_sets(timeline, warn, pattern=None, per_panel=8):
    """The counter sets of the timeline whose names `pattern` (a compiled regex) finds, in the order of
    their first column. A set with instances gets a panel per counter with a line per instance; a set
    without gets its counters as lines. A panel holds at most `per_panel` lines; more are split over
    further panels."""
    by_set = {}
    for column in timeline.columns:
        parsed = parse_counter_path(column)
        if parsed is None:
            warn(f"column {column!r} is no counter path (\\Set\\Counter or \\Set(Instance)\\Counter); not charted")
            continue
        by_set.setdefault(parsed[0], []).append((parsed[1], parsed[2], column))

    sets = []
    for name, members in by_set.items():
        if pattern is not None and not pattern.search(name):
            continue
        panels = []
        if any(instance for instance, _, _ in members):
            counters = list(dict.fromkeys(counter for _, counter, _ in members))
            for counter in counters:
                lines = [Line(instance or "(no instance)", as_floats(timeline.values[column]))
                         for instance, c, column in members if c == counter]
                panels.extend(split(counter, lines, per_panel))
        else:
            lines = [Line(counter, as_floats(timeline.values[column])) for _, counter, column in members]
            panels.extend(split("", lines, per_panel))
        sets.append(ChartSet(name, panels))
    return sets


def split(title, lines, per_panel):
    chunks = [lines[i:i + per_panel] for i in range(0, len(lines), per_panel)]
    if len(chunks) == 1:
        return [Panel(title, chunks[0])]
    total = len(lines)
    return [Panel(f"{title + ': ' if title else ''}lines {i * per_panel + 1}-{i * per_panel + len(chunk)} of {total}",
                  chunk) for i, chunk in enumerate(chunks)]


def set_height(chart_set):
    return TITLE_HEIGHT_IN + PANEL_HEIGHT_IN * len(chart_set.panels)


def draw_set(figure, chart_set, times):
    """The set's panels, stacked over one shared UTC time axis, into a figure or subfigure."""
    figure.suptitle(chart_set.name, fontweight="bold")
    axes = figure.subplots(len(chart_set.panels), 1, sharex=True, squeeze=False)[:, 0]
    for ax, panel in zip(axes, chart_set.panels):
        for line in panel.lines:
            points = sum(1 for v in line.values if not math.isnan(v))
            ax.plot(times, line.values, label=shorten(line.label), linewidth=1.2,
                    marker="." if points <= MARKERS_UP_TO else None, markersize=5)
        if panel.title:
            ax.set_title(panel.title, fontsize="medium")  # centred: the value scale's "1e18" sits top left
        ax.ticklabel_format(axis="y", useOffset=False)
        ax.grid(True, alpha=0.3)
        ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize="small", frameon=False)
    # Every chart spans the whole log, so that charts of several sets line up in time.
    first, last = min(times), max(times)
    if first < last:
        axes[-1].set_xlim(first, last)
    locator = mdates.AutoDateLocator(tz=timezone.utc)
    axes[-1].xaxis.set_major_locator(locator)
    axes[-1].xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator, tz=timezone.utc))
    axes[-1].set_xlabel("time (UTC)")


def shorten(label):
    return label if len(label) <= LABEL_MAX else label[:LABEL_MAX - 1] + "\u2026"


def write_set(chart_set, times, path, fmt):
    figure = Figure(figsize=(WIDTH_IN, set_height(chart_set)), layout="constrained")
    draw_set(figure, chart_set, times)
    save(figure, path, fmt)


def write_single(chart_sets, times, path, fmt):
    """All sets into one file, each a subfigure titled with its name."""
    heights = [set_height(s) for s in chart_sets]
    figure = Figure(figsize=(WIDTH_IN, sum(heights)), layout="constrained")
    subfigures = figure.subfigures(len(chart_sets), 1, squeeze=False, height_ratios=heights)[:, 0]
    for subfigure, chart_set in zip(subfigures, chart_sets):
        draw_set(subfigure, chart_set, times)
    save(figure, path, fmt)


def save(figure, path, fmt):
    # No creation date in an SVG: the same input gives the same file.
    metadata = {"Date": None} if fmt == "svg" else None
    figure.savefig(path, format=fmt, dpi=100, metadata=metadata)


def file_name(set_name, taken):
    """A file name for the set: letters, digits, '.', '-' and '_' only, unique among `taken` (a set
    of lower-case names, updated) even on a file system that ignores case."""
    stem = re.sub(r"[^A-Za-z0-9._-]+", "_", set_name).strip("._") or "set"
    candidate, n = stem, 1
    while candidate.lower() in taken:
        n += 1
        candidate = f"{stem}-{n}"
    taken.add(candidate.lower())
    return candidate
