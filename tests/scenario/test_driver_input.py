"""Hostile input from the driver, under the SCM: frames the receive path must refuse (too short, a
size field that lies, a cut header, a bare command with nothing to relay), and answers to the
service's sends that are not the 4-byte status of a successful call (a short answer, a failing or
merely non-zero HRESULT), at registration and afterwards. After each the service goes on receiving
and answering. Last, a burst of random frames and hostile command text."""

import random
import re
import struct
import unittest

from simtest import RUNNING
from test_driver_channel import UNKNOWN_COMMAND_REPLY, ChannelTestCase

GENERAL_FAILURE = 0xE0020001
NOT_REGISTERED = 0xE0020003
FRAME_HEADER = struct.pack("<IIQ", 0, 0, 1)  # FILTER_MESSAGE_HEADER: reply length, padding, message ID
SEPARATOR_BASE = 1000  # payload bytes of the EventMsg that closes each case's part of the log


def command(destination=30, flags=0x05, payload=b"VERSION\0", request_id=0, version=1, size=None):
    """A CommandMsg Get from component 12; `size` makes its size field lie."""
    body = struct.pack("<BBBBIIIQQQQ", 1, flags, 1, 1, request_id, 12, destination, 0, 0, 0, 0)
    total = 8 + len(body) + len(payload)
    return struct.pack("<BBBBI", version, 0, 5, 0x64, total if size is None else size) + body + payload


class ReceivedFramesTest(ChannelTestCase):
    """What the receive path does with each frame, as the log between two separators shows it."""

    def setUp(self):
        super().setUp()
        self.start_connected()

    def test_malformed_frames_are_refused_by_the_rules_and_the_service_receives_on(self):
        cases = [
            # (what, frame, the Comms lines it gives)
            ("an empty frame", b"", []),
            ("one byte", b"\x01", []),
            ("a bare FILTER_MESSAGE_HEADER", FRAME_HEADER, []),
            ("a cut message header", FRAME_HEADER + bytes([1, 0, 5, 0x64, 5]),
             ["[0] Number of bytes received do not match 5 != 0"]),
            ("a size field larger than the bytes", FRAME_HEADER + command(size=68),
             ["[0] Number of bytes received do not match 64 != 68"]),
            ("a size field smaller than the bytes", FRAME_HEADER + command(size=63),
             ["[0] Number of bytes received do not match 64 != 63"]),
            ("a header alone, type CommandMsg", FRAME_HEADER + struct.pack("<BBBBI", 1, 0, 5, 0x64, 8),
             ["[0] Received 8 bytes"]),
            ("header version 2", FRAME_HEADER + command(version=2), ["[0] Received 64 bytes"]),
            ("a bare 56-byte command to relay", FRAME_HEADER + command(destination=12, payload=b"", request_id=501),
             ["[0] Received 56 bytes"]),
            ("a bare 56-byte command to the service", FRAME_HEADER + command(payload=b"", request_id=502),
             ["[0] Received 56 bytes"]),
        ]
        for i, (_, frame, _) in enumerate(cases):
            self.machine.checked("driver", "raw", "--frame", "--", frame.hex())
            self.machine.checked("driver", "event", "--hex", "00" * (SEPARATOR_BASE + i))
        self.version_is_answered()
        separators = {f"[0] Received {12 + SEPARATOR_BASE + i} bytes": i for i in range(len(cases))}
        last = f"[0] Received {12 + SEPARATOR_BASE + len(cases) - 1} bytes"

        def answered_after_the_cases(ls):
            texts = [e.text for e in ls]
            return last in texts and "Sending 62 bytes" in texts[texts.index(last):]

        lines = self.wait_for_log(answered_after_the_cases, what="the reply to VERSION after the last case")
        seen, current = [[] for _ in cases], []
        for e in lines:
            if e.facility != "Comms" or not e.text.startswith("[0] ") or "thread starting" in e.text:
                continue
            if e.text in separators:
                seen[separators[e.text]] = current
                current = []
            else:
                current.append(e.text)
        for (what, _, expected), got in zip(cases, seen):
            with self.subTest(frame=what):
                self.assertEqual(got, expected)
        # Nothing was relayed or answered: the one send since is the reply to VERSION.
        self.assertEqual([(r["msg"]["name"], r["msg"].get("text")) for r in self.sends()],
                         [("CommandMsg", "2.1.2")])
        self.assertEqual(self.machine.query().state, RUNNING)
        self.assert_clean_stop(self.machine.service("stop"))


