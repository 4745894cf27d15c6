"""The perf logger end to end: the driver's Version decides whether it runs; with a 2.x driver it
samples the counter sets the driver simulator publishes (through the pdh.dll stand-in) into
NvxPerformance.csv, one row a period with the values as published, follows a changed value, logs
each failed sample while the sets are missing and picks them up without a restart once the
driver loads, and a stop while it samples ends cleanly."""

import csv
import json
import re
import time
import unittest
from datetime import datetime, timezone

from simtest import RUNNING, SERVICE_KEY, STOPPED, MachineTestCase
from nvxsimlib.logs import PERF_LOG_IN_PREFIX

PARAMS_KEY = "params"  # nvxsim's short name for the service's Parameters key
# The sets the service samples, in its order; only "Total " counters of the first are columns.
COUNTER_SETS = [
    "Kestro.NVX performance",
    "Kestro.NVX caching",
    "Kestro.NVX driver state",
    "Kestro.NVX process/thread/image tracking stats",
    "Kestro.NVX pinned scan stats",
    "Kestro.NVX boot pinned scan stats",
    "Kestro.NVX scan types stats",
    "Kestro.NVX communication stats for QMT",
    "Kestro.NVX communication stats for QAV",
    "Kestro.NVX Event Journal stats",
    "Kestro.NVX Event Journal indexed stats",
]
NOT_COLLECTING = "Perf logger: Will not collect performance counters"
PDH_CSTATUS_NO_OBJECT = 0xC0000BB8 - (1 << 32)  # as the service prints a PDH result: signed
SETS_MISSING = ("Perf logger error: PdhEnumObjectItemsA (1st) for Kestro.NVX performance, unexpected result: "
                f"{PDH_CSTATUS_NO_OBJECT}")
TIMESTAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
LEAK_REPORT = ["There are 0 unreleased big chunk buffers", "There are 0 unreleased memory buffers"]


def expected_columns(published):
    """The CSV's columns for the published counters [(set, instance, counter, value)]: the sets in the
    service's order, each instance (in order) with each of its counters (in order); of the first set
    only counters that begin with "Total "."""
    columns = ["timestamp"]
    for name in COUNTER_SETS:
        records = [r for r in published if r["set"].lower() == name.lower()]
        instances = list(dict.fromkeys(r["instance"] for r in records))
        counters = list(dict.fromkeys(r["counter"] for r in records))
        for instance in instances:
            for counter in counters:
                if name == COUNTER_SETS[0] and not counter.startswith("Total "):
                    continue
                columns.append(f"\\{name}({instance})\\{counter}" if instance else f"\\{name}\\{counter}")
    return columns


def published_values(published):
    """{column: the CSV text of its value}: the raw value printed as an unsigned 64-bit number."""
    values = {}
    for r in published:
        where = f"({r['instance']})" if r["instance"] else ""
        values[f"\\{r['set']}{where}\\{r['counter']}"] = str(r["value"] & 0xFFFFFFFFFFFFFFFF)
    return values


