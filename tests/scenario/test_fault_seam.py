"""The test build's fault seam under the SCM: call N of a chosen operation fails with a chosen error,
and the service meets it as its code defines (a retry, a failed start with that step's exit code, a
logged failure it runs on after). The Parameters key names the operation, the call and the error;
the process's end writes how many calls each operation made."""

import re
import unittest

from simtest import ERROR_SERVICE_REQUEST_TIMEOUT, RUNNING, STOPPED, status_line

from test_driver_channel import PARAMS_KEY, ChannelTestCase

EXIT_OS_NOTIFICATION_THREAD_FAILED = 0xF000013
EXIT_EVENT_JOURNALS_FAILED = 0xF000028
EXIT_MAIN_LOOP_THREAD_FAILED = 0xF000029
EXIT_CONTROL_HANDLER_FAILED = 0xF00002A
ERROR_NOT_ENOUGH_MEMORY = 8
ERROR_NO_SYSTEM_RESOURCES = 1450
ERROR_ACCESS_DENIED = 5
E_ACCESSDENIED = 0x80070005
COUNTS_FILE = r"C:\fault-counts.txt"
FAULT_VALUES = {"TestFaultOperation": "REG_SZ", "TestFaultCall": "REG_DWORD", "TestFaultError": "REG_DWORD",
                "TestFaultCount": "REG_DWORD"}
# The SCM calls of a run, in order: the manager and the service's entry opened, its status read, the
# dispatcher, the control handler's registration, then one per status report: start pending
# checkpoint 2, running, stop pending checkpoints 1 and 2, stopped.
SCM_REGISTER, SCM_RUNNING_REPORT, SCM_STOPPED_REPORT, SCM_CALLS = 5, 7, 10, 10
UNRELEASED = re.compile(r"^There are (\d+) unreleased (?:big chunk|memory) buffers$")


class FaultSeamCase(ChannelTestCase):
    """A machine with the test build installed, and the means to make calls fail."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.machine.install_test_build()
        cls.machine.reg_set(PARAMS_KEY, "TestFaultCountsFile", "REG_SZ", COUNTS_FILE)

    def setUp(self):
        super().setUp()
        self.counts_path = self.machine.prefix / "drive_c" / "fault-counts.txt"
        self.counts_path.unlink(missing_ok=True)
        self.machine.checked("driver", "start")

    def fail_call(self, operation, call, error, count=1):
        for name, value in zip(FAULT_VALUES, (operation, call, error, count)):
            self.machine.reg_set(PARAMS_KEY, name, FAULT_VALUES[name], value)
            self.addCleanup(self.machine.reg_delete, PARAMS_KEY, name)

    def counts(self):
        """{operation: (calls, failures)} as the service's process wrote them at its end."""
        lines = [line.split() for line in self.counts_path.read_text().splitlines()]
        return {words[0]: (int(words[1]), int(words[2])) for words in lines if len(words) == 3}

    def texts(self):
        return [e.text for e in self.run_log()]