class SendAnswersTest(ChannelTestCase):
    """A send counts as delivered only when FilterSendMessage returns S_OK with exactly 4 bytes."""

    def relay(self, request_id):
        """A command for component 12, which the service sends on to the driver; its tries."""
        self.machine.checked("driver", "send", "--component", "12", "--request-id", str(request_id), "--no-wait",
                             "PING")
        self.version_is_answered()
        return self.sends_for(request_id)

    def errors(self):
        return [e.text for e in self.run_log() if e.level == "Error"]

    def test_a_relay_answered_otherwise_fails_with_general_failure_once(self):
        self.start_connected()
        answers = [
            # (driver answer options, request ID, what the driver's journal records for the one try)
            (["--length", "3"], 601, {"status": "0x00000000", "out_count": 3}),
            (["--length", "0"], 602, {"status": "0x00000000", "out_count": 0}),
            (["--hresult", "0x80004005"], 603, {"hresult": "0x80004005", "out_count": 4}),
            (["--hresult", "1"], 604, {"hresult": "0x00000001", "out_count": 4}),  # S_FALSE is not S_OK
        ]
        for options, request_id, recorded in answers:
            with self.subTest(answer=options):
                self.machine.checked("driver", "answer", "0", "1", *options)
                tries = self.relay(request_id)
                self.assertEqual([{k: t.get(k) for k in recorded} for t in tries], [recorded])
        self.assertEqual(self.errors().count(f"Error routing message to kernel 0x{GENERAL_FAILURE:08X}"), len(answers))

        # A reply of the service answered short is not delivered: the driver records no reply, the
        # failure is logged once, and the next command is answered as usual.
        self.machine.checked("driver", "answer", "0", "1", "--length", "2")
        rc, records = self.raw_records("send", "--kind", "get", "--request-id", "605", "--wait-ms", "2000",
                                       "VERSION")
        self.assertEqual((rc, [r["event"] for r in records]), (1, ["sent", "timeout"]), records)
        self.assertEqual([t["out_count"] for t in self.sends_for(605)], [2])
        self.version_is_answered()
        errors = self.errors()
        self.assertEqual(errors.count(f"Error routing message to kernel 0x{GENERAL_FAILURE:08X}"), len(answers) + 1)
        self.assertEqual([t for t in errors if "605" in t], [])
        self.assert_clean_stop(self.machine.service("stop"))

    def test_a_registration_not_answered_4_bytes_of_success_is_torn_down_and_retried(self):
        # Each failed registration closes its connection; the main loop's next housekeeping connects
        # again and registers.
        for options, status in ((["--length", "2"], GENERAL_FAILURE), ([], NOT_REGISTERED)):
            with self.subTest(answer=options):
                self.machine.ensure_stopped()
                self.machine.checked("driver", "stop")
                self.machine.checked("driver", "received", "--clear")
                self.machine.checked("driver", "start")
                self.machine.checked("driver", "answer", f"0x{status:08X}" if not options else "0", "1", *options)
                self.start()
                self.wait_for_text("[0] Communications thread starting", timeout=20)
                self.version_is_answered()
                texts = [e.text for e in self.run_log()]
                self.assertEqual(texts.count(f"Unable to send a registration message (0x{status:X})"), 1)
                self.assertEqual(texts.count("Registration failed"), 1)
                first = texts.index("Registration failed")
                self.assertTrue(any(t.startswith("Mainloop housekeeping") for t in texts[first:]))
                records = self.journal()
                async_events = [(r["event"], r["conn"], r.get("by")) for r in records
                                if r.get("port") == "async" and r["event"] in ("connect", "disconnect")]
                failed, retried = async_events[0][1], async_events[-1][1]
                self.assertEqual(async_events, [("connect", failed, None), ("disconnect", failed, "service"),
                                                ("connect", retried, None)])
                registrations = [r for r in records if r["event"] == "from_service" and r["port"] == "async"
                                 and r["msg"]["name"] == "RegRequestMsg"]
                self.assertEqual([r["conn"] for r in registrations], [failed, retried])
                self.assert_clean_stop(self.machine.service("stop"))


RECEIVE_LINE = re.compile(r"^\[0\] (Received \d+ bytes|Number of bytes received do not match \d+ != \d+)$")
# What the service may log as an error while it refuses hostile input, and nothing else.
REFUSAL_LINE = re.compile(r"^(\[0\] Number of bytes received do not match \d+ != \d+"
                          r"|SgExecuteCommand: (unknown command .*|command \d+ has no NUL-terminated text))$",
                          re.DOTALL)
BURST_SEED = 20261207


def expected_receive_line(frame):
    """The line the receive path logs for `frame`, or None for a frame it drops quietly: the
    message's size field (0 when the header is cut before it) must equal the bytes after the
    16-byte FILTER_MESSAGE_HEADER."""
    if len(frame) <= 16:
        return None
    received = len(frame) - 16
    size = struct.unpack_from("<I", frame, 20)[0] if received >= 8 else 0
    if size != received:
        return f"[0] Number of bytes received do not match {received} != {size}"
    return f"[0] Received {received} bytes"


