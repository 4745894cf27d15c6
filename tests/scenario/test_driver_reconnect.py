"""A driver whose port goes away under the running service (unloaded for an upgrade, or its ports
closed), as the driver simulator and the service's log show it: the service takes both connections
down and connects again as it does to a driver that appears after its start, the driver sees the
same connections with the same bytes, and a stop at any point of that is clean."""

import threading
import time
import unittest

from simtest import RUNNING, WAIT_HINT_MS
from test_driver_channel import ChannelTestCase

PORT_LOST = "The driver closed its communications port"
THREAD_STARTING = "[0] Communications thread starting"
# What the service logs from a housekeeping that connects to a driver, in this order.
CONNECTING_LINES = ["Mainloop housekeeping", "Initialize async communications", "Registering with NVX driver...",
                    "Starting communications thread...", THREAD_STARTING]


class ReconnectTest(ChannelTestCase):
    """The service against a driver that goes and comes back, with and without a stop in between."""

    def connection_records(self):
        """The driver's journal records of connections and of what the service sent, in order, as
        (event, port, bytes): a connection's context, or a message's exact bytes."""
        return [(r["event"], r["port"], r.get("context_hex", r.get("hex"))) for r in self.journal()
                if r["event"] in ("connect", "from_service")]

    def wait_connected(self, count):
        """Waits for the service's `count`th communications thread of this run: connected again."""
        return self.wait_for_log(lambda ls: [e.text for e in ls].count(THREAD_STARTING) >= count, timeout=30,
                                 what=f"communications thread start {count}")

    def connected_service(self):
        self.machine.checked("driver", "start")
        self.start()
        self.machine.checked("driver", "wait-connect", "--port", "async", "--timeout-ms", "10000")
        self.wait_connected(1)

    def test_a_driver_that_closes_its_ports_is_connected_again_exactly_as_the_first_time(self):
        self.connected_service()
        first = self.connection_records()
        self.assertEqual([(event, port) for event, port, _ in first],
                         [("connect", "sync"), ("from_service", "sync"), ("connect", "async"),
                          ("from_service", "async")])
        self.machine.checked("driver", "received", "--clear")

        self.machine.checked("driver", "disconnect")
        lines = self.wait_connected(2)
        self.machine.checked("driver", "wait-connect", "--port", "async", "--timeout-ms", "10000")
        # The driver sees the same connections, in the same order, with the same bytes.
        self.assertEqual(self.connection_records(), first)
        self.version_is_answered()
        self.assertEqual(self.machine.query().state, RUNNING)

        # Logged once where it was seen; then the old channel goes before the housekeeping connects
        # as it does for a driver that appears after the start.
        texts = [e.text for e in lines]
        self.assertEqual(texts.count(PORT_LOST), 1)
        after = texts[texts.index(PORT_LOST):]
        at = 0
        for text in ["Mainloop housekeeping", "Shutdown async communications"] + CONNECTING_LINES[1:]:
            found = next((i for i in range(at, len(after)) if after[i].startswith(text)), None)
            self.assertIsNotNone(found, f"{text!r} missing or out of order after the loss:\n" + "\n".join(after))
            at = found + 1
        # The old thread had ended before its channel was released.
        self.assertLess(after.index("[0] Communications thread ending"), after.index("Shutdown async communications"))

        answer = self.machine.service("stop")
        self.assert_clean_stop(answer)
        gone = {"async": "service", "sync": "service"}
        self.assertEqual(self.disconnects(gone), gone)

    def test_a_driver_reloaded_again_and_again_while_commands_flow_is_found_each_time(self):
        self.connected_service()
        answered, stop = [], threading.Event()

        def commands():
            # Commands keep coming from the driver's side, through every reload; those sent while
            # the driver is away or not yet reconnected fail, the others are answered.
            while not stop.is_set():
                rc, records = self.raw_records("send", "--wait-ms", "2000", "VERSION")
                answered.append(rc == 0 and any(r["event"] == "reply" and r["msg"].get("text") == "2.1.2"
                                                for r in records))
                if not answered[-1]:
                    stop.wait(0.2)  # the driver is away: no busy loop on a shared host

        sender = threading.Thread(target=commands)
        sender.start()
        try:
            reloads = 3
            for n in range(2, reloads + 2):
                self.machine.checked("driver", "stop")
                self.machine.checked("driver", "start")
                self.wait_connected(n)
                self.machine.checked("driver", "wait-connect", "--port", "async", "--timeout-ms", "10000")
                self.version_is_answered()
        finally:
            stop.set()
            sender.join(timeout=60)
        self.assertFalse(sender.is_alive())
        self.assertTrue(any(answered), "no command of the flow was answered")
        self.assertEqual(self.machine.query().state, RUNNING)
        texts = [e.text for e in self.run_log()]
        self.assertEqual((texts.count(PORT_LOST), texts.count(THREAD_STARTING)), (reloads, reloads + 1))
        self.assert_clean_stop(self.machine.service("stop"))

    def test_a_stop_right_after_the_driver_goes_is_clean(self):
        # The stop meets the loss wherever it is: before the service saw it, while the channel is
        # taken down, or while the housekeeping tries to connect again.
        for pause in (0, 0.5, 1.5):
            with self.subTest(pause=pause):
                self.connected_service()
                self.machine.checked("driver", "stop")
                time.sleep(pause)
                answer = self.machine.service("stop")
                # The channel is released by the shutdown or, once the loss was seen, before it.
                self.assert_clean_stop(answer, channel=False)
                self.assertLess(answer.statuses[-1].t_ms, WAIT_HINT_MS)
                self.assertLessEqual([e.text for e in self.run_log()].count(PORT_LOST), 1)

    def test_a_stop_while_the_service_connects_again_is_clean(self):
        # The driver comes back with its ports closed, so the housekeeping keeps trying; the ports
        # open and the stop comes at once, meeting the attempts or the connection being made.
        for attempt in range(3):
            with self.subTest(attempt=attempt):
                self.connected_service()
                self.machine.checked("driver", "stop")
                self.wait_for_text(PORT_LOST, timeout=10)
                self.machine.checked("driver", "start", "--ports-closed")
                lost = next(i for i, e in enumerate(self.run_log()) if e.text == PORT_LOST)
                self.wait_for_log(lambda ls: any(e.text.startswith("Mainloop housekeeping") for e in ls[lost:]),
                                  timeout=15, what="a housekeeping after the loss")
                self.machine.checked("driver", "open-ports")
                if attempt:
                    time.sleep(0.2 * attempt)
                answer = self.machine.service("stop")
                self.assert_clean_stop(answer, channel=False)
                self.assertLess(answer.statuses[-1].t_ms, WAIT_HINT_MS)
                self.driver("stop")


if __name__ == "__main__":
    unittest.main()
