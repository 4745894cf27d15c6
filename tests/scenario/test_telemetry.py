"""The telemetry snapshot end to end: with the driver simulator loaded, the service's start-up walk of
the filter stack the driver publishes (through the fltlib.dll stand-in) writes exactly the expected
line to telemetry.log: the NVX instances of the system volume in the service's table order with the
integer part of a fractional altitude, no instance attached only to another volume, a legacy
filter but not a minifilter of a watched legacy name, and the highest frame. Without a driver the
file holds the frame count 0 alone. Stacks set through `nvxsim driver filters set` and records the
fltlib.dll stand-in lies about (`nvxsim fltlib lie`) give the line the walk's rules define, and the
service runs on and stops cleanly. When the ProgramData folder cannot be looked up (the test build's
fault), the failure goes to the fallback text log in the service's temporary directory."""

import json
import time
import unittest
from pathlib import Path

from simtest import RUNNING, STOPPED, MachineTestCase
from nvxsimlib.layout import FILTER_STACK_IN_PREFIX, FLTLIB_LIE_IN_PREFIX
from nvxsimlib.logs import TELEMETRY_IN_PREFIX, TELEMETRY_WIN

# The driver simulator's stack: frames 0 to 2; the NVX instances on the system volume, published in
# another order than the service's table, Security Enhancer at 328020.5; QAVOnAccess attached to
# another volume only; MRLA legacy, MRLB a minifilter.
WITH_DRIVER = ('"NumFrames":2,"NVXAMFrame":1,"NVXAMAltitude":328010,"NVXTPFrame":1,"NVXTPAltitude":328020,'
               '"NVXEDRFrame":1,"NVXEDRAltitude":385100,"MRLAAltitude":329000')
WITHOUT_FILTERS = '"NumFrames":0'
OTHER_VOLUME = r"\Device\HarddiskVolume7"

# Stacks for `driver filters set` ({system} is the system volume's device name), with the line
# each gives.
STACKS = {
    "none of the watched filters, every minifilter in frame 0": (
        "minifilter\tStorQuota\t0\t45000\n"
        "instance\tStorQuota\tStorQuota Instance\t45000\t{system}\n"
        "legacy\tOldScanner\t330000\n",
        '"NumFrames":0'),
    "none of the watched filters, the highest frame 3": (
        "minifilter\tStorQuota\t3\t45000\n"
        "minifilter\tBackupSync\t1\t190000\n",
        '"NumFrames":3'),
    "the watched instances on another volume only": (
        "minifilter\tKestro Vantor\t1\t328010\n"
        "instance\tKestro Vantor\tKestroNVX Antivirus Instance\t328010\t" + OTHER_VOLUME + "\n"
        "instance\tKestro Vantor\tKestroNVX Activity Monitor Instance\t385100\t" + OTHER_VOLUME + "\n"
        "minifilter\travelflt\t0\t145100\n"
        "instance\travelflt\tLockward\t145100\t" + OTHER_VOLUME + "\n",
        '"NumFrames":1'),
    "fractional altitudes give their integer part": (
        "minifilter\tQAVOnAccess\t2\t321410.75\n"
        "instance\tQAVOnAccess\tQAVOnAccess Instance\t321410.75\t{system}\n"
        "minifilter\travelflt\t1\t145100\n"
        "instance\travelflt\tLockward\t145100.999\t{system}\n"
        "legacy\tMRLC\t40.5\n",
        '"NumFrames":2,"QAVFrame":2,"QAVAltitude":321410,"RavelFrame":1,"RavelAltitude":145100,"MRLCAltitude":40'),
    "MRLA as a legacy filter is reported": (
        "legacy\tMRLA\t329000\n"
        "minifilter\tMRLB\t0\t260000\n"
        "instance\tMRLB\tMRLB Instance\t260000\t{system}\n",
        '"NumFrames":0,"MRLAAltitude":329000'),
    "MRLA as a minifilter is not": (
        "minifilter\tMRLA\t1\t329000\n"
        "instance\tMRLA\tMRLA Instance\t329000\t{system}\n"
        "legacy\tMRLB\t260000\n",
        '"NumFrames":1,"MRLBAltitude":260000'),
    "a later instance on the system volume overwrites an earlier one": (
        "minifilter\tKestro Vantor\t0\t328010\n"
        "instance\tKestro Vantor\tKestroNVX Antivirus Instance\t328010\t{system}\t0\n"
        "instance\tKestro Vantor\tKestroNVX Antivirus Instance\t328011\t{system}\t2\n",
        '"NumFrames":0,"NVXAMFrame":2,"NVXAMAltitude":328011'),
}

