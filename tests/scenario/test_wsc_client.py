"""The WSC client run for the driver, end to end: the test build of the service on a machine with the
driver simulator, WSCClient.exe recording how it was started. The command line the client sees, its
exit code as the reply, a client that is missing, text that could forge the requester's identity, a
client that never exits while the service is stopped, and the shipped build, which insists on a
protected start that the machine's OS cannot give."""

import json
import os
import re
import time
from pathlib import Path

from simtest import REPO, RUNNING, WAIT_HINT_MS, faults_exe
from test_driver_channel import ChannelTestCase

CLIENT_PATH = r"C:\Program Files (x86)\Kestro\Kestro Anti-Virus\WSCClient.exe"
FALLBACK_LINE = "Simulated machine: protection level refused (error 50), WSCClient starts as an ordinary process"


class WscClientTestCase(ChannelTestCase):
    exe = None  # the service build this class installs

    @classmethod
    def setUpClass(cls):
        if not cls.exe.is_file():
            raise AssertionError(f"{cls.exe} not found (build it first)")
        super().setUpClass()
        cls.machine.checked("--exe", str(cls.exe), "install")

    def setUp(self):
        super().setUp()
        self.machine.checked("wsc", "install")
        self.machine.checked("wsc", "set-exit", "0")
        self.machine.checked("wsc", "calls", "--clear")
        self.machine.checked("driver", "start")
        self.start()
        self.machine.checked("driver", "wait-connect", "--port", "async", "--timeout-ms", "10000")

    def exec_command(self, *args, pid=1234, key=99, request_id=None):
        """An Exec command from process `pid` with `key`; the service's final reply (its driver record)."""
        extra = ["--request-id", str(request_id)] if request_id is not None else []
        rc, records = self.raw_records("send", "--kind", "exec", "--pid", str(pid), "--key", str(key), *extra, *args)
        replies = [r["msg"] for r in records if r["event"] == "reply"]
        self.assertEqual(len(replies), 1, records)
        return replies[0]

    def assert_reply(self, reply, text):
        # On a mismatch the service's own account of the call (its Policy lines) says why.
        self.assertEqual((reply["flags"], reply["text"], reply["nul_terminated"]), ("0x06", text, True),
                         self.policy_lines()[-6:])

    def calls(self):
        run = self.machine.checked("wsc", "calls", "--json")
        return [json.loads(line) for line in run.out.splitlines()]

    def policy_lines(self, level=None):
        return [e.text for e in self.run_log() if e.facility == "Policy" and (level is None or e.level == level)]

    def client_pids(self):
        return [pid for pid, cmd in self.machine.processes() if "wscclient.exe" in cmd.lower()]