def random_frames(rng):
    """Frames of random bytes: the edges of the frame and header sizes (up to the largest frame the
    receive takes), short and long ones, and half of them with a size field that agrees, so that
    they reach the message rules."""
    lengths = [0, 1, 15, 16, 17, 23, 24, 72, 12000, 0x40010] + [rng.randint(17, 400) for _ in range(15)]
    frames = []
    for n in lengths:
        frame = bytearray(rng.randbytes(n))
        if n >= 24 and rng.random() < 0.5:
            frame[16] = rng.choice([1, 1, 2, 0])  # header version
            frame[18] = rng.choice([5, 5, 1, 4, 0xFF])  # message type
            struct.pack_into("<I", frame, 20, n - 16)
        frames.append(bytes(frame))
    return frames


class HostileInputTest(ChannelTestCase):
    """Random frames and hostile command text in one burst: the service answers what is valid,
    refuses the rest with its log line, keeps running and stops without a leak."""

    def setUp(self):
        super().setUp()
        self.start_connected()

    def test_a_burst_of_random_frames_and_hostile_commands(self):
        version = (0x06, b"2.1.2\0")
        unknown = (0x0E, UNKNOWN_COMMAND_REPLY)
        long_name = b"VERSION" + b"X" * 60000
        commands = [
            # (Get payload, the reply: (flags, payload) or None, the error line it gives or None)
            (b"VERSION\0", version, None),
            (b"version\0", version, None),
            (b"VERSION\0\xff\xfe embedded\0", version, None),
            (b"VERSION \"odd 'quoting \\\0", version, None),
            (b"VERSION \xff\xfe\x80\xc3(\0", version, None),
            (long_name + b"\0", unknown, b"unknown command " + long_name[:63]),
            (b"A" * 12000 + b" VERSION\0", unknown, b"unknown command " + b"A" * 63),
            (b'"VERSION"\0', unknown, b'unknown command "VERSION"'),
            (b"'VERSION\0", unknown, b"unknown command 'VERSION"),
            (b"\xff\xfe\x80\xc3VERSION\0", unknown, b"unknown command \xff\xfe\x80\xc3VERSION"),
            # The log writes a control character other than TAB as '?': one message, one line.
            (b"\x1b[31mVERSION\r\x7f\0", unknown, b"unknown command ?[31mVERSION?\x7f"),
            (b"\0VERSION\0", unknown, b"unknown command "),
            (b"VERSION", None, b"command %d has no NUL-terminated text"),
        ]
        rng = random.Random(BURST_SEED)
        inputs = [("frame", f) for f in random_frames(rng)] + [("command", c) for c in enumerate(commands)]
        rng.shuffle(inputs)

        expected_lines = []
        for what, item in inputs:
            if what == "frame":
                # In words a command line takes (each at most 128 KiB on this host).
                words = [item[at:at + 50000].hex() for at in range(0, len(item), 50000)] or [""]
                self.machine.checked("driver", "raw", "--frame", "--", *words)
                line = expected_receive_line(item)
            else:
                i, (payload, _, _) = item
                self.machine.checked("driver", "send", "--kind", "get", "--request-id", str(7000 + i), "--no-wait",
                                     "--hex", payload.hex())
                line = f"[0] Received {56 + len(payload)} bytes"
            if line is not None:
                expected_lines.append(line)
        # One message at a time: once this Get is answered, every earlier reply is on record.
        self.version_is_answered()
        expected_lines.append(f"[0] Received {56 + 8} bytes")

        lines = self.run_log()
        self.assertEqual([e.text for e in lines if RECEIVE_LINE.match(e.text)], expected_lines,
                         f"seed {BURST_SEED}")
        errors = [e.text for e in lines if e.level == "Error"]
        self.assertEqual([t for t in errors if not REFUSAL_LINE.match(t)], [], f"seed {BURST_SEED}")
        for i, (payload, reply, error) in enumerate(commands):
            request_id = 7000 + i
            with self.subTest(payload=payload[:40]):
                sent = [(int(r["msg"]["flags"], 16), bytes.fromhex(r["msg"]["payload_hex"]))
                        for r in self.sends_for(request_id)]
                self.assertEqual(sent, [reply] if reply else [])
                if error is not None:
                    text = (b"SgExecuteCommand: " + error.replace(b"%d", str(request_id).encode())).decode(
                        "utf-8", "surrogateescape")
                    self.assertEqual(errors.count(text), 1, errors)
        self.assertEqual(len(errors), len([e for e in expected_lines if "do not match" in e]) +
                         len([c for c in commands if c[2] is not None]), errors)
        self.assertEqual(self.machine.query().state, RUNNING)
        self.assert_clean_stop(self.machine.service("stop"))


if __name__ == "__main__":
    unittest.main()
