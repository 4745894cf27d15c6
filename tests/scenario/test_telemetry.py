"""The telemetry snapshot end to end: with the driver simulator loaded, the service's start-up walk of
the filter stack the driver publishes (through the fltlib.dll stand-in) writes exactly the expected
line to telemetry.log: the NVX instances of the system volume in the service's table order with the
integer part of a fractional altitude, no instance attached only to another volume, a legacy
filter but not a minifilter of a watched legacy name, and the highest frame. Without a driver the
file holds the frame count 0 alone. Either way a stop afterwards ends cleanly."""

import json
import time
import unittest

from simtest import RUNNING, STOPPED, MachineTestCase
from nvxsimlib.layout import FILTER_STACK_IN_PREFIX
from nvxsimlib.logs import TELEMETRY_IN_PREFIX, TELEMETRY_WIN

# The driver simulator's stack: frames 0 to 2; the NVX instances on the system volume, published in
# another order than the service's table, Security Enhancer at 328020.5; QAVOnAccess attached to
# another volume only; MRLA legacy, MRLB a minifilter.
WITH_DRIVER = ('"NumFrames":2,"NVXAMFrame":1,"NVXAMAltitude":328010,"NVXTPFrame":1,"NVXTPAltitude":328020,'
               '"NVXEDRFrame":1,"NVXEDRAltitude":385100,"MRLAAltitude":329000')
WITHOUT_FILTERS = '"NumFrames":0'


class TelemetryTest(MachineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.snapshot = cls.machine.prefix / TELEMETRY_IN_PREFIX
        cls.stack = cls.machine.prefix / FILTER_STACK_IN_PREFIX

    def setUp(self):
        self.machine.ensure_stopped()
        self.machine.nvxsim("driver", "stop")
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
        answer = self.machine.service("stop")
        self.assertEqual((answer.statuses[-1].state, answer.statuses[-1].exit_code), (STOPPED, 0), answer.run.out)

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


if __name__ == "__main__":
    unittest.main()