class FaultSeamTest(FaultSeamCase):
    """Failed starts with their exit codes, and failures the service runs on from."""

    def test_a_failed_async_port_connect_is_retried_by_the_main_loop(self):
        # The first connect is the synchronous port's, the second the channel's.
        self.fail_call("FilterConnect", 2, E_ACCESSDENIED)
        self.start()
        self.assertIn("Test build: FilterConnect call 2 (1 calls) will fail with 0x80070005", self.texts())
        self.assertEqual(self.texts().count("Unable to open async communications port - error 0x80070005"), 1)
        # Without the channel the main loop keeps its short period and connects at its next pass.
        self.machine.checked("driver", "wait-connect", "--port", "async", "--timeout-ms", "15000")
        self.version_is_answered()
        self.assertEqual(self.machine.query().state, RUNNING)

        self.assert_clean_stop(self.machine.service("stop"))
        calls, failures = self.counts()["FilterConnect"]
        self.assertEqual(failures, 1)
        self.assertGreaterEqual(calls, 3, "the failed connect was made again")

    def test_a_failed_thread_creation_fails_the_start_with_that_threads_exit_code(self):
        # With the driver: the debug log's thread, the communications thread, then the OS notification
        # thread.
        self.fail_call("ThreadCreate", 3, ERROR_NO_SYSTEM_RESOURCES)
        answer = self.start_that_fails()
        self.assertNotIn(RUNNING, [s.state for s in answer.statuses])
        self.assert_clean_stop(answer, EXIT_OS_NOTIFICATION_THREAD_FAILED)
        texts = self.texts()
        self.assertIn("Test build: ThreadCreate call 3 (1 calls) will fail with 0x000005aa", texts)
        self.assertIn("[0] Communications thread starting", texts)
        self.assertEqual(self.counts()["ThreadCreate"], (3, 1))

    # Events are made, in this order with the driver: the debug log thread's, the communications
    # thread's, the OS notification thread's, the event-journal thread's, the main loop's. These two
    # failed starts used to end with exit code 0, which reads as a clean stop.
    def assert_start_fails_with(self, event_call, code):
        self.fail_call("EventCreate", event_call, ERROR_NOT_ENOUGH_MEMORY)
        answer = self.start(expected=STOPPED)
        self.assertNotIn(RUNNING, [s.state for s in answer.statuses])
        self.assert_clean_stop(answer, code)
        self.assertIn(f"Test build: EventCreate call {event_call} (1 calls) will fail with 0x00000008", self.texts())

    def test_a_failed_start_of_event_journal_management_has_its_own_exit_code(self):
        self.assert_start_fails_with(4, EXIT_EVENT_JOURNALS_FAILED)
        self.assertEqual(self.texts().count("Unable to create the event journal monitoring thread"), 1)

    def test_a_main_loop_that_cannot_be_made_has_its_own_exit_code(self):
        self.assert_start_fails_with(5, EXIT_MAIN_LOOP_THREAD_FAILED)
        self.assertEqual(self.texts().count("Unable to create the main loop thread object"), 1)

    # A status report the SCM did not take left it waiting for a state the service had left: a start
    # that never completed (running not reported), or a stop that never did (stopped not reported, so
    # the dispatcher never returned and the process stayed). Each is now made again and logged once.
    def test_a_failed_status_report_is_made_again(self):
        for call, state in ((SCM_RUNNING_REPORT, RUNNING), (SCM_STOPPED_REPORT, STOPPED)):
            with self.subTest(state=state):
                self.counts_path.unlink(missing_ok=True)
                self.fail_call("Scm", call, ERROR_ACCESS_DENIED)
                answer = self.start()
                self.assertEqual([s.state for s in answer.statuses if s.state == RUNNING], [RUNNING])
                self.machine.checked("driver", "wait-connect", "--port", "async", "--timeout-ms", "10000")
                self.version_is_answered()
                stop = self.machine.service("stop")
                self.assertFalse(stop.timed_out, stop.run.out)
                self.assert_clean_stop(stop)
                self.assertEqual(self.counts()["Scm"], (SCM_CALLS + 1, 1))
                retried = f"Service status {state} reported at attempt 2, after error 5"
                if state == RUNNING:
                    self.assertEqual(self.texts().count(retried), 1)
                    self.assertEqual(self.texts().count(status_line(RUNNING, 0)), 1)
                else:
                    # The stopped state is reported after the log's end: nothing of it is logged.
                    self.assertNotIn(retried, self.texts())

    def test_a_control_handler_registration_is_made_again_and_one_never_made_ends_the_process(self):
        self.fail_call("Scm", SCM_REGISTER, ERROR_ACCESS_DENIED)
        self.start()
        self.assertEqual(self.texts().count("Service control handler registered at attempt 2, after error 5"), 1)
        self.assert_clean_stop(self.machine.service("stop"))
        self.assertEqual(self.counts()["Scm"], (SCM_CALLS + 1, 1))

        # Every attempt fails: no state can ever be reported, so the process ends by itself, after its
        # shutdown, instead of waiting in the dispatcher for a stop that can never be reported.
        self.counts_path.unlink(missing_ok=True)
        self.fail_call("Scm", SCM_REGISTER, ERROR_ACCESS_DENIED, count=5)
        answer = self.machine.service("start")
        self.assertEqual(answer.error, ERROR_SERVICE_REQUEST_TIMEOUT, answer.run.out)
        texts = [e.text for e in self.ended_run_log()]
        self.assertEqual(texts.count("ERROR: Unable to register the service control handler, error 5"), 1)
        self.assertNotIn(status_line(2, 2, EXIT_CONTROL_HANDLER_FAILED), texts)
        reports = [int(m.group(1)) for m in map(UNRELEASED.match, texts) if m]
        self.assertEqual(reports, [0, 0], texts)
        self.assertEqual(self.counts()["Scm"], (SCM_REGISTER + 4, 5))
        self.assertEqual(self.machine.query().state, STOPPED)

    def test_a_debug_log_thread_that_cannot_start_leaves_the_runs_log_at_the_end(self):
        # Without its thread nothing wrote the buffer, and the final flush had no file: the run left
        # no log at all. The thread layer logs the failed start; the shutdown writes the buffer.
        self.fail_call("ThreadCreate", 1, ERROR_NO_SYSTEM_RESOURCES)
        self.start()
        self.machine.checked("driver", "wait-connect", "--port", "async", "--timeout-ms", "10000")
        self.version_is_answered()
        self.assert_clean_stop(self.machine.service("stop"))
        texts = self.texts()
        self.assertIn("Test build: ThreadCreate call 1 (1 calls) will fail with 0x000005aa", texts)
        self.assertEqual(texts.count("Unable to start a thread, error 1450"), 1)
        self.assertEqual([int(m.group(1)) for m in map(UNRELEASED.match, texts) if m], [0, 0])

    def test_a_step_that_fails_before_the_dispatcher_keeps_its_log_line(self):
        # The process ended with the line still in the debug buffer, which went with the log thread.
        self.fail_call("Scm", 1, ERROR_ACCESS_DENIED)
        answer = self.machine.service("start")
        self.assertEqual(answer.error, ERROR_SERVICE_REQUEST_TIMEOUT, answer.run.out)
        texts = [e.text for e in self.ended_run_log()]
        self.assertEqual(texts.count("ERROR: Could not access service controller!"), 1, texts)
        self.assertEqual(texts[-1], "There were 0 missed debug log messages")
        self.assertEqual(self.counts()["Scm"], (1, 1))

    def test_a_failed_registry_open_is_logged_and_the_service_runs_on(self):
        # The seventh open is the service key's, for its watch (the housekeeping opens it again).
        self.fail_call("RegOpenKey", 7, ERROR_ACCESS_DENIED)
        self.start()
        texts = self.texts()
        self.assertIn("Test build: RegOpenKey call 7 (1 calls) will fail with 0x00000005", texts)
        self.assertEqual(texts.count("Error opening Kestro Vantor Service registry key, error = 5"), 1, texts)
        self.assertNotIn("Opened Kestro Vantor Service registry key", texts)
        self.machine.checked("driver", "wait-connect", "--port", "async", "--timeout-ms", "10000")
        self.version_is_answered()

        self.assert_clean_stop(self.machine.service("stop"))
        calls, failures = self.counts()["RegOpenKey"]
        self.assertEqual(failures, 1)
        self.assertGreaterEqual(calls, 7)


if __name__ == "__main__":
    unittest.main()
