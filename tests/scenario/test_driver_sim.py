"""The machine's NVX driver, through nvxsim: the driver simulator's life cycle and journal, and
commands to the service through the driver's ports (those run once the service built here has its
driver channel)."""

import json
import os
import time
import unittest
from pathlib import Path

from simtest import REPO, RUNNING, MachineTestCase
from nvxsimlib.command import async_connections, echo_peer

# The asynchronous port's connection context: RegRequestMsg, tag 0, context marker 1, component 30.
ASYNC_CONTEXT_HEX = "0100030010000000010100001e000000"
# The registration sent on that port: tag 0x32, marker 0, component 30.
REGISTRATION_HEX = "0100033210000000010000001e000000"
QUEUE_FULL = "0xE0020009"


def built(variable, default):
    return Path(os.environ.get(variable) or REPO / default)


def service_has_driver_channel():
    exe = built("NVXSIM_EXE", "build/mingw/service/NVXService.exe")
    return "KestroVantorAsyncCommPort".encode("utf-16-le") in exe.read_bytes()


class DriverMachineTestCase(MachineTestCase):
    def driver(self, *args):
        return self.machine.nvxsim("driver", *args)

    def journal(self):
        """The driver's journal as records; [] when it has none."""
        run = self.machine.nvxsim("driver", "received", "--json")
        return [json.loads(line) for line in run.out.splitlines()] if run.rc == 0 else []

    def disconnects(self, expected):
        """{port: who closed} from the journal, waiting a little for `expected`: the driver notices
        a closed port as it happens, not before the command that closed it returns."""
        deadline = time.monotonic() + 5
        while True:
            gone = {r["port"]: r["by"] for r in self.journal() if r["event"] == "disconnect"}
            if gone == expected or time.monotonic() > deadline:
                return gone
            time.sleep(0.05)

    def driver_processes(self):
        return [cmd for _, cmd in self.machine.processes() if "nvxdriver.exe" in cmd]

    def raw_records(self, *args):
        """A driver command in --raw form: (exit status, its JSON records)."""
        run = self.machine.nvxsim("--raw", "driver", *args)
        return run.rc, [json.loads(line) for line in run.out.splitlines() if line.startswith("{")]


class DriverSimulatorTest(DriverMachineTestCase):
    """What the driver simulator does on its own, with the service stopped."""

    def setUp(self):
        self.machine.ensure_stopped()
        self.driver("stop")
        self.machine.checked("driver", "received", "--clear")

    def tearDown(self):
        self.driver("stop")

    def test_start_status_and_stop(self):
        run = self.driver("status")
        self.assertEqual((run.rc, run.out), (1, "Driver simulator: not running\n"))

        self.machine.checked("driver", "start")
        run = self.machine.checked("driver", "status")
        self.assertIn("ports open", run.out)
        self.assertIn("no connection", run.out)
        self.assertIn("already running", self.machine.checked("driver", "start").out)
        self.assertEqual(len(self.driver_processes()), 1)

        self.machine.checked("driver", "stop")
        self.assertEqual(self.driver_processes(), [])
        self.assertEqual(self.driver("status").rc, 1)
        events = [(r["event"], r.get("pid")) for r in self.journal()]
        self.assertEqual([e for e, _ in events], ["load", "unload"])
        self.assertEqual(events[0][1], events[1][1])

    def test_ports_appear_only_when_opened(self):
        self.machine.checked("driver", "start", "--ports-closed")
        self.assertIn("ports closed", self.machine.checked("driver", "status").out)
        self.assertIn("ports are open", self.machine.checked("driver", "open-ports").out)
        self.assertIn("already open", self.machine.checked("driver", "open-ports").out)
        self.assertIn("ports open", self.machine.checked("driver", "status").out)
        records = self.journal()
        self.assertEqual([r["event"] for r in records], ["load", "ports-open"])
        self.assertFalse(records[0]["ports_open"])

    def test_messages_need_a_running_driver_and_a_connected_service(self):
        run = self.driver("send", "--kind", "get", "VERSION")
        self.assertEqual(run.rc, 2)
        self.assertIn("not running", run.err)

        self.machine.checked("driver", "start")
        for args in (("send", "--kind", "get", "VERSION"), ("event", "x"), ("reg",), ("raw", "01 00 06 00"),
                     ("flood", "--seconds", "1")):
            with self.subTest(command=args[0]):
                run = self.driver(*args)
                self.assertEqual(run.rc, 1, run.out + run.err)
                self.assertIn("no connection on the asynchronous port", run.err)
        # Refused by the driver before anything is sent.
        for args in (("send", "--kind", "open", "x"), ("send", "--flags", "256", "x"), ("send", "--bogus", "x"),
                     ("raw", "0g"), ("raw", "--frame", "0g"), ("answer", "x", "1"),
                     ("answer", "0", "1", "--length", "0x40011"), ("answer", "0", "1", "--hresult", "-1"),
                     ("flood", "--seconds", "0"), ("flood", "--bogus"), ("flood", "--slice-ms", "0"),
                     ("flood", "--beside", "0")):
            with self.subTest(args=args):
                self.assertEqual(self.driver(*args).rc, 2)
        self.assertEqual([r["event"] for r in self.journal() if r["event"] == "to_service"], [])

    def test_down_unloads_the_driver(self):
        self.machine.checked("driver", "start")
        run = self.machine.checked("down")
        self.assertIn("Unloading the driver simulator", run.out)
        self.assertEqual(self.machine.processes(), [])
        self.assertEqual(self.journal()[-1]["event"], "unload")