# The stack the lies are told about; in walk order: StorQuota, MRLA, Kestro Vantor (its Antivirus
# instance first, then Activity Monitor), ravelflt.
LIE_STACK = ("minifilter\tStorQuota\t0\t45000\n"
             "instance\tStorQuota\tStorQuota Instance\t45000\t{system}\n"
             "legacy\tMRLA\t329000\n"
             "minifilter\tKestro Vantor\t1\t328010\n"
             "instance\tKestro Vantor\tKestroNVX Antivirus Instance\t328010\t{system}\n"
             "instance\tKestro Vantor\tKestroNVX Activity Monitor Instance\t385100\t{system}\n"
             "minifilter\travelflt\t2\t145100\n"
             "instance\travelflt\tLockward\t145100.5\t{system}\n")
LIE_TRUTH = ('"NumFrames":2,"NVXAMFrame":1,"NVXAMAltitude":328010,"NVXEDRFrame":1,"NVXEDRAltitude":385100,'
             '"RavelFrame":2,"RavelAltitude":145100,"MRLAAltitude":329000')
# A filter walk that stops at its 4th entry (ravelflt): what came before stays, the frame count is 0.
FILTER_WALK_STOPPED = ('"NumFrames":0,"NVXAMFrame":1,"NVXAMAltitude":328010,"NVXEDRFrame":1,'
                       '"NVXEDRAltitude":385100,"MRLAAltitude":329000')
# ravelflt's name no longer matches, the walk goes on to its end.
FILTER_NAME_UNMATCHED = ('"NumFrames":2,"NVXAMFrame":1,"NVXAMAltitude":328010,"NVXEDRFrame":1,'
                         '"NVXEDRAltitude":385100,"MRLAAltitude":329000')
# Each instance walk loses its 2nd entry on (Activity Monitor); the filter walk ends normally.
INSTANCE_WALK_CUT = ('"NumFrames":2,"NVXAMFrame":1,"NVXAMAltitude":328010,"RavelFrame":2,"RavelAltitude":145100,'
                     '"MRLAAltitude":329000')

# (lie arguments, the line): each kind once, record lies from the 4th filter entry or the 2nd
# instance entry on, and walks that fail midway. (Every kind in either walk, with the DebugTrace
# lines it gives, is the telemetry unit test's.)
LIES = [
    (["name-length", "--after", "3"], FILTER_WALK_STOPPED),
    (["name-offset", "--after", "3"], FILTER_WALK_STOPPED),
    (["returned-past-buffer", "--after", "3"], FILTER_WALK_STOPPED),
    (["unknown-type", "--after", "3"], FILTER_WALK_STOPPED),
    (["odd-name-length", "--after", "3"], FILTER_NAME_UNMATCHED),
    (["filter-next-fails", "--after", "3", "--error", "not-enough-memory"], FILTER_WALK_STOPPED),
    (["name-length", "--walk", "instances", "--after", "1"], INSTANCE_WALK_CUT),
    (["no-instance-name", "--after", "1"], INSTANCE_WALK_CUT),
    (["instance-next-fails", "--after", "1", "--error", "87"], INSTANCE_WALK_CUT),
]

FALLBACK_ERROR = ", ERROR : Failed to locate ProgramData directory using SHGetKnownFolderPath.\r\n"


