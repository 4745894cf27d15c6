"""The service's debug log on disk, as a user of the machine finds it: the whole run in nvxs.log with
the machine's known directories, rotation through nvxs1.log .. nvxs4.log when the service writes, and
other programs reading or renaming the log while the service runs."""

import contextlib
import itertools
import os
import re
import time
import unittest
from datetime import datetime, timedelta, timezone

from simtest import (RUNNING, SERVICE_KEY, START_PENDING, STOP_PENDING, STOPPED, MachineTestCase, WinePrefix,
                     parse_log_line, parse_records, status_line)
from nvxsimlib.logs import LOGS_DIR_WIN
from nvxsimlib.layout import CTL_WIN

ROTATE_THRESHOLD = 1048576  # nvxs.log is rotated before an append once it is larger than this
LOG_NAMES = {"nvxs.log", "nvxs1.log", "nvxs2.log", "nvxs3.log", "nvxs4.log"}

PREFIX = re.compile(rb"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z NVXS \S+ \S+ ")
SETTINGS = "Registry DebugFacilities 0xffffffff DebugLevel 1"
LAST_LINE = "There were 0 missed debug log messages"

# The simulated machine's system volume: C: is a link to this device (sim/nvxvolume).
VOLUME = r"\??\HarddiskVolume1"
KNOWN_DIRECTORIES = [
    ("SystemRoot", VOLUME + r"\windows"),
    ("SystemDrive", VOLUME),
    ("SystemDriveLetter", "C:"),
    ("ProgramFilesDir", VOLUME + r"\Program Files"),
    ("ProgramFilesX86Dir", VOLUME + r"\Program Files (x86)"),
    ("ProgramFilesVendorDir", VOLUME + r"\Program Files\Kestro"),
    ("ProgramFilesVendorX86Dir", VOLUME + r"\Program Files (x86)\Kestro"),
    ("ProgramFilesVendorNvx", VOLUME + r"\Program Files\Kestro\Vantor"),
    ("ProgramFilesVendorQav", VOLUME + r"\Program Files (x86)\Kestro\Kestro Anti-Virus"),
    ("ProgramDataDir", VOLUME + r"\ProgramData"),
    ("ProgramDataVendorDir", VOLUME + r"\ProgramData\Kestro"),
    ("ProgramDataNvxDir", VOLUME + r"\ProgramData\Kestro\Vantor"),
    ("NvxLogsDir", VOLUME + r"\ProgramData\Kestro\Vantor\Logs"),
    ("WSCClientFile", VOLUME + r"\Program Files (x86)\Kestro\Kestro Anti-Virus\WSCClient.exe"),
]
# Name and colon padded to 25 characters: every path starts in column 26.
KNOWN_DIRECTORY_LINES = [f"{name + ':':<25}{path}" for name, path in KNOWN_DIRECTORIES]

# The shutdown after the last status report, in order; None stands for the memory total.
SHUTDOWN_LINES = ["Starting shutdown...", "Stopping the debug thread...", "Stopping debug logging thread...",
                  "Shutdown path management", "Shutdown OS path management",
                  "There were 0 invalid UTF16 path names", "There were 0 invalid UTF8 path names",
                  "There are 0 unreleased big chunk buffers", "There are 0 unreleased memory buffers", None,
                  "Shutdown OS symbols", "Service stopping...", LAST_LINE]
MEMORY_TOTAL = re.compile(r"A total of ([1-9]\d*) chunks of memory were used")


RUNNING_LINE = status_line(RUNNING, 0)


def parse_log_bytes(data, what):
    """Log bytes -> [LogLine]: CRLF line ends only, every line with the exact prefix."""
    if not data:
        return []
    if not data.endswith(b"\r\n"):
        raise AssertionError(f"{what}: does not end with CRLF: {data[-80:]!r}")
    lines = data.split(b"\r\n")[:-1]
    for raw in lines:
        if b"\n" in raw or b"\r" in raw:
            raise AssertionError(f"{what}: bare line feed or carriage return in {raw[:120]!r}")
        if not PREFIX.match(raw):
            raise AssertionError(f"{what}: line without the log prefix: {raw[:120]!r}")
    parsed = [parse_log_line(raw.decode("utf-8")) for raw in lines]
    if None in parsed:
        raise AssertionError(f"{what}: unknown facility or level in {lines[parsed.index(None)][:120]!r}")
    return parsed


