"""tools/nvxperfchart on perf logs written here: three rotated files whose columns change, names with
commas, quotes and '/', a value of 2^64-1, malformed and half-written lines, a file that is no log.
The reading is checked value by value; the tool itself is run as an operator runs it, and the SVGs it
writes are read back for the set titles and legend texts."""

import csv
import io
import re
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET
from pathlib import Path

TOOLS = Path(__file__).resolve().parents[2] / "tools"
sys.path.insert(0, str(TOOLS))

from nvxperfchartlib.perflog import parse_counter_path, read_timeline  # noqa: E402

TOOL = TOOLS / "nvxperfchart"
CACHING = "Kestro.NVX caching"
TRACKING = "Kestro.NVX process/thread/image tracking stats"
SCANS = "Kestro.NVX scan types stats"
HITS = f"\\{CACHING}\\Cache hits"
WARM = 'Hits, "warm" (x)'  # a counter name with a comma, quotes and parentheses
WARM_PATH = f"\\{CACHING}\\{WARM}"
ON_ACCESS = f"\\{SCANS}(On access)\\Scans"
ODD = 'On "demand", (x/y)'  # an instance name with quotes, a comma, parentheses and '/'
ODD_PATH = f"\\{SCANS}({ODD})\\Scans"
THREADS = f"\\{TRACKING}\\Tracked threads"
MAX_U64 = (1 << 64) - 1


def stamp(minute):
    return f"2024-05-01T12:{minute:02d}:00.000Z"


def write_log(path, header, rows, tail=""):
    """A log as the service writes it (CSV quoting, CR LF; a row given as text is written verbatim),
    then `tail` verbatim."""
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\r\n")
    writer.writerow(["timestamp"] + header)
    for row in rows:
        if isinstance(row, str):
            out.write(row + "\r\n")
        else:
            writer.writerow(row)
    path.write_bytes((out.getvalue() + tail).encode())


def write_rotation(directory):
    """Three files whose columns change at each rotation: .2 the oldest, then .1 with four bad lines,
    then the current file with a half-written last line."""
    write_log(directory / "NvxPerformance.csv.2", [HITS, ON_ACCESS],
              [[stamp(0), "1", "10"], [stamp(1), "2", "11"]])
    write_log(directory / "NvxPerformance.csv.1", [HITS, ON_ACCESS, ODD_PATH, WARM_PATH],
              [[stamp(2), "3", "12", str(MAX_U64), "7"],
               [stamp(3), "4", "x13", "5", "8"],  # line 3: not a number
               [stamp(4), "5", "14", "6"],  # line 4: a field short
               ["2024-05-01 12:05:00", "6", "15", "7", "9"],  # line 5: not the log's time format
               f'{stamp(5)},6,15,"7,9',  # line 6: a quote never closed
               [stamp(6), "7", "16", str(1 << 63), "10"]])
    write_log(directory / "NvxPerformance.csv", [ON_ACCESS, ODD_PATH, THREADS],
              [[stamp(7), "17", "8", "100"], [stamp(8), "18", "9", "101"]],
              tail=f"{stamp(9)},19,1")


class ReadingTest(unittest.TestCase):
    def setUp(self):
        self.dir = Path(self.enterContext(tempfile.TemporaryDirectory()))
        self.warnings = []

    def test_rotated_files_form_one_timeline_with_gaps_and_signed_values(self):
        write_rotation(self.dir)
        timeline = read_timeline([self.dir], self.warnings.append)

        self.assertEqual([f.path.name for f in timeline.files],
                         ["NvxPerformance.csv.2", "NvxPerformance.csv.1", "NvxPerformance.csv"])
        self.assertEqual([t.strftime("%H:%M") for t in timeline.times],
                         ["12:00", "12:01", "12:02", "12:06", "12:07", "12:08"])
        self.assertEqual(timeline.columns, [HITS, ON_ACCESS, ODD_PATH, WARM_PATH, THREADS])
        self.assertEqual(timeline.values[HITS], [1, 2, 3, 7, None, None])
        self.assertEqual(timeline.values[ON_ACCESS], [10, 11, 12, 16, 17, 18])
        self.assertEqual(timeline.values[ODD_PATH], [None, None, -1, -(1 << 63), 8, 9])
        self.assertEqual(timeline.values[WARM_PATH], [None, None, 7, 10, None, None])
        self.assertEqual(timeline.values[THREADS], [None] * 4 + [100, 101])

        one = str(self.dir / "NvxPerformance.csv.1")
        self.assertEqual(len(self.warnings), 5, self.warnings)
        self.assertIn(f"{one}:3: bad value 'x13'", self.warnings[0])
        self.assertIn(f"{one}:4: 4 fields where the header has 5", self.warnings[1])
        self.assertIn(f"{one}:5: bad timestamp", self.warnings[2])
        self.assertIn(f"{one}:6: not a CSV row", self.warnings[3])
        self.assertIn(f"{self.dir / 'NvxPerformance.csv'}:4: half-written last line", self.warnings[4])

        raw = read_timeline([self.dir], lambda _: None, signed=False)
        self.assertEqual(raw.values[ODD_PATH][2:4], [MAX_U64, 1 << 63])

    def test_first_timestamps_override_the_numbering_and_the_argument_order(self):
        # .1 was copied from an older machine state: its rows come before those of .2.
        write_log(self.dir / "NvxPerformance.csv.2", [HITS], [[stamp(5), "5"]])
        write_log(self.dir / "NvxPerformance.csv.1", [HITS], [[stamp(1), "1"]])
        write_log(self.dir / "NvxPerformance.csv", [HITS], [[stamp(9), "9"]])
        write_log(self.dir / "NvxPerformance.csv.3", [HITS], [])  # header only: no rows, no say
        files = [self.dir / n for n in ("NvxPerformance.csv", "NvxPerformance.csv.1", "NvxPerformance.csv.3",
                                        "NvxPerformance.csv.2")]
        timeline = read_timeline(files, self.warnings.append)

        self.assertEqual(timeline.values[HITS], [1, 5, 9])
        self.assertEqual(len(self.warnings), 1, self.warnings)
        self.assertIn("disagree with their numbering", self.warnings[0])
        self.assertLess(self.warnings[0].index("NvxPerformance.csv.1"), self.warnings[0].index("NvxPerformance.csv.2"))

        # Numbered as the service rotates them, the files need no say.
        (self.dir / "NvxPerformance.csv.1").rename(self.dir / "NvxPerformance.csv.4")
        self.warnings.clear()
        self.assertEqual(read_timeline([self.dir], self.warnings.append).values[HITS], [1, 5, 9])
        self.assertEqual(self.warnings, [])

    def test_counter_paths(self):
        self.assertEqual(parse_counter_path(ODD_PATH), (SCANS, ODD, "Scans"))
        self.assertEqual(parse_counter_path(WARM_PATH), (CACHING, "", WARM))
        self.assertEqual(parse_counter_path(f"\\{TRACKING}\\Tracked threads"), (TRACKING, "", "Tracked threads"))
        for bad in ("Cache hits", "\\Kestro.NVX caching", "\\(x)\\Scans", "\\a\\b\\c"):
            self.assertIsNone(parse_counter_path(bad), bad)


