"""Platform calls of the driver channel and of the registry watch that fail, through the test
build's fault seam: a registration whose send fails, receives and completion-port waits that fail,
and a registry wait that fails once or for good. Each ends in the state the service defines for
it, logged, and a stop that stays prompt and clean."""

import re
import unittest

from simtest import RUNNING, SERVICE_KEY
from test_fault_seam import E_ACCESSDENIED, FaultSeamCase

ERROR_INVALID_HANDLE = 6
ERROR_NOT_ENOUGH_MEMORY = 8
REGISTRY_WAIT_FAILED = "Waiting for registry changes failed, error = 6"
STOP_BOUND_MS = 30000


class ChannelFaultsTest(FaultSeamCase):
    """The communications thread and the registration meet failing Filter Manager calls and waits."""

    def async_connections(self):
        """[(connection, closed by or None)] on the asynchronous port, in the order they came."""
        records = self.journal()
        closed = {r["conn"]: r["by"] for r in records if r["event"] == "disconnect" and r["port"] == "async"}
        return [(r["conn"], closed.get(r["conn"])) for r in records if r["event"] == "connect" and r["port"] == "async"]

    def test_a_registration_whose_send_fails_is_torn_down_and_retried_at_the_next_housekeeping(self):
        # The first send is the synchronous port's request, the second the registration.
        self.fail_call("FilterSend", 2, E_ACCESSDENIED)
        self.start()
        self.wait_for_text("[0] Communications thread starting", timeout=20)
        texts = self.texts()
        self.assertEqual(texts.count("Unable to send a registration message (0xE0020001)"), 1)
        after = texts[texts.index("Registration failed") + 1:]
        retry = after.index("Initialize async communications")
        self.assertTrue(after[retry - 1].startswith("Mainloop housekeeping"), after[retry - 1])
        self.version_is_answered()
        # The failed connection was closed at once; its registration never reached the driver.
        connections = self.async_connections()
        self.assertEqual([by for _, by in connections], ["service", None], connections)
        registrations = [r["conn"] for r in self.sends() if r["msg"]["name"] == "RegRequestMsg"]
        self.assertEqual(registrations, [connections[1][0]])

        self.assert_clean_stop(self.machine.service("stop"))
        self.assertEqual(self.counts()["FilterSend"][1], 1)

    def test_receives_failing_with_an_unexpected_error_are_logged_and_tried_again_a_pass_later(self):
        self.fail_call("FilterGetMessage", 1, E_ACCESSDENIED, count=3)
        self.start()
        line = "[0] Unable to get communications message - error 0x80070005"
        self.wait_for_log(lambda ls: [e.text for e in ls].count(line) == 3, timeout=20, what="three failed receives")
        self.version_is_answered()
        # One try per pass: each failure waits for the pass's housekeeping before the next try.
        texts = self.texts()
        failures = [i for i, t in enumerate(texts) if t == line]
        self.assertEqual(len(failures), 3)
        for a, b in zip(failures, failures[1:]):
            self.assertTrue(any(t.startswith("Communications housekeeping") for t in texts[a:b]), texts[a:b + 1])
        self.assertEqual(self.machine.query().state, RUNNING)
        self.assert_clean_stop(self.machine.service("stop"))
        self.assertEqual(self.counts()["FilterGetMessage"][1], 3)

    def test_a_completion_wait_on_an_invalid_handle_ends_the_thread_and_the_driver_is_connected_again(self):
        self.fail_call("CompletionWait", 1, ERROR_INVALID_HANDLE)
        self.start()
        texts = [e.text for e in self.wait_for_text("[0] Communications thread ending", timeout=20)]
        ending = texts.index("[0] Communications thread ending")
        self.assertEqual(texts[:ending].count("Stopping communications thread..."), 1)
        # A channel whose thread ended is taken down with the synchronous port, and the main loop
        # connects both again as for a driver that appears after start-up.
        gone = {"async": "service", "sync": "service"}
        self.assertEqual(self.disconnects(gone), gone, "the ports were not closed")
        self.machine.checked("driver", "wait-connect", "--port", "async", "--timeout-ms", "15000")
        self.version_is_answered()
        self.assertEqual(self.machine.query().state, RUNNING)
        self.assert_clean_stop(self.machine.service("stop"))
        self.assertEqual(self.counts()["CompletionWait"][1], 1)

    def test_a_completion_wait_failing_otherwise_leaves_its_receive_outstanding(self):
        self.fail_call("CompletionWait", 1, ERROR_NOT_ENOUGH_MEMORY)
        self.start()
        self.wait_for_text("[0] Error receiving message - error 8")
        # Passes go by waiting for the same receive, which then takes the next message.
        self.wait_for_log(lambda ls: len([e for e in ls if e.text.startswith("Communications housekeeping")]) >= 3,
                          what="three communications housekeepings")
        self.version_is_answered()
        self.assert_clean_stop(self.machine.service("stop"))
        counts = self.counts()
        self.assertEqual(counts["CompletionWait"][1], 1)
        # One receive before VERSION and one after it, each cancelled or completed before the next.
        self.assertEqual(counts["FilterGetMessage"][0], 2)


