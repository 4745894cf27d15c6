"""Libraries from System32 only: with a fltlib.dll and a pdh.dll planted beside the service (DLLs
that record every load of them), the service started with the driver loaded connects to the
driver's ports, writes its telemetry snapshot of the driver's filter stack and samples the driver's
counters, all through the stand-ins the machine keeps in System32, and stops cleanly; the planted
DLLs are never loaded. A program that does load a planted DLL shows that its loads are recorded."""

import os
import shutil
import time
import unittest
from pathlib import Path

from simtest import RUNNING, STOPPED, MachineTestCase
from nvxsimlib.layout import FLTLIB_NAME, INSTALL_DIR_WIN, PDH_NAME, REPO, SYSTEM32_IN_PREFIX
from nvxsimlib.logs import PERF_LOG_IN_PREFIX, TELEMETRY_IN_PREFIX
from nvxsimlib.wine import WinePrefix

PARAMS_KEY = "params"  # nvxsim's short name for the service's Parameters key
INSTALL_DIR_IN_PREFIX = Path("drive_c/Program Files/Kestro/Vantor")
LOADS_IN_PREFIX = Path("drive_c/nvxsim/planted-loads.txt")  # what the planted DLLs record
# The snapshot of the driver simulator's own stack (as the telemetry scenario expects it).
WITH_DRIVER = ('"NumFrames":2,"NVXAMFrame":1,"NVXAMAltitude":328010,"NVXTPFrame":1,"NVXTPAltitude":328020,'
               '"NVXEDRFrame":1,"NVXEDRAltitude":385100,"MRLAAltitude":329000')
# The stand-ins' marker exports, by file.
MARKERS = {FLTLIB_NAME: b"NvxSimFltlibStandIn", PDH_NAME: b"NvxSimPdhStandIn"}


def planted_dir():
    """The planted DLLs' build directory: $NVXSIM_PLANTED_DIR, else the default build's."""
    return Path(os.environ.get("NVXSIM_PLANTED_DIR") or REPO / "build/mingw/sim/planted")


class SystemLibrariesTest(MachineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.loads = cls.machine.prefix / LOADS_IN_PREFIX
        cls.install_dir = cls.machine.prefix / INSTALL_DIR_IN_PREFIX
        cls.snapshot = cls.machine.prefix / TELEMETRY_IN_PREFIX
        cls.csv_path = cls.machine.prefix / PERF_LOG_IN_PREFIX
        cls.machine.reg_set(PARAMS_KEY, "PerfCollectionPeriodSec", "REG_DWORD", 1)

    def setUp(self):
        self.machine.ensure_stopped()
        self.addCleanup(self.machine.nvxsim, "driver", "stop")
        self.addCleanup(self.machine.ensure_stopped)

    def plant(self):
        for name in (FLTLIB_NAME, PDH_NAME):
            source = planted_dir() / name
            self.assertIn(b"NvxSimPlanted", source.read_bytes(), f"{source} is not a planted DLL")
            shutil.copy2(source, self.install_dir / name)
            self.addCleanup((self.install_dir / name).unlink, missing_ok=True)
        self.loads.unlink(missing_ok=True)

    def recorded_loads(self):
        try:
            return self.loads.read_text(encoding="utf-8").splitlines()
        except FileNotFoundError:
            return []

    def wait_for(self, read, expected, what, timeout=30):
        deadline = time.monotonic() + timeout
        while True:
            value = read()
            if value == expected:
                return
            if time.monotonic() > deadline:
                self.fail(f"{what}: {value!r} after {timeout} s, not {expected!r}")
            time.sleep(0.2)

    def read_snapshot(self):
        try:
            return self.snapshot.read_text(encoding="ascii")
        except FileNotFoundError:
            return None

    def sampled_rows(self):
        try:
            return self.csv_path.read_bytes().count(b"\r\n") >= 2  # the header and a row
        except FileNotFoundError:
            return False

    def test_the_service_takes_the_system32_libraries_and_never_the_planted_ones(self):
        system32 = self.machine.prefix / SYSTEM32_IN_PREFIX
        for name, marker in MARKERS.items():
            self.assertIn(marker, (system32 / name).read_bytes(), f"the stand-in {name} is in System32")
        self.plant()
        self.snapshot.unlink(missing_ok=True)
        for old in self.csv_path.parent.glob("NvxPerformance.csv*"):
            old.unlink()

        self.machine.checked("driver", "version", "2.1.0.0")  # the perf logger samples
        self.machine.checked("driver", "start")
        answer = self.machine.service("start")
        self.assertEqual(answer.statuses[-1].state, RUNNING, answer.run.out)
        # fltlib.dll: both ports connected (by then the service has loaded its fltlib.dll, and a
        # planted one would have recorded its load), a command answered, the filter stack walked.
        connected = self.machine.nvxsim("driver", "wait-connect", "--port", "async", "--timeout-ms", "10000")
        self.assertEqual(self.recorded_loads(), [], "the planted fltlib.dll was never loaded")
        self.assertEqual(connected.rc, 0, connected.out + connected.err)
        self.assertIn('"2.1.2"', self.machine.checked("send-command", "--kind", "get", "VERSION").out)
        self.wait_for(self.read_snapshot, WITH_DRIVER, "telemetry.log")
        # pdh.dll: the driver's counter sets sampled into the perf log.
        self.wait_for(self.sampled_rows, True, "a sampled row in NvxPerformance.csv")
        texts = [e.text for e in self.run_log()]
        self.assertFalse([t for t in texts if "System32" in t], "no failure to restrict or load")

        answer = self.machine.service("stop")
        self.assertEqual((answer.statuses[-1].state, answer.statuses[-1].exit_code), (STOPPED, 0), answer.run.out)
        self.assertEqual(self.recorded_loads(), [], "the planted DLLs were never loaded")

        # The record works: a program that loads the planted pdh.dll is seen.
        planted = INSTALL_DIR_WIN + "\\" + PDH_NAME
        rc, out, err = WinePrefix(self.machine.prefix).wine("rundll32", planted + ",NvxSimPlanted", timeout=60)
        loads = self.recorded_loads()
        self.assertEqual(len(loads), 1, (rc, out, err, loads))
        self.assertEqual(loads[0].split("\t")[0].lower(), planted.lower())


if __name__ == "__main__":
    unittest.main()
