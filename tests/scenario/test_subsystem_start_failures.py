"""Starts that fail in a subsystem's start-up (the test build's fault seam makes the thread object's
event fail): the start ends with that step's exit code, after a shutdown that releases exactly what
had been started, whichever of the driver's ports came up."""

import unittest

from simtest import RUNNING, STOPPED

from test_fault_seam import (EXIT_EVENT_JOURNALS_FAILED, EXIT_MAIN_LOOP_THREAD_FAILED, ERROR_NOT_ENOUGH_MEMORY,
                             UNRELEASED, FaultSeamCase)

EXIT_OS_NOTIFICATIONS_FAILED = 0xF000009


class SubsystemStartFailureTest(FaultSeamCase):
    # A subsystem that fails to start ends the start with its step's exit code, after a shutdown that
    # releases exactly what had been started: the driver's ports as far as they came up (none without
    # the driver; the synchronous port alone when the channel's registration is refused; both), the
    # OS notifications, the event journals. The communications thread's event is made before the
    # channel registers, so the calls below hold whether or not it did; without the driver it is
    # never made.
    SUBSYSTEM_STEPS = (("OS notifications", 3, EXIT_OS_NOTIFICATIONS_FAILED),
                       ("event journals", 4, EXIT_EVENT_JOURNALS_FAILED),
                       ("main loop", 5, EXIT_MAIN_LOOP_THREAD_FAILED))
    RELEASE_LINES = {"notify": "Shutdown OS notification management",
                     "journals": "Shutdown OS event journal management",
                     "channel": "Shutdown async communications"}

    def test_a_failed_subsystem_start_releases_what_was_started(self):
        for driver in ("absent", "refusing registration", "connected"):
            for number, (step, event_call, code) in enumerate(self.SUBSYSTEM_STEPS):
                with self.subTest(driver=driver, step=step):
                    self.counts_path.unlink(missing_ok=True)
                    if driver == "absent":
                        if number == 0:
                            self.machine.checked("driver", "stop")
                        event_call -= 1
                    elif driver == "refusing registration":
                        self.machine.checked("driver", "answer", "0xE0020006", "1")
                    self.fail_call("EventCreate", event_call, ERROR_NOT_ENOUGH_MEMORY)
                    answer = self.start(expected=STOPPED)
                    self.assertNotIn(RUNNING, [s.state for s in answer.statuses])
                    self.assert_clean_stop(answer, code, channel=driver == "connected")
                    texts = self.texts()
                    self.assertEqual(texts.count("Starting shutdown..."), 1)
                    self.assertEqual("Registration failed" in texts, driver == "refusing registration")
                    started = {"notify": number >= 1, "journals": number >= 2, "channel": driver == "connected"}
                    for part, line in self.RELEASE_LINES.items():
                        self.assertEqual(texts.count(line), int(started[part]), f"{line!r} ({part} started)")
                    self.assertEqual([int(m.group(1)) for m in map(UNRELEASED.match, texts) if m], [0, 0])
            if driver == "absent":
                self.machine.checked("driver", "start")


if __name__ == "__main__":
    unittest.main()