def seed_bytes(size, tag):
    """size recognisable bytes: numbered lines naming tag (the last one cut)."""
    out = bytearray()
    for n in itertools.count():
        if len(out) >= size:
            return bytes(out[:size])
        out += b"%s seeded line %07d ---------------------------------------\r\n" % (tag.encode(), n)


class Reader:
    """`nvxsimctl readhold`: a process of the machine that holds a file open for reading (with the
    given sharing) until released, then reads it once more through the same handle."""

    _numbers = itertools.count()

    def __init__(self, machine, path_win, share):
        self.machine = machine
        self.event = f"nvxtest-reader-{os.getpid()}-{next(self._numbers)}"
        self.program = WinePrefix(machine.prefix).background(CTL_WIN, "readhold", path_win, self.event, share,
                                                             log_path=machine.root / f"{self.event}.out",
                                                             what="reader")

    def records(self):
        return {kind: fields for kind, fields, _ in parse_records(self.program.output().decode(errors="replace"))}

    def wait_open(self, timeout=30):
        """The READHOLD record once the file is open; AssertionError when the reader failed."""
        opened, output = self.program.wait(b"READHOLD ", failed=b"ERROR ", limit=timeout)
        if not opened:
            raise AssertionError(f"the reader did not open the file: {output.decode(errors='replace')!r}")
        return self.records()["READHOLD"]

    def release(self):
        """Lets the reader go; returns its READ record (what it read at the end)."""
        self.machine.checked("wine", CTL_WIN, "release", self.event)
        self.program.proc.wait(timeout=30)
        records = self.records()
        if "READ" not in records:
            raise AssertionError(f"the reader read nothing at its end: {self.program.output()!r}")
        return records["READ"]

    def end(self):
        """Cleanup: a reader still running is released, and killed if it does not go."""
        if self.program.proc.poll() is None:
            with contextlib.suppress(Exception):
                self.machine.nvxsim("wine", CTL_WIN, "release", self.event, timeout=60)
            self.program.end(timeout=15)