def svg_texts(path):
    """Every text the SVG shows (the tool keeps texts as text elements)."""
    root = ET.parse(path).getroot()
    return {"".join(e.itertext()).strip() for e in root.iter("{http://www.w3.org/2000/svg}text")}


class ToolTest(unittest.TestCase):
    def setUp(self):
        self.dir = Path(self.enterContext(tempfile.TemporaryDirectory()))
        self.logs = self.dir / "Perf"
        self.logs.mkdir()
        write_rotation(self.logs)

    def run_tool(self, *args):
        result = subprocess.run([str(TOOL), *map(str, args)], capture_output=True, text=True, timeout=300)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result

    def test_one_svg_per_set_and_one_for_all(self):
        out, single = self.dir / "charts", self.dir / "all" / "perf.svg"
        result = self.run_tool("-o", out, "--single", single, self.logs)

        files = {CACHING: out / "Kestro.NVX_caching.svg", SCANS: out / "Kestro.NVX_scan_types_stats.svg",
                 TRACKING: out / "Kestro.NVX_process_thread_image_tracking_stats.svg"}
        self.assertEqual(sorted(out.iterdir()), sorted(files.values()))
        self.assertEqual(result.stdout.splitlines(),
                         [f"{files[CACHING]}: {CACHING} (2 lines)", f"{files[SCANS]}: {SCANS} (2 lines)",
                          f"{files[TRACKING]}: {TRACKING} (1 line)", f"{single}: 3 sets (5 lines)"])
        self.assertEqual(len(re.findall(r"^nvxperfchart: warning: .*NvxPerformance\.csv(\.1)?:\d+: ",
                                        result.stderr, re.M)), 5, result.stderr)

        # Titles, panels and legends: each set with its own names, the single file with all of them.
        shown = {CACHING: {CACHING, "Cache hits", WARM}, SCANS: {SCANS, "Scans", "On access", ODD},
                 TRACKING: {TRACKING, "Tracked threads"}}
        for name, path in files.items():
            texts = svg_texts(path)
            self.assertLessEqual(shown[name], texts, name)
            self.assertIn("time (UTC)", texts)
            for other in set(shown) - {name}:
                self.assertNotIn(other, texts)
        self.assertLessEqual(set().union(*shown.values()), svg_texts(single))

    def test_selected_sets_as_png_despite_bad_files(self):
        (self.dir / "notes.csv").write_text("name,value\r\nx,1\r\n")
        (self.dir / "empty.csv").write_bytes(b"")
        out = self.dir / "png"
        result = self.run_tool("-o", out, "--format", "png", "--sets", "SCAN TYPES|tracking",
                               self.dir / "notes.csv", self.dir / "missing.csv", self.dir / "empty.csv",
                               *sorted(self.logs.iterdir()))

        written = sorted(out.iterdir())
        self.assertEqual([p.name for p in written],
                         ["Kestro.NVX_process_thread_image_tracking_stats.png", "Kestro.NVX_scan_types_stats.png"])
        for path in written:
            self.assertEqual(path.read_bytes()[:8], b"\x89PNG\r\n\x1a\n")
        for problem in ("notes.csv:1: the header does not begin with \"timestamp\"", "missing.csv: cannot be read",
                        "empty.csv: empty"):
            self.assertIn(problem, result.stderr)


if __name__ == "__main__":
    unittest.main()
