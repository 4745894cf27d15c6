"""The service under the SCM: start, stop and the controls it does not take, as the status reports
and answers a service-control tool sees them, and as its log records them."""

import time
import unittest

from simtest import (ERROR_SERVICE_ALREADY_RUNNING, RUNNING, SERVICE_KEY, START_PENDING, STOP_PENDING, STOPPED,
                     WAIT_HINT_MS, MachineTestCase, status_line)

ACCEPT_STOP = 0x1
ACCEPT_STOP_SHUTDOWN = 0x5
MAIN_LOOP_PERIOD_S = 5

ERROR_CALL_NOT_IMPLEMENTED = 120
ERROR_INVALID_SERVICE_CONTROL = 1052
ERROR_SERVICE_NOT_ACTIVE = 1062

RUNNING_STATUS = (RUNNING, 0, 0, 0, ACCEPT_STOP)


class ServiceControlTest(MachineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # Debug level, so every status report is also a log line.
        cls.machine.reg_set(SERVICE_KEY, "DebugLevel", "REG_DWORD", 1)

    def setUp(self):
        self.machine.ensure_stopped()

    def start(self):
        answer = self.machine.service("start")
        self.assertIsNone(answer.error, answer.run.out)
        self.assertEqual(answer.statuses[-1].state, RUNNING, answer.run.out)
        return answer

    def test_start_reports_start_pending_then_running(self):
        answer = self.start()
        self.assertEqual(answer.request["result"], "1")
        # Polling sees the reports in order; a start that is quick may already be RUNNING at the
        # first poll, so the START_PENDING report is also checked where it is always recorded.
        reports = [(START_PENDING, 2, WAIT_HINT_MS, 0, ACCEPT_STOP_SHUTDOWN), RUNNING_STATUS]
        self.assert_polled([s.essentials() for s in answer.statuses], reports)
        self.assertEqual(self.machine.query().essentials(), RUNNING_STATUS)
        # The log is written by its own thread: wait for the RUNNING line, then check what led to it.
        texts = [e.text for e in self.wait_for_text(status_line(RUNNING, 0))]
        running = texts.index(status_line(RUNNING, 0))
        self.assertIn(status_line(START_PENDING, 2), texts[:running])

    def test_stop_during_the_main_loop_wait_ends_it_at_once(self):
        self.start()
        time.sleep(1)  # the main loop is now inside its 5 s wait
        answer = self.machine.service("stop")
        self.assertIsNone(answer.error, answer.run.out)
        self.assertEqual(answer.request["result"], "1")
        # The SCM answers with the status it holds once the handler has returned: the handler's
        # own STOP_PENDING (checkpoint 1), or on a busy host already the shutdown's checkpoint 2.
        self.assertIn(answer.returned.essentials(),
                      [(STOP_PENDING, checkpoint, WAIT_HINT_MS, 0, ACCEPT_STOP) for checkpoint in (1, 2)])
        polled = [s.essentials() for s in answer.statuses if s.source == "poll"]
        self.assert_polled(polled, [(STOP_PENDING, 2, WAIT_HINT_MS, 0, ACCEPT_STOP), (STOPPED, 0, 0, 0, ACCEPT_STOP)])
        # Waiting out the period would take up to 5 s; a woken wait takes a few milliseconds.
        self.assertLess(answer.statuses[-1].t_ms, MAIN_LOOP_PERIOD_S * 1000 / 5)
        self.assertEqual(self.machine.query().essentials(), (STOPPED, 0, 0, 0, ACCEPT_STOP))

    def test_a_stop_during_the_start_is_never_followed_by_running(self):
        # The stop is sent from the start request on and taken as soon as the service accepts it,
        # mostly while its start is still pending (the SCM's answer, the handler's STOP_PENDING,
        # then keeps the controls accepted while starting). Wherever it lands, the service never
        # reports RUNNING after STOP_PENDING (its log has every report, in the order made), skips
        # RUNNING altogether when the stop came first, and stops cleanly.
        met = 0
        for attempt in range(6):
            with self.subTest(attempt=attempt):
                answer = self.machine.start_and_stop()
                self.assertIsNotNone(answer.returned, answer.run.out)
                self.assertEqual((answer.statuses[-1].state, answer.statuses[-1].exit_code), (STOPPED, 0),
                                 answer.run.out)
                self.assertLess(answer.statuses[-1].t_ms, WAIT_HINT_MS)
                texts = [e.text for e in self.ended_run_log()]
                reports = [t for t in texts if t.startswith("Service status ")]
                stopping = reports.index(status_line(STOP_PENDING, 1))
                self.assertNotIn(status_line(RUNNING, 0), reports[stopping:], reports)
                if answer.returned.accepted == ACCEPT_STOP_SHUTDOWN:
                    met += 1
                    self.assertEqual(reports, [status_line(START_PENDING, 2), status_line(STOP_PENDING, 1),
                                               status_line(STOP_PENDING, 2)])
        self.assertGreater(met, 0, "no stop came while the start was pending")

    def test_pause_and_continue_are_refused_and_change_nothing(self):
        # The service does not accept pause/continue, so the SCM refuses them itself (as Windows
        # does) before they reach the handler.
        self.start()
        for control in ("pause", "continue"):
            with self.subTest(control=control):
                answer = self.machine.service(control)
                self.assertEqual(answer.request["result"], "0")
                self.assertEqual(answer.error, ERROR_INVALID_SERVICE_CONTROL)
                self.assertEqual(self.machine.query().essentials(), RUNNING_STATUS)

    def test_a_user_defined_control_reaches_the_service_and_changes_nothing(self):
        self.start()
        answer = self.machine.service("control", "200")
        # The handler answers 120 (not implemented); Wine's SCM does not pass that answer on.
        if answer.error is not None:
            self.assertEqual(answer.error, ERROR_CALL_NOT_IMPLEMENTED)
        else:
            self.assertEqual(answer.returned.essentials(), RUNNING_STATUS)
        self.assertEqual(self.machine.query().essentials(), RUNNING_STATUS)

    def test_interrogate_reports_the_current_status(self):
        self.start()
        answer = self.machine.service("interrogate")
        self.assertEqual(answer.request["result"], "1")
        self.assertEqual(answer.returned.essentials(), RUNNING_STATUS)
        self.machine.service("stop")
        answer = self.machine.service("interrogate")
        self.assertEqual(answer.error, ERROR_SERVICE_NOT_ACTIVE)

    def test_start_when_running_and_stop_when_stopped_are_refused(self):
        self.start()
        answer = self.machine.service("start")
        self.assertEqual(answer.error, ERROR_SERVICE_ALREADY_RUNNING)
        self.assertEqual(self.machine.query().essentials(), RUNNING_STATUS)
        self.machine.service("stop")
        answer = self.machine.service("stop")
        self.assertEqual(answer.error, ERROR_SERVICE_NOT_ACTIVE)
        self.assertEqual(answer.returned.state, STOPPED)

    def test_log_records_status_reports_housekeeping_and_shutdown(self):
        self.start()
        start_time = time.monotonic()
        self.machine.service("interrogate")
        self.machine.service("control", "200")
        time.sleep(max(0.0, MAIN_LOOP_PERIOD_S + 0.8 - (time.monotonic() - start_time)))
        self.machine.service("stop")
        lines = self.machine.log_lines()
        self.assertIsNotNone(lines, "the service writes nvxs.log in its logs directory")
        # This run's part of the log: from its RUNNING report on.
        texts = [e.text for e in lines]
        first = max(i for i, t in enumerate(texts) if t == status_line(START_PENDING, 2))
        run = lines[first:]
        texts = [e.text for e in run]

        def at(text, start=0):
            self.assertIn(text, texts[start:])
            return texts.index(text, start)

        running = at(status_line(RUNNING, 0))
        # Interrogate and the user-defined control each report the unchanged status again.
        self.assertEqual(texts.count(status_line(RUNNING, 0)), 3)
        housekeeping = [e for e in run if e.text.startswith("Mainloop housekeeping ")]
        self.assertEqual(len(housekeeping), 1, "one pass in the first 5.8 s")
        after = (housekeeping[0].time - run[running].time).total_seconds()
        self.assertGreaterEqual(after, MAIN_LOOP_PERIOD_S - 0.05)
        stop_pending_1 = at(status_line(STOP_PENDING, 1), running)
        leaving = at("Shutting down the service...", running)
        stop_pending_2 = at(status_line(STOP_PENDING, 2), leaving)
        self.assertLess(stop_pending_1, stop_pending_2)
        shutdown = at("Starting shutdown...", stop_pending_2)
        at("Service stopping...", shutdown)
        for e in run:
            if e.text.startswith("Service status "):
                self.assertEqual((e.facility, e.level), ("Sys", "Debug"))


if __name__ == "__main__":
    unittest.main()
