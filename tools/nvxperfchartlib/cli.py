"""nvxperfchart's command line: which files, which sets, where the charts go."""

import argparse
import re
import sys
from pathlib import Path

from .perflog import BASE_NAME, read_timeline

FORMATS = ("svg", "png")


def lines(count):
    return f"{count} line" + ("" if count == 1 else "s")


def warn(text):
    print(f"nvxperfchart: warning: {text}", file=sys.stderr)


def regex(text):
    try:
        return re.compile(text, re.IGNORECASE)
    except re.error as e:
        raise argparse.ArgumentTypeError(f"not a regular expression: {e}") from None


def positive(text):
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"a whole number of 1 or more, not {text!r}")
    return int(text)


def build_parser():
    p = argparse.ArgumentParser(
        prog="nvxperfchart",
        description=f"Charts the service's perf log ({BASE_NAME} and its numbered copies): one chart per"
                    " counter set over UTC time, a line per counter (and instance). The files are put in"
                    " time order: the highest copy number first, the current file last, or by their first"
                    " timestamps when those disagree. Malformed lines are skipped with a warning.",
        epilog="example: nvxperfchart -o charts Perf/   (a directory holding the files)")
    p.add_argument("inputs", nargs="+", metavar="INPUT",
                   help=f"a directory holding {BASE_NAME} and its copies, or files")
    p.add_argument("-o", "--output", metavar="DIR", type=Path,
                   help="write one file per counter set into DIR (created when missing)")
    p.add_argument("--single", metavar="FILE", type=Path,
                   help="write every set into FILE, one below the other (format from its .svg/.png suffix,"
                        " else --format)")
    p.add_argument("--format", choices=FORMATS, default="svg", help="svg (the default: texts stay searchable) or png")
    p.add_argument("--sets", metavar="REGEX", type=regex,
                   help="only the sets whose names this finds (anywhere in the name, case ignored)")
    p.add_argument("--unsigned", action="store_true",
                   help="show values of 2^63 and more as written; by default they are shown as the negative"
                        " numbers whose two's complement they are (the driver's counters are signed)")
    p.add_argument("--lines-per-panel", metavar="N", type=positive, default=8,
                   help="the most lines in one panel; a set with more is split over several (8)")
    return p


def main(argv):
    args = build_parser().parse_args(argv)
    if args.output is None and args.single is None:
        build_parser().error("say where the charts go: -o DIR, --single FILE or both")

    timeline = read_timeline(args.inputs, warn, signed=not args.unsigned)
    if not timeline.times:
        print("nvxperfchart: no data rows to chart", file=sys.stderr)
        return 1
    # Imported only now: reading and checking the files needs no matplotlib.
    from . import charts

    chart_sets = charts.group_sets(timeline, warn, args.sets, args.lines_per_panel)
    if not chart_sets:
        print("nvxperfchart: no counter set to chart" + (" matches --sets" if args.sets else ""), file=sys.stderr)
        return 1

    if args.output is not None:
        args.output.mkdir(parents=True, exist_ok=True)
        taken = set()
        for chart_set in chart_sets:
            path = args.output / f"{charts.file_name(chart_set.name, taken)}.{args.format}"
            charts.write_set(chart_set, timeline.times, path, args.format)
            print(f"{path}: {chart_set.name} ({lines(chart_set.line_count())})")
    if args.single is not None:
        suffix = args.single.suffix.lower().lstrip(".")
        fmt = suffix if suffix in FORMATS else args.format
        if args.single.parent != Path(""):
            args.single.parent.mkdir(parents=True, exist_ok=True)
        charts.write_single(chart_sets, timeline.times, args.single, fmt)
        print(f"{args.single}: {len(chart_sets)} sets ({lines(sum(s.line_count() for s in chart_sets))})")
    return 0
