"""The perf logger end to end: the driver's Version decides whether it runs; with a 2.x driver it
samples the counter sets the driver simulator publishes (through the pdh.dll stand-in) into
NvxPerformance.csv, one row a period with the values as published, follows a changed value, logs
each failed sample while the sets are missing and picks them up without a restart once the
driver loads, and a stop while it samples ends cleanly.

Then the file's life (column names that need quoting, instances that appear and go, ten numbered
copies at most), failed samples (a counter status, the stand-in's lying lists) after which the
next sample discovers everything again, the stop during a sample and while waiting, and the main
loop's period while the perf logger cannot start."""

import csv
import json
import re
import time
import unittest
from datetime import datetime, timezone

from simtest import RUNNING, SERVICE_KEY, STOPPED, WAIT_HINT_MS, MachineTestCase
from nvxsimlib.layout import DRIVER_SERVICE_KEY
from nvxsimlib.logs import LOGS_DIR_IN_PREFIX, PERF_LOG_IN_PREFIX

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
PDH_CSTATUS_NO_COUNTER = 0xC0000BB9 - (1 << 32)
PDH_MORE_DATA = 0x800007D2 - (1 << 32)
PDH_NO_DATA = 0x800007D5 - (1 << 32)
PDH_CSTATUS_INVALID_DATA = 0xC0000BBA  # a counter status prints unsigned
PDH_CSTATUS_NO_INSTANCE = 0x800007D1
ERROR = "Perf logger error: "
CACHING = COUNTER_SETS[1]
SCAN_TYPES = COUNTER_SETS[6]  # a set with instances whose counters are all columns
# The machine-wide known folder SHGetKnownFolderPath answers for ProgramData (the service's own
# paths come from the profile list instead, so its debug log stays where it is).
SHELL_FOLDERS_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders"
COMMON_APPDATA = ("Common AppData", "REG_EXPAND_SZ", "%ProgramData%")
MAIN_LOOP_PERIOD_S = 5
CERROR = f"{ERROR}PdhGetRawCounterValue \\{CACHING}\\Cache hits cerror: {PDH_CSTATUS_INVALID_DATA}"
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
        self.machine.nvxsim("driver", "stop")  # its next start publishes the driver's own sets again
        self.machine.checked("pdh", "quirk", "--clear")
        self.machine.reg_set(PARAMS_KEY, "PerfCollectionPeriodSec", "REG_DWORD", 1)
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

    def counters(self, *args):
        self.machine.checked("driver", "counters", *args)

    def fail_one_sample(self):
        """A counter status fails a sample, which resets the gatherer; cleared, the next sample
        discovers the sets again."""
        failures = self.count_log(CERROR)
        self.counters("status", CACHING, "", "Cache hits", "invalid-data")
        self.wait_for_count(CERROR, failures + 1)
        self.counters("status", CACHING, "", "Cache hits", "valid")

    def copies(self):
        """The numbered copies' suffixes, in number order."""
        return sorted(int(p.name.rsplit(".", 1)[1]) for p in self.csv_path.parent.glob("NvxPerformance.csv.*"))

    def wait_for_header(self, header, what):
        """The CSV's lines once it has `header` and a row under it."""
        return self.wait_for_rows(lambda lines: len(lines) >= 2 and lines[0] == header, what)

    def wait_for_count(self, text, count, timeout=30):
        return self.wait_for_log(lambda lines: sum(e.text == text for e in lines) >= count, timeout, f"{count} x {text!r}")

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
        # A Version of another type than REG_SZ counts as unreadable: the query itself succeeds.
        wrong_types = {"REG_DWORD": ("2", 4), "REG_BINARY": ("0200", 3)}
        for version, said in ((None, "Perf logger: Could not read NVX driver version: type 0 error 2"),
                              ("1.9.3.0", "Perf logger: NVX driver version is 1.9.3.0"),
                              ("REG_DWORD", "Perf logger: Could not read NVX driver version: type 4 error 0"),
                              ("REG_BINARY", "Perf logger: Could not read NVX driver version: type 3 error 0")):
            with self.subTest(version=version):
                if version in wrong_types:
                    self.machine.reg_set(DRIVER_SERVICE_KEY, "Version", version, wrong_types[version][0])
                    answer = self.machine.service("start")
                    self.assertEqual(answer.statuses[-1].state, RUNNING, answer.run.out)
                else:
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

    def test_the_file_keeps_names_that_need_quoting_and_rotates_when_instances_come_and_go(self):
        self.machine.checked("driver", "start")
        comma, quote = "Lookups, warm", 'Entries "pinned" (max)'
        self.counters("add-counter", CACHING, comma, "5")
        self.counters("add-counter", CACHING, quote, "-3")
        history = [expected_columns(self.published())]  # every header the file had, oldest first
        self.assertIn(f"\\{CACHING}\\{comma}", history[0])
        self.assertIn(f"\\{CACHING}\\{quote}", history[0])
        self.start("2.1.0.0")

        # Read back by a CSV reader, the header gives the exact paths; the same header every sample.
        lines = self.wait_for_rows(lambda lines: len(lines) >= 4, "a header and three rows")
        self.assertEqual(lines[0], history[0])
        self.assertIn(f'"\\{CACHING}\\Entries ""pinned"" (max)"'.encode(), self.csv_path.read_bytes())
        for row in lines[1:]:
            self.assertEqual(row[lines[0].index(f"\\{CACHING}\\{comma}")], "5")
            self.assertEqual(row[lines[0].index(f"\\{CACHING}\\{quote}")], str(-3 & 0xFFFFFFFFFFFFFFFF))
        self.assertEqual(self.copies(), [], "no rotation while the columns stay the same")

        # An instance appears: the gatherer keeps its query, so it is taken up by the next discovery,
        # which follows a failed sample. Then the old file becomes the first copy and the new file
        # has the new columns.
        self.counters("add-instance", SCAN_TYPES, "On boot")
        history.append(expected_columns(self.published()))
        self.assertEqual(len(history[1]), len(history[0]) + 2, "two counters for the new instance")
        rows = len(self.csv_lines())
        lines = self.wait_for_rows(lambda lines: len(lines) >= rows + 2, "rows while the query stands")
        self.assertEqual((lines[0], self.copies()), (history[0], []))
        self.fail_one_sample()
        self.wait_for_header(history[1], "the new instance's columns")
        self.assert_copies(history)
        # It goes again: its counters fail the next sample, and the discovery after it rotates again.
        self.counters("remove-instance", SCAN_TYPES, "On boot")
        history.append(expected_columns(self.published()))
        self.assertEqual(history[2], history[0])
        self.wait_for_header(history[2], "the columns without the instance")
        self.wait_for_text(f"{ERROR}PdhGetRawCounterValue \\{SCAN_TYPES}(On boot)\\Scans cerror:"
                           f" {PDH_CSTATUS_NO_INSTANCE}")
        self.assert_copies(history)

        # Twelve more rotations, one instance replacing another every second: ten copies at most,
        # the oldest dropped.
        gone = "On execute"
        for n in range(12):
            self.counters("add-instance", SCAN_TYPES, f"Burst {n}")
            self.counters("remove-instance", SCAN_TYPES, gone)
            gone = f"Burst {n}"
            history.append(expected_columns(self.published()))
            self.wait_for_header(history[-1], f"instance {gone}")
        self.assertEqual(len(history), 15)
        self.assert_copies(history)
        self.stop_cleanly()

    def assert_copies(self, history):
        """The current file has the last header of `history`, copy N the one N rotations older: each a
        whole file (a header, rows of its width, CR LF line ends), numbered 1 up to 10 at most."""
        self.assertEqual(self.copies(), list(range(1, min(len(history) - 1, 10) + 1)))
        for n in self.copies():
            data = (self.csv_path.parent / f"NvxPerformance.csv.{n}").read_bytes()
            self.assertTrue(data.endswith(b"\r\n"), f"copy {n} ends in a whole line")
            lines = [next(csv.reader([line.decode()])) for line in data.split(b"\r\n")[:-1]]
            self.assertEqual(lines[0], history[-1 - n], f"copy {n}'s header")
            self.assertGreaterEqual(len(lines), 2, f"copy {n} has rows")
            self.assertTrue(all(len(row) == len(lines[0]) for row in lines[1:]), f"copy {n}'s rows")

    def test_a_failed_sample_writes_no_row_and_the_next_one_discovers_everything_again(self):
        self.machine.checked("driver", "start")
        self.start("2.1.0.0")
        header = self.wait_for_rows(lambda lines: len(lines) >= 2, "a first row")[0]
        first = COUNTER_SETS[0]

        # The status aborts each sample while it is set: no row; cleared, rows resume, same file.
        self.counters("status", CACHING, "", "Cache hits", "invalid-data")
        self.wait_for_count(CERROR, 1)
        rows = len(self.csv_lines())
        self.wait_for_count(CERROR, 3)
        self.assertEqual(len(self.csv_lines()), rows, "no row from a failed sample")
        self.counters("status", CACHING, "", "Cache hits", "valid")
        lines = self.wait_for_rows(lambda lines: len(lines) >= rows + 2, "rows after the status is cleared")
        self.assertEqual(lines[0], header)

        # A lying list is seen only when the sets are discovered: not while sampling goes well, and
        # at once after a failed sample. Each fails the sample with its message and no row; the
        # service runs on, and once the stand-in answers honestly rows resume in the same file.
        lies = [
            ("more-data", f"{ERROR}PdhEnumObjectItemsA (2nd) for {first}: unexpected result: {PDH_MORE_DATA}"),
            # The counter list cut to the 8-character-short buffer: its last name loses "canned".
            ("length-past-buffer", f"{ERROR}PdhAddEnglishCounterA for \\{first}(C:)\\Total bytes s, unexpected"
                                   f" result: {PDH_CSTATUS_NO_COUNTER}"),
            ("empty-list", f"{ERROR}PdhCollectQueryData unexpected result: {PDH_NO_DATA}"),  # no counters at all
            ("empty-list zero", f"{ERROR}PdhEnumObjectItemsA (1st) for {first}: No counters"),
        ]
        for quirk, said in lies:
            with self.subTest(quirk=quirk):
                self.machine.checked("pdh", "quirk", *quirk.split())
                if quirk == "more-data":
                    rows = len(self.csv_lines())
                    self.wait_for_rows(lambda lines: len(lines) >= rows + 2, "rows while the query stands")
                    self.assertEqual(self.count_log(said), 0)
                self.fail_one_sample()
                self.wait_for_count(said, 1)
                rows = len(self.csv_lines())
                self.wait_for_count(said, 3)
                self.assertEqual(len(self.csv_lines()), rows, "no row from a failed sample")
                self.assertEqual(self.machine.query().state, RUNNING)
                self.machine.checked("pdh", "quirk", "--clear")
                lines = self.wait_for_rows(lambda lines: len(lines) >= rows + 2, "rows once the lists are honest")
                self.assertEqual(lines[0], header)

        # Lists without terminators, or with lengths that count past them, are read within their
        # lengths: every name comes out whole and sampling goes on with the same columns.
        for quirk in ("no-terminator", "past-terminator"):
            with self.subTest(quirk=quirk):
                self.machine.checked("pdh", "quirk", quirk)
                self.fail_one_sample()
                rows = len(self.csv_lines())
                self.wait_for_rows(lambda lines: len(lines) > rows, "a row from the rediscovery")
                errors = sum(e.text.startswith(ERROR) for e in self.run_log())
                rows = len(self.csv_lines())
                lines = self.wait_for_rows(lambda lines: len(lines) >= rows + 2, "rows with the quirk on")
                self.assertEqual(lines[0], header)
                self.assertEqual(sum(e.text.startswith(ERROR) for e in self.run_log()), errors)
                self.machine.checked("pdh", "quirk", "--clear")
        self.assertEqual(self.copies(), [], "the same columns throughout: never rotated")
        self.stop_cleanly()

    def test_a_stop_waits_for_a_sample_in_progress_and_not_for_the_period(self):
        self.machine.reg_set(PARAMS_KEY, "PerfCollectionPeriodSec", "REG_DWORD", 60)
        self.machine.checked("driver", "start")
        delay_s = 5
        self.machine.checked("pdh", "quirk", "slow-collect", str(delay_s * 1000))
        self.start("2.1.0.0")  # the first sample starts with the perf logger, before RUNNING
        requested = datetime.now(timezone.utc)
        answer = self.machine.service("stop")
        done = datetime.now(timezone.utc)
        self.assertEqual((answer.statuses[-1].state, answer.statuses[-1].exit_code), (STOPPED, 0), answer.run.out)
        lines = self.csv_lines()
        self.assertEqual(len(lines), 2, "the sample in progress wrote its row")
        self.assertEqual(len(lines[1]), len(lines[0]))
        self.assertTrue(self.csv_path.read_bytes().endswith(b"\r\n"))
        sampled = datetime.strptime(lines[1][0], "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=timezone.utc)
        self.assertLess((requested - sampled).total_seconds(), delay_s,
                        "the stop was asked for while the sample ran (a host this slow cannot show the wait)")
        self.assertGreaterEqual((done - sampled).total_seconds(), delay_s - 0.05,
                                "the stop waited for the rest of the sample")

        # Sampled and waiting for the next period: the stop wakes the wait at once.
        self.machine.checked("pdh", "quirk", "--clear")
        self.csv_path.unlink()
        self.start("2.1.0.0")
        self.wait_for_rows(lambda lines: len(lines) >= 2, "the first row")
        started = time.monotonic()
        answer = self.machine.service("stop")
        took = time.monotonic() - started
        self.assertEqual((answer.statuses[-1].state, answer.statuses[-1].exit_code), (STOPPED, 0), answer.run.out)
        self.assertLess(took, WAIT_HINT_MS / 1000 / 2, "a stop while waiting does not wait for the period")
        self.assertEqual(len(self.csv_lines()), 2, "no sample was in progress")

    def test_the_main_loop_keeps_its_short_period_until_the_perf_logger_is_up(self):
        # Without a ProgramData folder the perf logger cannot start. (A file where its log folder
        # would be does not stop it: the folder is made by each sample, which then fails.)
        self.machine.reg_set(SHELL_FOLDERS_KEY, COMMON_APPDATA[0], COMMON_APPDATA[1], r"C:\NoProgramData")
        self.addCleanup(self.machine.reg_set, SHELL_FOLDERS_KEY, *COMMON_APPDATA)
        obstacle = self.machine.prefix / LOGS_DIR_IN_PREFIX / "Perf"
        obstacle.parent.mkdir(parents=True, exist_ok=True)
        if obstacle.is_dir():
            obstacle.rmdir()
        obstacle.write_text("not a folder")
        self.addCleanup(lambda: obstacle.unlink() if obstacle.is_file() else None)
        self.machine.checked("driver", "start")
        self.start("2.1.0.0")
        self.machine.checked("driver", "wait-connect", "--port", "async", "--timeout-ms", "10000")

        # Both ports connected, the perf logger down: housekeeping every 5 s, each retrying it.
        failed = "Perf logger initialization error: SHGetKnownFolderPath failed, hresult: -2147024893"
        lines = self.wait_for_log(lambda lines: sum(e.text.startswith("Mainloop housekeeping") for e in lines) >= 3,
                                  timeout=4 * MAIN_LOOP_PERIOD_S, what="three housekeeping passes")
        passes = [i for i, e in enumerate(lines) if e.text.startswith("Mainloop housekeeping")]
        for earlier, later in zip(passes, passes[1:]):
            gap = (lines[later].time - lines[earlier].time).total_seconds()
            self.assertGreaterEqual(gap, MAIN_LOOP_PERIOD_S - 0.05)
            self.assertIn(failed, [e.text for e in lines[earlier:later]], "each pass retries the perf logger")
        self.assertFalse(self.csv_path.exists())

        # ProgramData is found again: the next pass starts the perf logger, whose samples now fail at
        # the file in its log folder's place, and housekeeping stops.
        self.machine.reg_set(SHELL_FOLDERS_KEY, *COMMON_APPDATA)
        blocked = f"{ERROR}EnsureFolder: Already exists but not a directory"
        lines = self.wait_for_text(blocked, timeout=2 * MAIN_LOOP_PERIOD_S + 5)
        at = next(i for i, e in enumerate(lines) if e.text == blocked)
        starter = max(i for i in range(at) if lines[i].text.startswith("Mainloop housekeeping"))
        self.assertNotIn(failed, [e.text for e in lines[starter:at]], "that pass started the perf logger")
        obstacle.unlink()
        self.wait_for_rows(lambda lines: len(lines) >= 2, "a row once the folder can be made")
        time.sleep(MAIN_LOOP_PERIOD_S + 2)
        later = [e.text for e in self.run_log()[starter + 1:] if e.text.startswith("Mainloop housekeeping")]
        self.assertEqual(later, [], "the main loop is on its 60 s period")
        self.stop_cleanly()


if __name__ == "__main__":
    unittest.main()
