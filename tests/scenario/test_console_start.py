"""NVXService.exe started from a console instead of by the SCM: its settings line, start-up banner,
the error that ends it and its exit code, and the settings it reads and repairs in the registry."""

import re
import unittest
from datetime import datetime, timedelta, timezone

from simtest import SERVICE_KEY, STOPPED, MachineTestCase, parse_log_line

EXIT_NO_SERVICE_ENTRY = 0xF000022
EXIT_NOT_START_PENDING = 0xF000025
NOT_INSTALLED_ERROR = "ERROR: Could not access service Kestro Vantor Service"
NOT_START_PENDING_ERROR = "ERROR: Use the service controller to start the service!"
SETTINGS_VALUES = ("DebugFacilities", "DebugLevel", "Version")


class ConsoleStartTest(MachineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        run = cls.machine.checked("wine", "cmd", "/c", "echo %COMPUTERNAME%")
        cls.computer_name = run.out.strip()

    def setUp(self):
        self.machine.checked("install")
        for name in SETTINGS_VALUES:
            self.machine.reg_delete(SERVICE_KEY, name)

    def start_from_console(self):
        """Runs the program without arguments; returns (log lines, exit code), every line checked
        for the exact prefix and a current UTC time, in order."""
        run = self.machine.console()
        now = datetime.now(timezone.utc)
        parsed = []
        for line in run.lines:
            entry = parse_log_line(line)
            self.assertIsNotNone(entry, f"not a log line: {line!r}")
            self.assertLess(abs(entry.time - now), timedelta(minutes=2), f"time is not UTC now: {line!r}")
            parsed.append(entry)
        self.assertEqual([e.time for e in parsed], sorted(e.time for e in parsed), "times go backwards")
        return parsed, run.exit_code

    def assert_start_up(self, lines, settings, error):
        """The settings line, the six banner lines and the error line, and nothing else."""
        found = [(e.facility, e.level, e.text) for e in lines]
        self.assertEqual(len(found), 8, found)
        self.assertEqual(found[0], ("Init", "Notice", settings))
        self.assertEqual(found[1:3], [("Init", "Info", "Service Starting..."),
                                      ("Init", "Info", "Version: 2.1.2.0 2802564")])
        self.assertEqual(found[3][:2], ("Init", "Info"))
        m = re.fullmatch(r"SysInfo: (\S+) PID (\d+)", found[3][2])
        self.assertIsNotNone(m, found[3])
        self.assertEqual(m.group(1), self.computer_name)
        self.assertGreater(int(m.group(2)), 0)
        self.assertEqual(found[4:7], [("Init", "Info", "  64Bit Kernel: 1"),
                                      ("Init", "Info", "  Dirname: C:\\Program Files\\Kestro\\Vantor\\"),
                                      ("Init", "Info", "  Basename: NVXService")])
        self.assertEqual(found[7], ("Init", "Error", error))

    def test_without_the_service_installed(self):
        self.machine.checked("uninstall")
        lines, code = self.start_from_console()
        self.assert_start_up(lines, "Registry DebugFacilities 0xffffffff DebugLevel 2", NOT_INSTALLED_ERROR)
        self.assertEqual(code, EXIT_NO_SERVICE_ENTRY)
        # The program only reads its key: it does not create one for a service that is not there.
        self.assertIsNone(self.machine.reg_get(SERVICE_KEY, "DisplayName"))
        self.assertIsNone(self.machine.reg_get(SERVICE_KEY, "Version"))

    def test_installed_but_not_started_by_the_scm(self):
        lines, code = self.start_from_console()
        self.assert_start_up(lines, "Registry DebugFacilities 0xffffffff DebugLevel 2", NOT_START_PENDING_ERROR)
        self.assertEqual(code, EXIT_NOT_START_PENDING)
        # Missing settings are written with their defaults, and the version is recorded.
        self.assertEqual(self.machine.reg_get(SERVICE_KEY, "DebugFacilities"), ("REG_DWORD", "0xffffffff"))
        self.assertEqual(self.machine.reg_get(SERVICE_KEY, "DebugLevel"), ("REG_DWORD", "0x2"))
        self.assertEqual(self.machine.reg_get(SERVICE_KEY, "Version"), ("REG_SZ", "2.1.2.0"))
        # The SCM's view is untouched by a console start.
        self.assertEqual(self.machine.query().state, STOPPED)

    def test_settings_of_the_wrong_type_are_replaced_by_defaults(self):
        for name, default in (("DebugFacilities", "0xffffffff"), ("DebugLevel", "0x2")):
            with self.subTest(value=name):
                self.machine.reg_set(SERVICE_KEY, name, "REG_SZ", "1")
                lines, code = self.start_from_console()
                self.assertEqual(code, EXIT_NOT_START_PENDING)
                self.assertEqual(lines[0].text, "Registry DebugFacilities 0xffffffff DebugLevel 2")
                self.assertEqual(self.machine.reg_get(SERVICE_KEY, name), ("REG_DWORD", default))

    def test_an_old_version_value_is_overwritten(self):
        self.machine.reg_set(SERVICE_KEY, "Version", "REG_SZ", "1.0.0.0")
        self.start_from_console()
        self.assertEqual(self.machine.reg_get(SERVICE_KEY, "Version"), ("REG_SZ", "2.1.2.0"))

    def test_debug_level_1_shows_debug_lines(self):
        self.machine.reg_set(SERVICE_KEY, "DebugLevel", "REG_DWORD", 1)
        lines, code = self.start_from_console()
        self.assertEqual(code, EXIT_NOT_START_PENDING)
        self.assertEqual(lines[0].text, "Registry DebugFacilities 0xffffffff DebugLevel 1")
        self.assertIn(("Sys", "Debug", "Complete debug startup..."), [(e.facility, e.level, e.text) for e in lines])
        self.assertEqual([e.text for e in lines if e.level != "Debug"][-1], NOT_START_PENDING_ERROR)
        # The failed step ends the debug log as a shutdown does, so that its lines reach the file.
        self.assertEqual(lines[-1].text, "There were 0 missed debug log messages")
        # A valid value is kept as it is.
        self.assertEqual(self.machine.reg_get(SERVICE_KEY, "DebugLevel"), ("REG_DWORD", "0x1"))

    def test_facility_filter_hides_other_facilities_but_never_the_settings_line(self):
        self.machine.reg_set(SERVICE_KEY, "DebugFacilities", "REG_DWORD", 0x4)  # Sys only
        self.machine.reg_set(SERVICE_KEY, "DebugLevel", "REG_DWORD", 1)
        lines, code = self.start_from_console()
        self.assertEqual(code, EXIT_NOT_START_PENDING)
        self.assertEqual((lines[0].facility, lines[0].text), ("Init", "Registry DebugFacilities 0x00000004 DebugLevel 1"))
        self.assertEqual({e.facility for e in lines[1:]}, {"Sys"})
        self.assertIn("Complete debug startup...", [e.text for e in lines])
        self.assertEqual(self.machine.reg_get(SERVICE_KEY, "DebugFacilities"), ("REG_DWORD", "0x4"))

    def test_level_above_error_hides_the_error_line(self):
        self.machine.reg_set(SERVICE_KEY, "DebugLevel", "REG_DWORD", 6)  # Crit and above
        lines, code = self.start_from_console()
        self.assertEqual(code, EXIT_NOT_START_PENDING)
        self.assertEqual([e.text for e in lines], ["Registry DebugFacilities 0xffffffff DebugLevel 6"])


if __name__ == "__main__":
    unittest.main()