class ServiceThroughDriverTest(DriverMachineTestCase):
    """Commands to the running service through the driver's ports."""

    @classmethod
    def setUpClass(cls):
        if not service_has_driver_channel():
            raise unittest.SkipTest("the service built here has no driver channel yet")
        super().setUpClass()

    def setUp(self):
        self.machine.ensure_stopped()
        self.driver("stop")
        self.machine.checked("driver", "received", "--clear")
        self.machine.checked("driver", "start")
        self.addCleanup(self.driver, "stop")
        self.addCleanup(self.machine.ensure_stopped)
        self.assertEqual(self.machine.service("start").statuses[-1].state, RUNNING)
        self.machine.checked("driver", "wait-connect", "--port", "async", "--timeout-ms", "10000")

    def test_get_version_is_answered_2_1_2(self):
        run = self.machine.checked("driver", "send", "--kind", "get", "VERSION")
        self.assertRegex(run.out, r'Reply CommandMsg get request \d+ flags 0x06 \(reply\|final\)'
                                  r' component 30 -> 12: "2\.1\.2"')
        rc, records = self.raw_records("send", "--kind", "get", "--request-id", "4711", "--source-component", "12",
                                       "--pid", "77", "--key", "5", "VERSION")
        self.assertEqual(rc, 0)
        self.assertEqual([r["event"] for r in records], ["sent", "reply"])
        reply = records[1]["msg"]
        self.assertEqual((reply["flags"], reply["kind_name"], reply["request_id"], reply["text"],
                          reply["nul_terminated"]), ("0x06", "get", 4711, "2.1.2", True))
        self.assertEqual((reply["source_component"], reply["destination_component"]), (30, 12))
        self.assertEqual((reply["destination_pid"], reply["destination_key"]), (77, 5))
        self.assertEqual((reply["source_pid"], reply["source_key"]), (0, 0))
        # The same command through the convenience name.
        self.assertIn('"2.1.2"', self.machine.checked("send-command", "--kind", "get", "VERSION").out)

    def test_the_service_connects_and_registers_as_the_driver_expects(self):
        records = self.journal()
        connects = {r["port"]: r for r in records if r["event"] == "connect"}
        self.assertEqual(connects["async"]["context_hex"], ASYNC_CONTEXT_HEX)
        self.assertEqual(connects["sync"]["context_size"], 0)
        sync = [r for r in records if r["event"] == "from_service" and r["port"] == "sync"]
        self.assertEqual(len(sync), 1)
        self.assertEqual((sync[0]["size"], sync[0]["out_size"], sync[0]["status"]), (48, 32, "0x00000000"))
        request = sync[0]["msg"]
        self.assertEqual([request[k] for k in ("type", "tag", "size", "field8", "field9", "field12", "field16",
                                               "field20", "field32")], [1, 0x32, 48, 1, 1, 16, 1, 0, 0])
        self.assertNotEqual(request["process_id"], 0)
        self.assertNotEqual(request["block_address"], 0)
        registrations = [r for r in records if r["event"] == "from_service" and r["port"] == "async"]
        self.assertEqual([(r["hex"], r["out_size"], r["status"]) for r in registrations],
                         [(REGISTRATION_HEX, 4, "0x00000000")])

    def test_an_unknown_command_gets_an_error_reply(self):
        run = self.machine.nvxsim("send-command", "--kind", "call", "NOSUCHCOMMAND")
        self.assertEqual(run.rc, 1, run.out + run.err)
        self.assertIn('flags 0x0E (reply|final|error) component 30 -> 12: "ERROR: 0xe0020007" (UnknownCommand', run.out)
        # The driver's journal shows both directions in words that cannot be taken the wrong way.
        received = self.machine.checked("driver", "received").out
        self.assertRegex(received, r"service->driver +async #\d+ +\d+ bytes CommandMsg call .*driver answered"
                                   r" 0x00000000 \(Success")
        self.assertRegex(received, r"driver->service +async #\d+ +\d+ bytes CommandMsg call .*NOSUCHCOMMAND")

    def test_a_reply_refused_with_queue_full_is_sent_again(self):
        self.machine.checked("driver", "queue-full", "3")
        run = self.machine.checked("send-command", "--kind", "get", "--request-id", "61", "VERSION")
        self.assertIn('"2.1.2"', run.out)
        answers = [r["status"] for r in self.journal()
                   if r["event"] == "from_service" and r["msg"].get("request_id") == 61]
        self.assertEqual(answers, [QUEUE_FULL] * 3 + ["0x00000000"])

    def test_a_flood_times_round_trips_that_all_pass_through_the_ports(self):
        rc, records = self.raw_records("flood", "--seconds", "1", "--warmup-ms", "100", "VERSION")
        self.assertEqual(rc, 0, records)
        flood = records[-1]
        self.assertEqual(flood["event"], "flood")
        self.assertGreater(flood["round_trips"], 0)
        self.assertGreaterEqual(float(flood["span_s"]), 0.9)
        self.assertAlmostEqual(float(flood["per_second"]), flood["round_trips"] / float(flood["span_s"]), delta=1)
        self.assertLessEqual(float(flood["p50_us"]), float(flood["p99_us"]))
        self.assertLessEqual(float(flood["p99_us"]), float(flood["max_us"]))
        reply = flood["reply"]["msg"]
        self.assertEqual((reply["flags"], reply["kind_name"], reply["text"]), ("0x06", "get", "2.1.2"))
        # Every command went through the port server and its journal, each with a final reply.
        journal = self.journal()
        commands = {r["msg"]["request_id"] for r in journal if r["event"] == "to_service"}
        self.assertEqual(len(commands), flood["warmup_round_trips"] + flood["round_trips"])
        replies = [r for r in journal if r["event"] == "from_service" and r["msg"].get("flags") == "0x06"]
        self.assertEqual({r["msg"]["request_id"] for r in replies}, commands)
        self.assertEqual({r["status"] for r in replies}, {"0x00000000"})

        # The human form; and a connection that never answers ends the flood with exit 1.
        run = self.machine.checked("driver", "flood", "--seconds", "1", "--warmup-ms", "0")
        self.assertRegex(run.out, r"^\d+ round trips of 'Version' on connection \d+ in [\d.]+ s .*/s, latency p50")
        self.assertIn('reply: CommandMsg get request', run.out)
        sync = next(c["conn"] for c in json.loads(self.machine.checked("driver", "status", "--json").out)
                    ["connections"] if c["port"] == "sync")
        run = self.driver("flood", "--conn", str(sync), "--timeout-ms", "300", "--seconds", "1")
        self.assertEqual(run.rc, 1, run.out + run.err)
        self.assertRegex(run.err, rf"no final reply to request \d+ on connection {sync} within 300 ms")

    def test_a_flood_beside_an_echo_peer_takes_turns_and_reports_each_side(self):
        peer_exe = built("NVXSIM_ECHO_PEER_EXE", "build/mingw/bench/command_echo_peer.exe")
        service = max(async_connections(self.machine.root))
        # A connection cannot be compared with itself.
        self.assertEqual(self.driver("flood", "--conn", str(service), "--beside", str(service)).rc, 2)
        with echo_peer(self.machine.root, peer_exe, idle_ms=500, max_s=300) as peer:
            rc, records = self.raw_records("flood", "--conn", str(service), "--beside", str(peer["conn"]),
                                           "--seconds", "1", "--warmup-ms", "100", "--slice-ms", "50")
        self.assertEqual(rc, 0, records)
        floods = [r for r in records if r["event"] == "flood"]
        self.assertEqual([f["conn"] for f in floods], [service, peer["conn"]])
        for flood in floods:
            with self.subTest(conn=flood["conn"]):
                self.assertGreater(flood["round_trips"], 0)
                self.assertGreaterEqual(float(flood["span_s"]), 1.0)  # each side gets its whole share
                self.assertLessEqual(float(flood["p50_us"]), float(flood["p99_us"]))
        # The service answers Version; the peer sends each command back as its own reply.
        self.assertEqual([f["reply"]["msg"]["text"] for f in floods], ["2.1.2", "Version"])
        sent = {f["conn"]: f["warmup_round_trips"] + f["round_trips"] for f in floods}
        self.assertEqual(peer["echoed"], sent[peer["conn"]])
        order = [r["conn"] for r in self.journal() if r["event"] == "to_service"]
        self.assertEqual({c: order.count(c) for c in set(order)}, sent)
        # The service's warm-up, the peer's, then the measured turns, the service's first.
        turns = [c for i, c in enumerate(order) if i == 0 or order[i - 1] != c]
        self.assertGreaterEqual(len(turns), 3)
        self.assertEqual(turns[:3], [service, peer["conn"], service])

    def test_disconnects_are_seen_from_both_ends(self):
        run = self.machine.checked("driver", "disconnect")
        self.assertIn("closed 2 connection(s)", run.out)
        expected = {"async": "driver", "sync": "driver"}
        self.assertEqual(self.disconnects(expected), expected)
        # The service sees its port break, and connects again to the ports still open.
        self.wait_for_text("The driver closed its communications port")
        self.machine.checked("driver", "wait-connect", "--port", "async", "--timeout-ms", "15000")

        # The service's own connections end when it stops: a fresh start, then a stop.
        self.machine.ensure_stopped()
        self.machine.checked("driver", "received", "--clear")
        self.assertEqual(self.machine.service("start").statuses[-1].state, RUNNING)
        self.machine.checked("driver", "wait-connect", "--port", "async")
        self.machine.ensure_stopped()
        expected = {"async": "service", "sync": "service"}
        self.assertEqual(self.disconnects(expected), expected)


if __name__ == "__main__":
    unittest.main()
