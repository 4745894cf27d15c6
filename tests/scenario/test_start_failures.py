"""Starts that fail in start-up, before the service dispatcher: what the SCM reports, what the same
machine shows when the program is run from a console, and that the machine starts the service again
once the cause is gone."""

import unittest

from simtest import RUNNING, SERVICE_KEY, STOPPED, MachineTestCase, parse_log_line

EXIT_PATHS_FAILED = 0xF000004
ERROR_SERVICE_REQUEST_TIMEOUT = 1053
PROFILE_LIST = r"HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList"
PROGRAM_DATA = ("REG_EXPAND_SZ", r"%SystemDrive%\ProgramData")

# Ways the profile list's ProgramData can leave path management without a data directory.
BROKEN_PROGRAM_DATA = [
    ("removed", None),
    ("empty", ("REG_EXPAND_SZ", "")),
    ("on a drive without a device", ("REG_EXPAND_SZ", r"Q:\ProgramData")),
    ("with an unknown placeholder", ("REG_EXPAND_SZ", r"%NoSuchFolder%\ProgramData")),
]


class StartFailureTest(MachineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.machine.reg_set(SERVICE_KEY, "DebugLevel", "REG_DWORD", 1)

    def setUp(self):
        self.machine.ensure_stopped()
        self.addCleanup(self.machine.reg_set, PROFILE_LIST, "ProgramData", *PROGRAM_DATA)

    def break_program_data(self, value):
        if value is None:
            self.machine.reg_delete(PROFILE_LIST, "ProgramData")
            self.assertIsNone(self.machine.reg_get(PROFILE_LIST, "ProgramData"))
        else:
            self.machine.reg_set(PROFILE_LIST, "ProgramData", *value)

    def service_processes(self):
        return [cmd for _, cmd in self.machine.processes() if "NVXService.exe" in cmd]

    def test_a_start_that_fails_in_path_management(self):
        log = self.machine.log_path()
        for case, value in BROKEN_PROGRAM_DATA:
            with self.subTest(program_data=case):
                self.break_program_data(value)
                logged = log.read_bytes() if log.exists() else None
                before = self.machine.query()

                # Under the SCM: the process ends before it connects to the SCM. Wine's SCM answers
                # the start at once with 1053 and shows the service stopped again with the exit code
                # it had before (1077 if it never ran): the process's own exit code is not passed on.
                answer = self.machine.service("start")
                self.assertEqual(answer.request.get("result"), "0", answer.run.out)
                self.assertEqual(answer.error, ERROR_SERVICE_REQUEST_TIMEOUT, answer.run.out)
                status = self.machine.query()
                self.assertEqual((status.state, status.checkpoint, status.wait_hint, status.exit_code),
                                 (STOPPED, 0, 0, before.exit_code))
                self.assertEqual(self.service_processes(), [])
                # Without a logs directory there is nowhere to write: the log is left as it was.
                self.assertEqual(log.read_bytes() if log.exists() else None, logged)

                # From a console the same start-up shows how far it got, and the full exit code.
                run = self.machine.console()
                self.assertEqual(run.exit_code, EXIT_PATHS_FAILED)
                lines = [parse_log_line(line) for line in run.lines]
                self.assertNotIn(None, lines, run.lines)
                texts = [e.text for e in lines]
                self.assertEqual(texts[0], "Registry DebugFacilities 0xffffffff DebugLevel 1")
                self.assertIn("Initialize OS path management", texts)
                self.assertEqual(texts[-1], "Shutdown OS path management")
                # The known directories are logged only once every one of them was found.
                self.assertFalse([t for t in texts if t.startswith(("SystemRoot:", "ProgramDataDir:"))], texts)
                self.assertNotIn("Complete debug startup...", texts)

    def test_the_service_starts_again_once_program_data_is_restored(self):
        self.break_program_data(None)
        self.assertEqual(self.machine.service("start").error, ERROR_SERVICE_REQUEST_TIMEOUT)
        self.machine.reg_set(PROFILE_LIST, "ProgramData", *PROGRAM_DATA)
        answer = self.machine.service("start")
        self.assertIsNone(answer.error, answer.run.out)
        self.assertEqual(answer.statuses[-1].state, RUNNING)
        answer = self.machine.service("stop")
        self.assertEqual(answer.statuses[-1].essentials(), (STOPPED, 0, 0, 0, 0x1))
        self.assertEqual(self.machine.log_lines()[-1].text, "There were 0 missed debug log messages")


if __name__ == "__main__":
    unittest.main()
