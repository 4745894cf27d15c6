"""The driver-version check at every stop: with a 1.x driver file the service disables itself and the
early-launch driver service for the next boot (Start = 4) and says so; with a 2.x or later driver, or
none, nothing is logged or changed; without the early-launch key only the service is disabled."""

import unittest

from simtest import RUNNING, SERVICE_KEY, STOPPED, MachineTestCase

DOWNGRADED = "NVX downgraded from 2.x to 1.x"
SERVICE_DISABLED = "Kestro Vantor Service service is not supported prior to NVX 2.x, service disabled on reboot"
ELAM_DISABLED = "Kestro ELAM service is not supported prior to NVX 2.x, service disabled on reboot"
DEMAND_START, DISABLED = 3, 4


class DriverDowngradeTest(MachineTestCase):
    def setUp(self):
        # A disabled service is enabled again (demand start), the early-launch key is as installed.
        self.machine.reg_set(SERVICE_KEY, "Start", "REG_DWORD", DEMAND_START)
        self.machine.checked("elam", "present")

    def run_with_driver(self, version):
        """Start and stop with that driver file (None: no file); the stop's shutdown lines."""
        if version is None:
            self.machine.checked("driver-file", "remove")
        else:
            self.machine.checked("driver-file", "set-version", version)
        for command, state in (("start", RUNNING), ("stop", STOPPED)):
            answer = self.machine.service(command)
            self.assertEqual((answer.statuses[-1].state, answer.statuses[-1].exit_code), (state, 0), answer.run.out)
        lines = self.machine.log_lines()
        start = max(i for i, e in enumerate(lines) if e.text == "Starting shutdown...")
        return [(e.facility, e.level, e.text) for e in lines[start:]]

    def start_values(self):
        service = self.machine.reg_get(SERVICE_KEY, "Start")
        elam = self.machine.reg_get("elam", "Start")
        return (int(service[1], 16) if service else None, int(elam[1], 16) if elam else None)

    def test_a_1x_driver_disables_both_services_for_the_next_boot(self):
        lines = self.run_with_driver("1.9.0.0")
        self.assertEqual(lines[1:4], [("Shutdown", "Info", DOWNGRADED), ("Shutdown", "Info", SERVICE_DISABLED),
                                      ("Shutdown", "Info", ELAM_DISABLED)], "the check is the first step")
        self.assertEqual(self.start_values(), (DISABLED, DISABLED))

    def test_2x_and_later_drivers_or_none_change_nothing(self):
        for version in ("2.0.0.0", "3.1.0.0", None):
            with self.subTest(version=version):
                lines = self.run_with_driver(version)
                self.assertEqual([t for _, _, t in lines if "NVX 2.x" in t or "downgraded" in t], [])
                self.assertEqual(self.start_values(), (DEMAND_START, 0))

    def test_without_the_elam_key_only_the_service_is_disabled(self):
        self.machine.checked("elam", "absent")
        lines = self.run_with_driver("1.9.0.0")
        texts = [t for _, _, t in lines]
        self.assertEqual(texts[1:3], [DOWNGRADED, SERVICE_DISABLED])
        self.assertEqual([t for t in texts if "ELAM" in t], [])
        self.assertEqual(self.start_values(), (DISABLED, None))
        self.assertIn(": absent", self.machine.checked("elam", "show").out, "the key was created")


if __name__ == "__main__":
    unittest.main()
