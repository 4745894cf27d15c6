"""NVXService.exe's switches, run from a console in the simulated machine."""

import unittest

from simtest import SERVICE_KEY, MachineTestCase

USAGE = (b"usage: NVXService.exe [ options ]\r\n"
         b"Options:\r\n"
         b" -h          Displays this help message\r\n"
         b" -v          Displays the application version\r\n")
VERSION = (b"Kestro Vantor Service 2.1.2\r\n"
           b"Copyright (C) Kestro. All rights reserved.\r\n")


class CommandLineTest(MachineTestCase):
    def test_switches_print_their_text_and_exit_code(self):
        cases = [("-v", VERSION, 0), ("-h", USAGE, 0), ("-x", USAGE, 1), ("--help", USAGE, 1), ("-", USAGE, 1),
                 # Only the first argument is looked at.
                 ("-v -h", VERSION, 0), ("-h extra words", USAGE, 0)]
        for args, text, code in cases:
            with self.subTest(args=args):
                run = self.machine.console(*args.split())
                self.assertEqual(run.output, text)
                self.assertEqual(run.exit_code, code)

    def test_a_switch_is_answered_before_start_up(self):
        # Start-up reads and repairs the service's settings; a switch never gets that far.
        for name in ("DebugFacilities", "DebugLevel", "Version"):
            self.machine.reg_delete(SERVICE_KEY, name)
        for switch in ("-v", "-h", "-x"):
            self.machine.console(switch)
        for name in ("DebugFacilities", "DebugLevel", "Version"):
            with self.subTest(value=name):
                self.assertIsNone(self.machine.reg_get(SERVICE_KEY, name))


if __name__ == "__main__":
    unittest.main()