class DebugLogFileTest(MachineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.machine.reg_set(SERVICE_KEY, "DebugLevel", "REG_DWORD", 1)
        cls.logs = cls.machine.log_path().parent

    def setUp(self):
        self.machine.ensure_stopped()
        self.clear_logs()

    # ---- helpers

    def clear_logs(self):
        for path in self.logs.iterdir():
            path.unlink()

    def files(self):
        return {path.name for path in self.logs.iterdir()}

    def read(self, name):
        return (self.logs / name).read_bytes()

    def lines(self, name):
        return parse_log_bytes(self.read(name), name)

    def start(self):
        answer = self.machine.service("start")
        self.assertIsNone(answer.error, answer.run.out)
        self.assertEqual(answer.statuses[-1].state, RUNNING, answer.run.out)

    def stop(self):
        answer = self.machine.service("stop")
        self.assertIsNone(answer.error, answer.run.out)
        self.assertEqual(answer.statuses[-1].state, STOPPED, answer.run.out)

    def run_service(self):
        self.start()
        self.stop()

    def interrogate(self, times):
        for _ in range(times):
            self.assertEqual(self.machine.service("interrogate").returned.state, RUNNING)

    def wait_for_lines(self, name, text, count, timeout=20):
        """Waits until the service has written `count` lines of `text` into the file."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            path = self.logs / name
            # Between a rename and the service's next write there is no such file.
            data = path.read_bytes() if path.exists() else b""
            if data.count(text.encode() + b"\r\n") >= count:
                return
            time.sleep(0.05)
        self.fail(f"{name} did not get {count} lines {text!r} within {timeout} s")

    def assert_one_whole_run(self, lines):
        """One run of the service, from the settings line to the final flush, nothing missing."""
        texts = [e.text for e in lines]
        self.assertGreater(len(texts), len(SHUTDOWN_LINES), texts)
        self.assertEqual((lines[0].facility, lines[0].level, texts[0]), ("Init", "Notice", SETTINGS))
        self.assertEqual(texts.count(SETTINGS), 1, "one run only")
        self.assertEqual(texts[1:3], ["Service Starting...", "Version: 2.1.2.0 2802564"])
        # The known directories: consecutive, in order, with the machine's device paths.
        self.assertIn(KNOWN_DIRECTORY_LINES[0], texts)
        first = texts.index(KNOWN_DIRECTORY_LINES[0])
        self.assertEqual(texts[first:first + len(KNOWN_DIRECTORY_LINES)], KNOWN_DIRECTORY_LINES)
        for e in lines[first:first + len(KNOWN_DIRECTORY_LINES)]:
            self.assertEqual((e.facility, e.level), ("File", "Debug"))
        # Start and stop as the SCM saw them, then the ordered shutdown ending with the final flush.
        reports = [t for t in texts if t.startswith("Service status ")]
        self.assertEqual(reports[:2], [status_line(START_PENDING, 2), RUNNING_LINE])
        self.assertEqual(reports[-2:], [status_line(STOP_PENDING, 1), status_line(STOP_PENDING, 2)])
        self.assertEqual(texts[-2:], SHUTDOWN_LINES[-2:], "the final flush ends the log")
        # Other subsystems may log between these lines, but never reorder them.
        at = texts.index(status_line(STOP_PENDING, 2))
        for line in SHUTDOWN_LINES:
            found = next((i for i in range(at + 1, len(texts))
                          if (MEMORY_TOTAL.fullmatch(texts[i]) if line is None else texts[i] == line)), None)
            self.assertIsNotNone(found, f"{line or MEMORY_TOTAL.pattern!r} missing after {texts[at]!r}")
            at = found

    # ---- tests

    def test_a_run_under_the_scm_is_logged_whole_with_the_known_directories(self):
        # The same machine started from a console shows the start-up lines the log must begin with.
        console = [parse_log_line(line) for line in self.machine.console().lines]
        self.assertNotIn(None, console)
        texts = [e.text for e in console]
        self.assertIn("Starting debug logging thread...", texts)
        startup = texts[:texts.index("Starting debug logging thread...") + 1]
        self.clear_logs()

        self.run_service()
        now = datetime.now(timezone.utc)
        self.assertEqual(self.files(), {"nvxs.log"})
        lines = self.lines("nvxs.log")
        self.assert_one_whole_run(lines)
        for e in lines:
            self.assertLess(abs(e.time - now), timedelta(minutes=2), f"not UTC now: {e}")
        texts = [e.text for e in lines]
        pid_line = re.compile(r"SysInfo: \S+ PID \d+")
        for seen, shown in zip(texts, startup):
            if pid_line.fullmatch(shown):
                self.assertRegex(seen, pid_line)
            else:
                self.assertEqual(seen, shown)

    def test_a_log_past_the_threshold_is_rotated_before_the_first_append(self):
        seeded = seed_bytes(ROTATE_THRESHOLD + 1, "big")
        (self.logs / "nvxs.log").write_bytes(seeded)
        for n in range(1, 5):
            (self.logs / f"nvxs{n}.log").write_bytes(b"old nvxs%d.log\r\n" % n)
        self.run_service()
        self.assertEqual(self.files(), LOG_NAMES)
        self.assertEqual(self.read("nvxs1.log"), seeded)
        for n in range(2, 5):
            self.assertEqual(self.read(f"nvxs{n}.log"), b"old nvxs%d.log\r\n" % (n - 1))
        # The oldest file is gone, and the new nvxs.log holds this run only.
        self.assert_one_whole_run(self.lines("nvxs.log"))

    def test_successive_runs_shift_the_history_and_keep_at_most_five_files(self):
        history = []  # what nvxs.log held before each run, newest first
        for run in range(6):
            with self.subTest(run=run):
                path = self.logs / "nvxs.log"
                current = path.read_bytes() if path.exists() else b""
                before = current + seed_bytes(ROTATE_THRESHOLD + 1 - len(current), f"run{run}")
                path.write_bytes(before)
                history.insert(0, before)
                self.run_service()
                kept = history[:4]
                self.assertEqual(self.files(), {"nvxs.log"} | {f"nvxs{n}.log" for n in range(1, len(kept) + 1)})
                for n, content in enumerate(kept, start=1):
                    self.assertEqual(self.read(f"nvxs{n}.log"), content, f"nvxs{n}.log")
                self.assert_one_whole_run(self.lines("nvxs.log"))

    def test_a_log_of_exactly_the_threshold_grows_first_and_is_rotated_at_a_later_write(self):
        seeded = seed_bytes(ROTATE_THRESHOLD, "exact")
        (self.logs / "nvxs.log").write_bytes(seeded)
        self.start()
        # The first drained block is appended; a later write (a status report wakes the logging
        # thread) finds the file past the threshold and rotates it.
        self.interrogate(1)
        self.wait_for_lines("nvxs.log", RUNNING_LINE, 1)
        self.stop()
        self.assertEqual(self.files(), {"nvxs.log", "nvxs1.log"})
        rotated = self.read("nvxs1.log")
        self.assertEqual(rotated[:ROTATE_THRESHOLD], seeded)
        appended = parse_log_bytes(rotated[ROTATE_THRESHOLD:], "nvxs1.log after the seeded bytes")
        self.assertTrue(appended, "the first block is appended to the full file")
        self.assertEqual(appended[0].text, SETTINGS)
        newest = self.lines("nvxs.log")
        self.assertTrue(newest, "the writes after the rotation start a new nvxs.log")
        self.assert_one_whole_run(appended + newest)

    def test_a_reader_and_a_rename_while_the_service_runs_lose_no_line(self):
        self.start()
        self.wait_for_lines("nvxs.log", RUNNING_LINE, 1)
        # Another program of the machine reads the log and keeps it open, sharing it entirely.
        reader = Reader(self.machine, LOGS_DIR_WIN + r"\nvxs.log", "rwd")
        self.addCleanup(reader.end)
        opened = reader.wait_open()
        self.assertGreater(int(opened["bytes"]), 0)
        self.interrogate(2)
        self.wait_for_lines("nvxs.log", RUNNING_LINE, 3)
        # ... and renames it while the service writes.
        run = self.machine.nvxsim("wine", CTL_WIN, "rename", LOGS_DIR_WIN + r"\nvxs.log", LOGS_DIR_WIN + r"\moved.log")
        self.assertEqual(run.rc, 0, run.out + run.err)
        self.assertIn("RENAME result=1 error=0", run.out)
        self.interrogate(2)
        self.wait_for_lines("nvxs.log", RUNNING_LINE, 2)
        self.stop()
        read = reader.release()

        self.assertEqual(self.files(), {"nvxs.log", "moved.log"})
        moved, newest = self.lines("moved.log"), self.lines("nvxs.log")
        # The renamed file keeps the earlier lines, the new nvxs.log has the later ones, and the
        # two together are the whole run.
        self.assertEqual(moved[0].text, SETTINGS)
        self.assertEqual([e.text for e in moved].count(RUNNING_LINE), 3)
        self.assertEqual([e.text for e in newest].count(RUNNING_LINE), 2)
        self.assertEqual(newest[-1].text, LAST_LINE)
        self.assert_one_whole_run(moved + newest)
        # The reader's handle followed the file it opened, and saw all the service wrote into it.
        self.assertEqual(int(read["bytes"]), len(self.read("moved.log")))
        self.assertGreater(int(read["bytes"]), int(opened["bytes"]))

    def test_rotation_keeps_the_history_while_a_reader_blocks_the_rename(self):
        # A reader that shares read and write but not delete makes renaming nvxs.log fail: the
        # older files must then stay where they are rather than be shifted away write by write.
        seeded = seed_bytes(ROTATE_THRESHOLD + 1, "held")
        (self.logs / "nvxs.log").write_bytes(seeded)
        for n in range(1, 5):
            (self.logs / f"nvxs{n}.log").write_bytes(b"old nvxs%d.log\r\n" % n)
        reader = Reader(self.machine, LOGS_DIR_WIN + r"\nvxs.log", "rw")
        self.addCleanup(reader.end)
        reader.wait_open()
        self.start()
        self.interrogate(3)
        self.stop()
        reader.release()
        kept = b"".join(self.read(name) for name in sorted(self.files() - {"nvxs.log"}))
        for n in range(1, 4):
            self.assertIn(b"old nvxs%d.log\r\n" % n, kept)

    def test_lines_written_while_a_reader_blocks_writing_are_kept_or_counted(self):
        # While a reader shares read only, the service cannot open nvxs.log for appending: the
        # lines it could not write must show in the final missed count.
        self.start()
        self.wait_for_lines("nvxs.log", RUNNING_LINE, 1)
        reader = Reader(self.machine, LOGS_DIR_WIN + r"\nvxs.log", "r")
        self.addCleanup(reader.end)
        reader.wait_open()
        self.interrogate(2)
        time.sleep(0.5)  # the logging thread has tried to write both reports meanwhile
        reader.release()
        self.interrogate(1)
        self.stop()
        texts = [e.text for e in self.lines("nvxs.log")]
        missed = re.fullmatch(r"There were (\d+) missed debug log messages", texts[-1])
        self.assertIsNotNone(missed, texts[-1])
        if int(missed.group(1)) == 0:
            self.assertEqual(texts.count(RUNNING_LINE), 4)


if __name__ == "__main__":
    unittest.main()
