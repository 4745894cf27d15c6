"""The service's driver channel end to end, as the driver simulator and the service's log show it:
commands the service answers, relays or ignores, a driver that appears only after the start, a stop
while a receive is outstanding, and a start whose communications thread cannot be started (test
build). A driver that goes away and comes back: test_driver_reconnect."""

import re
import time
import unittest

from simtest import (RUNNING, SERVICE_KEY, START_PENDING, STOP_PENDING, STOPPED, WAIT_HINT_MS,
                     status_line)
from test_driver_sim import ASYNC_CONTEXT_HEX, QUEUE_FULL, REGISTRATION_HEX, DriverMachineTestCase

PARAMS_KEY = "params"  # nvxsim's short name for the service's Parameters key
MAIN_LOOP_PERIOD_S = 5
EXIT_COMMS_THREAD_FAILED = 0xF000020
UNKNOWN_COMMAND_REPLY = b"ERROR: 0xe0020007\0"
SERVICE_PID = re.compile(r"SysInfo: VM PID (\d+)$")

SHUTDOWN_LINES = ["Starting shutdown...", "Shutdown async communications", "There are 0 unreleased big chunk buffers",
                  "There are 0 unreleased memory buffers", "Service stopping...",
                  "There were 0 missed debug log messages"]


class ChannelTestCase(DriverMachineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.machine.reg_set(SERVICE_KEY, "DebugLevel", "REG_DWORD", 1)

    def setUp(self):
        self.machine.ensure_stopped()
        self.driver("stop")
        self.machine.checked("driver", "received", "--clear")
        self.addCleanup(self.driver, "stop")
        self.addCleanup(self.machine.ensure_stopped)

    # ---- the service

    def start(self, expected=RUNNING):
        answer = self.machine.service("start")
        self.assertEqual(answer.statuses[-1].state, expected, answer.run.out)
        return answer

    def start_connected(self):
        """The driver loaded, the service running and connected to it, the driver's journal cleared."""
        self.machine.checked("driver", "start")
        self.start()
        self.machine.checked("driver", "wait-connect", "--port", "async", "--timeout-ms", "10000")
        self.machine.checked("driver", "received", "--clear")

    def start_that_fails(self):
        """A start that fails after its first report, made again while Wine's SCM cuts it short."""
        answer = self.start_that_fails_after_reporting(
            before_retry=lambda: self.machine.checked("driver", "received", "--clear"))
        self.assertEqual(answer.statuses[-1].state, STOPPED, answer.run.out)
        return answer

    def service_pid(self):
        for e in self.run_log():
            m = SERVICE_PID.search(e.text)
            if m:
                return int(m.group(1))
        self.fail("the service did not log its process ID")

    def assert_clean_stop(self, answer, exit_code=0, channel=True):
        """The last status is STOPPED with `exit_code`, the shutdown was logged whole and in order (with
        the channel's line when it had been brought up), and the service's process is gone."""
        self.assertEqual((answer.statuses[-1].state, answer.statuses[-1].exit_code), (STOPPED, exit_code),
                         answer.run.out)
        texts = [e.text for e in self.ended_run_log()]
        at = 0
        for text in SHUTDOWN_LINES if channel else [t for t in SHUTDOWN_LINES if "async" not in t]:
            self.assertIn(text, texts[at:], f"shutdown line {text!r} missing or out of order")
            at = texts.index(text, at) + 1
        self.assertEqual(texts[-1], SHUTDOWN_LINES[-1])
        deadline = time.monotonic() + 5
        while self.service_processes() and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(self.service_processes(), [])

    def service_processes(self):
        return [cmd for _, cmd in self.machine.processes() if "NVXService.exe" in cmd]

    # ---- the driver

    def version_is_answered(self):
        rc, records = self.raw_records("send", "--kind", "get", "VERSION")
        replies = [r["msg"] for r in records if r["event"] == "reply"]
        self.assertEqual((rc, [(m["flags"], m["text"]) for m in replies]), (0, [("0x06", "2.1.2")]), records)

    def sends(self, port="async"):
        """What the service sent on a port, in order (the driver's journal)."""
        return [r for r in self.journal() if r["event"] == "from_service" and r["port"] == port]

    def sends_for(self, request_id):
        return [r for r in self.sends() if r["msg"].get("request_id") == request_id]


class CommandsTest(ChannelTestCase):
    """Commands from the driver to the running service."""

    def setUp(self):
        super().setUp()
        self.start_connected()

    def test_unknown_names_get_an_error_reply_and_a_set_of_version_none(self):
        _, records = self.raw_records("send", "--kind", "get", "--request-id", "101", "NOSUCHNAME")
        reply = [r["msg"] for r in records if r["event"] == "reply"]
        self.assertEqual(len(reply), 1, records)
        self.assertEqual((reply[0]["flags"], reply[0]["request_id"], reply[0]["payload_size"]), ("0x0E", 101, 18))
        self.assertEqual(bytes.fromhex(reply[0]["payload_hex"]), UNKNOWN_COMMAND_REPLY)

        # Version only answers Get: a Set is dropped without a reply. The service handles one message
        # at a time, so once the Get that follows is answered, a reply to the Set would be on record.
        self.machine.checked("driver", "send", "--kind", "set", "--request-id", "102", "--no-wait", "version")
        self.version_is_answered()
        self.assertEqual(self.sends_for(102), [])
        self.assertEqual(self.machine.query().state, RUNNING)

    def test_a_command_for_another_component_is_relayed_to_the_driver_unchanged(self):
        # The service stamps its own source fields only on what it originates: a relayed
        # command keeps its requester, so that the other component's reply finds its way back.
        self.machine.checked("driver", "send", "--component", "12", "--source-component", "7", "--pid", "4242",
                             "--key", "9", "--request-id", "301", "--no-wait", "PING", "now")
        sent = next(r for r in self.journal() if r["event"] == "to_service")
        self.version_is_answered()
        relayed = self.sends_for(301)
        self.assertEqual(len(relayed), 1, relayed)
        msg = relayed[0]["msg"]
        self.assertEqual(relayed[0]["status"], "0x00000000")
        self.assertEqual((msg["source_component"], msg["source_pid"], msg["source_key"]), (7, 4242, 9))
        self.assertEqual((msg["destination_component"], msg["request_id"], msg["flags"], msg["kind_name"]),
                         (12, 301, "0x05", "get"))
        self.assertEqual(msg["payload_hex"], sent["msg"]["payload_hex"])

    def test_a_relayed_command_refused_as_queue_full_is_retried_ten_times_then_given_up(self):
        self.machine.checked("driver", "queue-full", "10")
        self.machine.checked("driver", "send", "--component", "12", "--request-id", "302", "--no-wait", "PING")
        self.version_is_answered()
        tries = self.sends_for(302)
        self.assertEqual([r["status"] for r in tries], [QUEUE_FULL] * 10)
        gaps = [b["t_ms"] - a["t_ms"] for a, b in zip(tries, tries[1:])]
        # Sleep(10) between tries; Wine's timer may wake a little early.
        self.assertTrue(all(gap >= 8 for gap in gaps), gaps)

        # Any other refusal ends the relay at once, and is logged.
        self.machine.checked("driver", "answer", "0xE0020006", "1")
        self.machine.checked("driver", "send", "--component", "12", "--request-id", "303", "--no-wait", "PING")
        self.version_is_answered()
        self.assertEqual([r["status"] for r in self.sends_for(303)], ["0xE0020006"])
        self.assertIn(("Comms", "Error", "Error routing message to kernel 0xE0020006"),
                      [(e.facility, e.level, e.text) for e in self.run_log()])

    def test_events_and_registrations_from_the_driver_change_nothing(self):
        self.machine.checked("driver", "event", "HELLO")
        self.machine.checked("driver", "reg", "--component", "7")
        self.version_is_answered()
        # The one thing the service sent since: the reply to VERSION.
        self.assertEqual([(r["msg"]["name"], r["msg"].get("flags"), r["msg"].get("text")) for r in self.sends()],
                         [("CommandMsg", "0x06", "2.1.2")])
        self.assertEqual(self.machine.query().state, RUNNING)


class ConnectionTest(ChannelTestCase):
    """When the driver's ports are there and when they go."""

    def test_a_driver_that_appears_later_is_connected_at_the_next_housekeeping(self):
        self.start()
        lines = self.wait_for_text(status_line(RUNNING, 0))
        running = next(e for e in lines if e.text == status_line(RUNNING, 0))
        first = self.wait_for_log(lambda ls: any(e.text.startswith("Mainloop housekeeping") for e in ls),
                                  timeout=MAIN_LOOP_PERIOD_S + 5, what="the first housekeeping")
        self.assertGreaterEqual((next(e for e in first if e.text.startswith("Mainloop housekeeping")).time
                                 - running.time).total_seconds(), MAIN_LOOP_PERIOD_S - 0.05)
        # The synchronous port comes first: without it the channel is not even tried.
        self.assertNotIn("Initialize async communications", [e.text for e in first])
        self.assertEqual(self.machine.query().state, RUNNING)

        self.machine.checked("driver", "start")
        self.machine.checked("driver", "wait-connect", "--port", "async", "--timeout-ms", "10000")
        lines = self.wait_for_text("[0] Communications thread starting", timeout=5)
        texts = [e.text for e in lines]
        init = texts.index("Initialize async communications")
        self.assertTrue(texts[init - 1].startswith("Mainloop housekeeping"), texts[init - 1])
        self.assertLess(texts.index("Registering with NVX driver..."),
                        texts.index("Starting communications thread..."))

        records = self.journal()
        events = [(r["event"], r.get("port")) for r in records if r["event"] in ("connect", "from_service")]
        self.assertEqual(events, [("connect", "sync"), ("from_service", "sync"), ("connect", "async"),
                                  ("from_service", "async")])
        sync = next(r for r in records if r["event"] == "from_service")
        self.assertEqual((sync["size"], sync["msg"]["name"], sync["msg"]["process_id"]),
                         (48, "SyncRequestMsg", self.service_pid()))
        connect = next(r for r in records if r["event"] == "connect" and r["port"] == "async")
        self.assertEqual(connect["context_hex"], ASYNC_CONTEXT_HEX)
        self.assertEqual([r["hex"] for r in self.sends()], [REGISTRATION_HEX])
        self.version_is_answered()

        # Both ports connected and the perf logger done (this machine's driver has no Version, so
        # it collects nothing): the main loop has switched to its 60 s period, so no housekeeping
        # follows the connecting one within the 5 s period.
        connecting = lines[init - 1]
        self.assertIn("Perf logger: Will not collect performance counters", [e.text for e in lines])
        time.sleep(MAIN_LOOP_PERIOD_S + 2)
        later = [e.text for e in self.run_log()
                 if e.text.startswith("Mainloop housekeeping") and e.time > connecting.time]
        self.assertEqual(later, [])

    def test_a_stop_cancels_the_outstanding_receive(self):
        # Cancelled, the receive ends the thread's pass at once: no housekeeping between the stop
        # and the thread's end (other threads' stop lines may come in between). An uncancelled
        # receive waits out the 1 s deadline and logs housekeeping every time; a cancelled one
        # does only when a busy host kept the woken thread from running until the deadline had
        # come. So the stop is tried up to three times.
        self.machine.checked("driver", "start")
        attempts = []
        for _ in range(3):
            self.start()
            self.machine.checked("driver", "wait-connect", "--port", "async", "--timeout-ms", "10000")
            self.wait_for_text("[0] Communications thread starting", timeout=5)
            time.sleep(0.3)  # the thread now waits in its receive
            answer = self.machine.service("stop")
            self.assert_clean_stop(answer)
            self.assertLess(answer.statuses[-1].t_ms, WAIT_HINT_MS / 2)
            texts = [e.text for e in self.run_log()]
            stopping = texts.index("Stopping communications thread...")
            ending = texts.index("[0] Communications thread ending", stopping)
            attempts.append(texts[stopping + 1:ending])
            if not any(t.startswith("Communications housekeeping") for t in attempts[-1]):
                break
        self.assertFalse(any(t.startswith("Communications housekeeping") for t in attempts[-1]), attempts)
        gone = {"async": "service", "sync": "service"}
        self.assertEqual(self.disconnects(gone), gone)


class CommsThreadStartFailureTest(ChannelTestCase):
    """The test build told to fail its second worker-thread start (the first is the debug log's)."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.machine.install_test_build()
        cls.machine.reg_set(PARAMS_KEY, "TestFailThreadStart", "REG_DWORD", 2)

    def test_with_the_driver_the_start_fails_with_the_comms_thread_exit_code(self):
        self.machine.checked("driver", "start")
        answer = self.start_that_fails()
        # Checkpoints are checked in the log: Wine's SCM, seeing the process end about when the STOPPED
        # report comes, may keep the STOP_PENDING report's checkpoint in its STOPPED status.
        seen = [(s.state, s.exit_code) for s in answer.statuses if s.state != START_PENDING]
        self.assert_polled(seen, [(STOP_PENDING, EXIT_COMMS_THREAD_FAILED), (STOPPED, EXIT_COMMS_THREAD_FAILED)])
        self.assertNotIn(RUNNING, [s.state for s in answer.statuses])
        status = self.machine.query()
        self.assertEqual((status.state, status.exit_code), (STOPPED, EXIT_COMMS_THREAD_FAILED))

        self.assert_clean_stop(answer, EXIT_COMMS_THREAD_FAILED)
        texts = [e.text for e in self.run_log()]
        self.assertIn("Test build: thread start 2 will fail", texts)
        starting = texts.index("Starting communications thread...")
        # The failure is logged once, by the thread module that met it, and the stop follows it
        # (lines of the threads already running may come between).
        failure = "Unable to start a thread, error 8"
        self.assertEqual(texts.count(failure), 1)
        self.assertLess(starting, texts.index(failure))
        self.assertLess(texts.index(failure), texts.index(status_line(STOP_PENDING, 2, EXIT_COMMS_THREAD_FAILED)))
        self.assertNotIn("[0] Communications thread starting", texts)
        self.assertNotIn(status_line(RUNNING, 0), texts)
        # It had connected and registered; its connections go with it.
        self.assertEqual([r["hex"] for r in self.sends()], [REGISTRATION_HEX])
        gone = {"async": "service", "sync": "service"}
        self.assertEqual(self.disconnects(gone), gone)


if __name__ == "__main__":
    unittest.main()