class RegistryWaitFaultTest(FaultSeamCase):
    """The OS notification thread's wait for registry changes fails."""

    def test_a_failing_registry_wait_waits_out_its_period_and_a_stop_ends_it_at_once(self):
        # Every wait of that kind fails: the thread must neither spin nor flood the log.
        self.fail_call("WaitMultiple", 1, ERROR_INVALID_HANDLE, count=1000)
        self.start()
        failed = next(e for e in self.wait_for_text(REGISTRY_WAIT_FAILED) if e.text == REGISTRY_WAIT_FAILED)
        # Other threads' passes show the time going by: a second and more, with no second try.
        self.wait_for_log(lambda ls: len([e for e in ls if e.time > failed.time
                                          and e.text.startswith("Communications housekeeping")]) >= 3,
                          what="three communications housekeepings after the failed wait")
        texts = self.texts()
        self.assertEqual(texts.count(REGISTRY_WAIT_FAILED), 1)
        self.assertEqual(len([t for t in texts if t.startswith("OS notification housekeeping")]), 1)

        answer = self.machine.service("stop")
        self.assert_clean_stop(answer)
        # Far from the 60 s the thread would still wait out its period if the stop did not wake it.
        self.assertLess(answer.statuses[-1].t_ms, STOP_BOUND_MS)
        self.assertIn("Stopping OS notification thread...", [e.text for e in self.ended_run_log()])
        self.assertEqual(self.counts()["WaitMultiple"], (1, 1))

    def test_after_a_failed_registry_wait_a_change_applies_when_the_period_ends(self):
        self.fail_call("WaitMultiple", 1, ERROR_INVALID_HANDLE)
        self.addCleanup(self.machine.reg_set, SERVICE_KEY, "DebugLevel", "REG_DWORD", 1)
        self.start()
        self.wait_for_text(REGISTRY_WAIT_FAILED)
        self.machine.reg_set(SERVICE_KEY, "DebugLevel", "REG_DWORD", 2)
        changed = re.compile(r"Registry DebugFacilities changed to 0x[0-9a-f]{8} DebugLevel (\d)$")
        # The change is seen when the rest of the 60 s period has been waited out.
        lines = self.wait_for_log(lambda ls: any(changed.match(e.text) for e in ls), timeout=90,
                                  what="the DebugLevel change")
        texts = [e.text for e in lines]
        applied = next(i for i, t in enumerate(texts) if changed.match(t))
        self.assertTrue(any(t.startswith("OS notification housekeeping") for t in texts[texts.index(
            REGISTRY_WAIT_FAILED):applied]), "applied before the period ended")
        # From then on a change applies at once.
        self.machine.reg_set(SERVICE_KEY, "DebugLevel", "REG_DWORD", 1)
        self.wait_for_log(lambda ls: [changed.match(e.text).group(1) for e in ls if changed.match(e.text)] == ["2", "1"],
                          what="the second DebugLevel change")
        self.assertEqual(self.texts().count(REGISTRY_WAIT_FAILED), 1)
        self.assert_clean_stop(self.machine.service("stop"))
        self.assertEqual(self.counts()["WaitMultiple"][1], 1)


if __name__ == "__main__":
    unittest.main()