class PerfLoggerTest(MachineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.machine.reg_set(PARAMS_KEY, "PerfCollectionPeriodSec", "REG_DWORD", 1)
        # The leak report and the log's last line are Debug lines.
        cls.machine.reg_set(SERVICE_KEY, "DebugLevel", "REG_DWORD", 1)
        cls.csv_path = cls.machine.prefix / PERF_LOG_IN_PREFIX

    def setUp(self):
        self.machine.ensure_stopped()
        self.machine.nvxsim("driver", "stop")
        for old in self.csv_path.parent.glob("NvxPerformance.csv*"):
            old.unlink()
        self.addCleanup(self.machine.nvxsim, "driver", "stop")
        self.addCleanup(self.machine.ensure_stopped)

    # ---- helpers

    def start(self, version):
        self.machine.checked("driver", "version", *([version] if version else ["--remove"]))
        answer = self.machine.service("start")
        self.assertEqual(answer.statuses[-1].state, RUNNING, answer.run.out)

    def stop_cleanly(self):
        """Stops the service: STOPPED with exit code 0 and an empty leak report."""
        answer = self.machine.service("stop")
        self.assertEqual((answer.statuses[-1].state, answer.statuses[-1].exit_code), (STOPPED, 0), answer.run.out)
        texts = [e.text for e in self.ended_run_log()]
        for line in LEAK_REPORT:
            self.assertIn(line, texts)

    def published(self):
        run = self.machine.checked("driver", "counters", "--json")
        return json.loads(run.out)["counters"]

    def csv_lines(self):
        """The CSV's whole lines (each checked to end in CR LF, none other in between); [] without a file."""
        try:
            data = self.csv_path.read_bytes()
        except FileNotFoundError:
            return []
        data = data[:data.rfind(b"\r\n") + 2]  # a row being appended right now is not read yet
        lines = data.split(b"\r\n")[:-1]
        for line in lines:
            self.assertNotIn(b"\n", line, f"a line of {self.csv_path} not ended by CR LF")
            self.assertNotIn(b"\r", line, f"a line of {self.csv_path} not ended by CR LF")
        return [next(csv.reader([line.decode()])) for line in lines]

    def wait_for_rows(self, predicate, what, timeout=30):
        """The CSV's lines once predicate(lines) holds."""
        deadline = time.monotonic() + timeout
        while True:
            lines = self.csv_lines()
            if predicate(lines):
                return lines
            if time.monotonic() > deadline:
                self.fail(f"{what} not in {self.csv_path} within {timeout} s: {lines[-3:]}")
            time.sleep(0.2)

    def count_log(self, text):
        return sum(1 for e in self.run_log() if e.text == text)

    # ---- tests

    def test_2x_driver_rows_follow_the_published_values_and_a_stop_ends_cleanly(self):
        self.machine.checked("driver", "start")
        published = self.published()
        first_set = [r for r in published if r["set"] == COUNTER_SETS[0]]
        self.assertTrue(any(r["counter"].startswith("Total ") for r in first_set) and
                        any(not r["counter"].startswith("Total ") for r in first_set) and
                        all(r["instance"] for r in first_set), "the first set has instances and mixed counters")
        self.assertTrue(any(not r["instance"] for r in published) and
                        any(r["instance"] for r in published if r["set"] != COUNTER_SETS[0]),
                        "other sets with and without instances")
        self.start("2.1.0.0")
        self.wait_for_text("Perf logger: NVX driver version is 2.1.0.0")

        lines = self.wait_for_rows(lambda lines: len(lines) >= 3, "a header and two rows")
        header = lines[0]
        self.assertEqual(header, expected_columns(published))
        values = published_values(published)
        started = datetime.now(timezone.utc)
        for row in lines[1:]:
            self.assertEqual(len(row), len(header), row)
            self.assertRegex(row[0], TIMESTAMP)
            stamp = datetime.strptime(row[0], "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=timezone.utc)
            self.assertLess(abs((stamp - started).total_seconds()), 120, "the sample's time is UTC now")
            self.assertEqual(row[1:], [values[c] for c in header[1:]])
        self.assertLess(lines[1][0], lines[2][0], "rows come in time order")

        # A total of the first set and a counter of a set without instances change; -1 is written
        # as its unsigned 64-bit equivalent.
        total = f"\\{COUNTER_SETS[0]}(_Total)\\Total files scanned"
        hits = f"\\{COUNTER_SETS[1]}\\Cache hits"
        rows_before = len(self.csv_lines()) - 1
        self.machine.checked("driver", "counters", "set", COUNTER_SETS[0], "_Total", "Total files scanned", "123456789")
        self.machine.checked("driver", "counters", "set", COUNTER_SETS[1], "", "Cache hits", "-1")
        changed = {total: "123456789", hits: "18446744073709551615"}
        lines = self.wait_for_rows(lambda lines: any(all(row[header.index(c)] == v for c, v in changed.items())
                                                     for row in lines[1:]), "a row with both new values")
        self.assertEqual(lines[0], header, "the same columns: no new header")
        self.assertEqual(lines[1:rows_before + 1][-1][header.index(total)], values[total])
        values.update(changed)
        self.assertEqual(lines[-1][1:], [values[c] for c in header[1:]])
        self.assertEqual(list(self.csv_path.parent.glob("NvxPerformance.csv.*")), [], "nothing rotated")

        # A stop while sampling goes on every second.
        self.stop_cleanly()
        self.assertEqual(self.csv_lines()[0], header)
        self.assertTrue(self.csv_path.read_bytes().endswith(b"\r\n"), "no row left half written")

    def test_without_a_2x_driver_version_nothing_is_collected(self):
        self.machine.checked("driver", "start")
        for version, said in ((None, "Perf logger: Could not read NVX driver version: type 0 error 2"),
                              ("1.9.3.0", "Perf logger: NVX driver version is 1.9.3.0")):
            with self.subTest(version=version):
                self.start(version)
                texts = [e.text for e in self.run_log()]
                self.assertIn(said, texts)
                self.assertEqual(texts[texts.index(said) + 1], NOT_COLLECTING)
                self.stop_cleanly()
                self.assertFalse(self.csv_path.exists())
                self.assertNotIn("Perf logger error", "\n".join(e.text for e in self.run_log()))

    def test_sets_missing_at_start_are_picked_up_once_the_driver_loads_and_lost_when_it_unloads(self):
        self.start("2.0.0.1")
        self.wait_for_log(lambda lines: sum(e.text == SETS_MISSING for e in lines) >= 2, what="two failed samples")
        self.assertFalse(self.csv_path.exists(), "no row without the sets")

        self.machine.checked("driver", "start")
        lines = self.wait_for_rows(lambda lines: len(lines) >= 2, "a row once the driver is loaded")
        self.assertEqual(lines[0], expected_columns(self.published()))
        failures = self.count_log(SETS_MISSING)
        rows = len(lines)
        self.wait_for_rows(lambda lines: len(lines) >= rows + 2, "two more rows")
        self.assertEqual(self.count_log(SETS_MISSING), failures, "no failed sample while the sets are there")
        self.assertEqual(len([e for e in self.run_log() if e.text == "Service Starting..."]), 1)

        # The driver unloads: its sets vanish, the next samples fail and look for them anew.
        self.machine.checked("driver", "stop")
        self.wait_for_log(lambda lines: sum(e.text == SETS_MISSING for e in lines) >= failures + 2,
                          what="failed samples after the unload")
        self.stop_cleanly()


if __name__ == "__main__":
    unittest.main()