class WscClientTest(WscClientTestCase):
    exe = faults_exe()

    def test_the_client_sees_quoted_path_arguments_and_identity_and_its_exit_code_is_the_reply(self):
        cases = [  # (text after the name, pid, key, exit code, what follows the quoted path, reply)
            ("-x  y", 1234, 99, 5, "-x  y /spid 1234:99", "5"),
            ("", 1234, 99, 0, " /spid 1234:99", "0"),
            ("\u00e9t\u00e9", 0x100000007, 2 ** 64 - 1, -7, "\u00e9t\u00e9 /spid 7:18446744073709551615", "-7"),
            ("-big", 1, 2, 0xC0000005, "-big /spid 1:2", str(0xC0000005 - 2 ** 32)),
        ]
        for request_id, (text, pid, key, code, tail, expected) in enumerate(cases, start=501):
            with self.subTest(text=text):
                self.machine.checked("wsc", "set-exit", str(code))
                reply = self.exec_command("wscclient  " + text if text else "wscclient", pid=pid, key=key,
                                          request_id=request_id)
                self.assert_reply(reply, expected)
                self.assertEqual((reply["request_id"], reply["destination_pid"], reply["destination_key"]),
                                 (request_id, pid, key))
                self.assertEqual(self.calls()[-1]["command_line"], f'"{CLIENT_PATH}" {tail}')
        self.assertEqual(bytes.fromhex(self.sends_for(501)[0]["msg"]["payload_hex"]), b"5\0")
        self.assertEqual(len(self.calls()), len(cases))

        policy = self.policy_lines()
        self.assertEqual(policy[:4], [
            "SgExecWSCClient called, buf = -x  y, source pid = 1234",
            FALLBACK_LINE,
            f'SgExecWSCClient running CreateProcessW, ApplicationName: {CLIENT_PATH}, CommandLine: "{CLIENT_PATH}"'
            " -x  y /spid 1234:99",
            "SgExecWSCClient call to WSCClient finished, exit code: 5",
        ])
        self.assertEqual(self.policy_lines("Error"), [])

    def test_a_missing_client_is_answered_minus_one_with_the_error(self):
        self.machine.checked("wsc", "remove")
        self.assert_reply(self.exec_command("wscclient -x"), "-1")
        errors = self.policy_lines("Error")
        self.assertEqual(len(errors), 1, errors)
        self.assertRegex(errors[0], "^SgExecWSCClient failed to create ZEDovur Protected WSCClient process, "
                                    r"error: [1-9]\d*, path = " + re.escape(CLIENT_PATH) + "$")
        self.assertEqual(self.calls(), [])

    def test_text_that_could_forge_the_identity_or_split_the_line_is_refused_and_nothing_starts(self):
        cases = [  # (text after the name, what the Error line says)
            ('-x "a b"', "a double quote at offset 3"),
            ("-x\tb", "a control character at offset 2"),
            ("-x\r\n2030-01-01T00:00:00.000Z NVXS Policy Info forged", "a control character at offset 2"),
            ("-x /SpId 1:2", "its own /spid at offset 3"),
        ]
        for request_id, (text, what) in enumerate(cases, start=601):
            with self.subTest(text=text):
                payload = ("wscclient " + text).encode() + b"\0"
                reply = self.exec_command("--hex", payload.hex(), request_id=request_id)
                self.assert_reply(reply, "-1")
        self.assertEqual(self.calls(), [])
        self.assertEqual(self.policy_lines(), [
            f"SgExecWSCClient refused the arguments: they hold {what}, source pid = 1234" for _, what in cases])
        self.assertEqual([e for e in self.run_log() if "forged" in e.text], [])

    def test_a_stop_ends_the_wait_for_a_client_that_never_exits_and_leaves_it_running(self):
        self.machine.checked("wsc", "hang")
        self.addCleanup(self.machine.nvxsim, "wsc", "release")
        self.machine.checked("driver", "send", "--kind", "exec", "--pid", "55", "--key", "3", "--request-id", "701",
                             "--no-wait", "wscclient", "-h")
        deadline = time.monotonic() + 15
        while not self.calls() and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(len(self.calls()), 1, "the client did not start")
        client = self.calls()[0]["pid"]
        time.sleep(0.3)  # the communications thread now waits for the client
        self.assertEqual(self.sends_for(701), [], "no reply while the client runs")

        answer = self.machine.service("stop")
        self.assert_clean_stop(answer)
        self.assertLess(answer.statuses[-1].t_ms, WAIT_HINT_MS / 2)
        replies = self.sends_for(701)
        self.assertEqual([(r["msg"]["flags"], r["msg"]["text"]) for r in replies], [("0x06", "-1")])
        self.assertIn(f"SgExecWSCClient: the service is stopping, WSCClient (process {client}) is left running,"
                      " source pid = 55", self.policy_lines("Warning"))
        self.assertEqual(self.policy_lines("Error"), [])

        pids = self.client_pids()
        self.assertEqual(len(pids), 1, "the client is left alone")
        self.machine.checked("wsc", "release")
        deadline = time.monotonic() + 10
        while self.client_pids() and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(self.client_pids(), [])


class ShippedBuildTest(WscClientTestCase):
    """The product itself: no ordinary start when the protected one is refused."""

    exe = Path(os.environ.get("NVXSIM_EXE") or REPO / "build/mingw/service/NVXService.exe")

    def test_a_refused_protection_level_fails_the_command(self):
        self.assert_reply(self.exec_command("wscclient -x"), "-1")
        self.assertEqual(self.policy_lines("Error"),
                         ["SgExecWSCClient failed to update WSCClient ProcThreadAttributes, error: 50"])
        self.assertNotIn(FALLBACK_LINE, self.policy_lines())
        self.assertEqual(self.calls(), [])
        self.assertEqual(self.machine.query().state, RUNNING)


if __name__ == "__main__":
    import unittest

    unittest.main()