class TelemetryTest(MachineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.snapshot = cls.machine.prefix / TELEMETRY_IN_PREFIX
        cls.stack = cls.machine.prefix / FILTER_STACK_IN_PREFIX
        cls.lie = cls.machine.prefix / FLTLIB_LIE_IN_PREFIX
        cls.system_volume = None

    def setUp(self):
        self.machine.ensure_stopped()
        self.machine.nvxsim("driver", "stop")
        self.machine.checked("fltlib", "lie", "--clear")
        self.snapshot.unlink(missing_ok=True)
        self.addCleanup(self.machine.nvxsim, "driver", "stop")
        self.addCleanup(self.machine.ensure_stopped)

    # ---- helpers

    def start_and_read_snapshot(self, expected, timeout=30):
        """Starts the service and returns telemetry.log's content once it is `expected` (a run writes it
        whole, but a reader may look between its create and its write); fails with what it held."""
        answer = self.machine.service("start")
        self.assertEqual(answer.statuses[-1].state, RUNNING, answer.run.out)
        self.wait_for_text("Getting telemetry...")
        deadline = time.monotonic() + timeout
        content = None
        while time.monotonic() < deadline:
            try:
                content = self.snapshot.read_text(encoding="ascii")
            except FileNotFoundError:
                content = None
            if content == expected:
                return content
            time.sleep(0.2)
        self.fail(f"{self.snapshot} holds {content!r} after {timeout} s, not {expected!r}")

    def assert_logged_and_stop_cleanly(self):
        texts = [e.text for e in self.run_log()]
        self.assertIn("Initialising telemetry...", texts)
        self.assertLess(texts.index("Initialising telemetry..."), texts.index("Getting telemetry..."))
        self.assertFalse([t for t in texts if t.startswith("GetTelemetryAndWriteToFile failed")], texts)
        self.assertEqual(self.machine.query().state, RUNNING, "the service runs on after its snapshot")
        answer = self.machine.service("stop")
        self.assertEqual((answer.statuses[-1].state, answer.statuses[-1].exit_code), (STOPPED, 0), answer.run.out)

    def start_driver(self):
        """Loads the driver simulator; the system volume's device name, from the stack it publishes."""
        self.machine.checked("driver", "start")
        shown = json.loads(self.machine.checked("driver", "filters", "--json").out)
        self.assertTrue(shown["published"], shown)
        volumes = {i["volume"] for f in shown["filters"] for i in f.get("instances", ())}
        system = volumes - {r"\Device\HarddiskVolume2"}
        self.assertEqual(len(system), 1, volumes)
        return system.pop()

    def set_stack(self, text, system):
        path = Path(self._tmp) / "stack.txt"
        path.write_text(text.format(system=system), encoding="utf-8")
        return self.machine.checked("driver", "filters", "set", str(path))

    def snapshot_cycle(self, expected):
        """One start with the stack and lie in place: the snapshot, then a clean stop."""
        self.snapshot.unlink(missing_ok=True)
        self.start_and_read_snapshot(expected)
        self.assert_logged_and_stop_cleanly()

    # ---- tests

    def test_with_the_driver_loaded_the_snapshot_reports_the_watched_filters_of_the_system_volume(self):
        self.machine.checked("driver", "start")
        self.assertTrue(self.stack.is_file(), "the driver publishes its filter stack as it loads")
        self.start_and_read_snapshot(WITH_DRIVER)
        shown = json.loads(self.machine.checked("telemetry", "--json").out)
        self.assertEqual((shown["path"], shown["host_path"], shown["exists"], shown["content"]),
                         (TELEMETRY_WIN, str(self.snapshot), True, WITH_DRIVER))
        self.assert_logged_and_stop_cleanly()
        self.assertEqual(self.snapshot.read_text(encoding="ascii"), WITH_DRIVER, "a stop leaves the snapshot")

        self.machine.checked("driver", "stop")
        self.assertFalse(self.stack.exists(), "the filter stack goes with the driver")

    def test_without_a_driver_the_snapshot_holds_only_the_frame_count_0(self):
        self.assertFalse(self.stack.exists())
        self.start_and_read_snapshot(WITHOUT_FILTERS)
        self.assert_logged_and_stop_cleanly()

    def test_driver_filters_shows_sets_and_resets_the_published_stack(self):
        system = self.start_driver()
        default = self.stack.read_bytes()
        text = STACKS["fractional altitudes give their integer part"][0]
        run = self.set_stack(text, system)
        self.assertIn("3 filters, 2 instances", run.out)
        shown = json.loads(self.machine.checked("driver", "filters", "--json").out)
        self.assertEqual([(f["kind"], f["name"], f.get("frame"), f["altitude"]) for f in shown["filters"]],
                         [("minifilter", "QAVOnAccess", 2, "321410.75"), ("minifilter", "ravelflt", 1, "145100"),
                          ("legacy", "MRLC", None, "40.5")])
        self.assertEqual(shown["filters"][1]["instances"],
                         [{"name": "Lockward", "altitude": "145100.999", "volume": system, "frame": 1}])
        self.assertIn("Lockward", self.machine.checked("driver", "filters").out)

        # A description the parser refuses changes nothing, and is named as the user named it.
        bad = Path(self._tmp) / "bad stack.txt"
        bad.write_text("minifilter\tA\t0\t1\ninstance\tNoSuch\tI\t1\t" + system + "\n", encoding="utf-8")
        run = self.machine.nvxsim("driver", "filters", "set", str(bad))
        self.assertEqual(run.rc, 2, run.out + run.err)
        self.assertIn(f"{bad}: line 2: no minifilter named NoSuch", run.err)
        self.assertEqual(len(json.loads(self.machine.checked("driver", "filters", "--json").out)["filters"]), 3)
        self.assertEqual(sorted(p.name for p in self.stack.parent.glob("filters-set-*")), [], "no copy is left")

        self.machine.checked("driver", "filters", "reset")
        self.assertEqual(self.stack.read_bytes(), default)
        self.machine.checked("driver", "stop")
        run = self.machine.nvxsim("driver", "filters")
        self.assertEqual(run.rc, 1)
        self.assertIn("no filter stack published", run.out)
        run = self.machine.nvxsim("driver", "filters", "set", str(bad))
        self.assertEqual(run.rc, 2)
        self.assertIn("nvxsim driver start", run.err)

    def test_stacks_set_through_the_driver(self):
        system = self.start_driver()
        for case, (text, expected) in STACKS.items():
            with self.subTest(stack=case):
                self.set_stack(text, system)
                self.snapshot_cycle(expected)

    def test_lying_records_and_walks_that_fail_midway_shorten_the_line_and_the_service_runs_on(self):
        system = self.start_driver()
        self.set_stack(LIE_STACK, system)
        self.snapshot_cycle(LIE_TRUTH)
        for lie, expected in LIES:
            with self.subTest(lie=" ".join(lie)):
                self.machine.checked("fltlib", "lie", *lie)
                shown = json.loads(self.machine.checked("fltlib", "--json").out)
                self.assertEqual(shown["lie"]["kind"], lie[0])
                self.snapshot_cycle(expected)
        self.machine.checked("fltlib", "lie", "--clear")
        self.assertFalse(self.lie.exists())
        self.assertIn("tells the truth", self.machine.checked("fltlib").out)

    def test_fltlib_lie_refuses_what_the_stand_in_would_not_take(self):
        for args in (["lie"], ["lie", "no-such-kind"], ["lie", "no-instance-name", "--walk", "filters"],
                     ["lie", "filter-next-fails"], ["lie", "name-length", "--error", "8"],
                     ["lie", "name-length", "--clear"]):
            with self.subTest(args=args):
                run = self.machine.nvxsim("fltlib", *args)
                self.assertEqual(run.rc, 2, run.out + run.err)
                self.assertFalse(self.lie.exists())
        self.machine.checked("fltlib", "lie", "instance-next-fails", "--after", "2", "--error", "0x8")
        self.assertEqual(self.lie.read_text(), "kind=instance-next-fails walk=instances after=2 error=8\n")

    def test_a_failed_program_data_lookup_goes_to_the_fallback_text_log(self):
        # The test build can be told to fail the lookup; the shipped build goes back in afterwards.
        self.machine.install_test_build()
        self.addCleanup(self.machine.checked, "install", "--build", "shipped")
        self.machine.reg_set("params", "TestFailProgramDataLookup", "REG_DWORD", 1)
        self.addCleanup(self.machine.reg_delete, "params", "TestFailProgramDataLookup")
        # Wine runs services as the prefix's user, whose %TEMP% is its profile's Temp directory.
        temps = list((self.machine.prefix / "drive_c" / "users").glob("*/AppData/Local/Temp")) + \
            list((self.machine.prefix / "drive_c" / "users").glob("*/Temp"))
        before = {p for t in temps for p in t.glob("Kestro Vantor *.log")}

        answer = self.machine.service("start")
        self.assertEqual(answer.statuses[-1].state, RUNNING, answer.run.out)
        texts = [e.text for e in self.run_log()]
        self.assertIn("Test build: the telemetry's ProgramData lookup will fail", texts)
        self.wait_for_text("Getting telemetry...")
        deadline = time.monotonic() + 30
        new = []
        while time.monotonic() < deadline:
            new = [p for t in temps for p in t.glob("Kestro Vantor *.log") if p not in before]
            if new and new[0].read_bytes().decode("utf-16-le", errors="replace").endswith(FALLBACK_ERROR):
                break
            time.sleep(0.2)
        self.assertEqual(len(new), 1, f"one new fallback log in {temps}: {new}")
        data = new[0].read_bytes()
        self.assertEqual(data[:2], b"\xff\xfe", "UTF-16LE with its byte-order mark")
        lines = data[2:].decode("utf-16-le").split("\r\n")
        self.assertEqual(len(lines), 3, lines)
        self.assertTrue(lines[0].startswith("Started ") and lines[0].endswith(r"\NVXService.exe"), lines)
        self.assertTrue(lines[1].endswith(FALLBACK_ERROR[:-2]), lines)
        self.assertEqual(lines[2], "")
        self.assertFalse(self.snapshot.exists(), "no snapshot without the data directory")
        self.assert_logged_and_stop_cleanly()


if __name__ == "__main__":
    unittest.main()
