"""The running service watches its own registry key: DebugFacilities and DebugLevel written there take
effect at once, with one Notice line, whatever the filter was; values of the wrong type change nothing;
a deleted key is noticed, and once it exists again the next housekeeping (within 60 s) watches it again
and applies its values. A failed start of the OS notification thread ends the start with 0xF000013."""

import time
import unittest

from simtest import (RUNNING, SERVICE_KEY, START_PENDING, STOP_PENDING, STOPPED, MachineTestCase,
                     parse_log_line, status_line)

KEY_CHANGED = "NVX Service registry key has changed"
KEY_MISSING = "Kestro Vantor Service registry key missing"
HOUSEKEEPING = "OS notification housekeeping "
OPENED = "Opened Kestro Vantor Service registry key"
EXPORT_WIN = r"C:\nvxsim\service-key.reg"
SERVICE_KEY_FULL = r"HKLM\SYSTEM\CurrentControlSet\Services\Kestro Vantor Service"
EXIT_OS_NOTIFICATION_THREAD_FAILED = 0xF000013


def changed(facilities, level):
    return f"Registry DebugFacilities changed to 0x{facilities:08x} DebugLevel {level}"


class LogReader:
    """nvxs.log as LogLine records, read while the service may be writing: only whole lines."""

    def __init__(self, machine):
        self.machine = machine

    def lines(self):
        path = self.machine.log_path()
        data = path.read_bytes() if path.exists() else b""
        data = data[:data.rfind(b"\r\n") + 2] if b"\r\n" in data else b""
        raws = data.split(b"\r\n")[:-1]
        parsed = [parse_log_line(raw.decode("utf-8")) for raw in raws]
        if None in parsed:
            raise AssertionError(f"not a log line in {path}: {raws[parsed.index(None)]!r}")
        return parsed

    def wait(self, predicate, after, what, timeout=10, count=1):
        """Index of the count-th line from index `after` on that satisfies predicate, waiting up to
        timeout seconds."""
        deadline = time.monotonic() + timeout
        while True:
            lines = self.lines()
            found = [i for i in range(after, len(lines)) if predicate(lines[i])]
            if len(found) >= count:
                return found[count - 1]
            if time.monotonic() > deadline:
                tail = "\n".join(f"{e.facility} {e.level} {e.text}" for e in lines[after:][-15:])
                raise AssertionError(f"no line {what} within {timeout} s; the log since:\n{tail}")
            time.sleep(0.05)


def is_line(text, facility="Notify", level="Debug"):
    return lambda e: (e.facility, e.level, e.text) == (facility, level, text)


class RegistryWatchTest(MachineTestCase):
    """One service run, watched through its log; the tests go in their numbered order."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.log = LogReader(cls.machine)
        # Sys only, at Error: neither the Notify facility nor the Notice level passes the filter.
        cls.machine.reg_set(SERVICE_KEY, "DebugFacilities", "REG_DWORD", 0x4)
        cls.machine.reg_set(SERVICE_KEY, "DebugLevel", "REG_DWORD", 5)
        answer = cls.machine.service("start")
        if answer.statuses[-1].state != RUNNING:
            raise AssertionError(f"the service did not start:\n{answer.run.out}")

    def mark(self):
        return len(self.log.lines())

    def write_dword(self, name, value, key=SERVICE_KEY):
        self.machine.reg_set(key, name, "REG_DWORD", value)

    def change_lines(self, since):
        return [e.text for e in self.log.lines()[since:] if e.text.startswith("Registry DebugFacilities")]

    def test_1_a_new_level_applies_from_the_next_line_whatever_the_filter_was(self):
        lines = self.log.lines()
        start = max(i for i, e in enumerate(lines) if e.text == "Registry DebugFacilities 0x00000004 DebugLevel 5")
        self.write_dword("DebugLevel", 1)
        at = self.log.wait(is_line(changed(0x4, 1), level="Notice"), start, "changing the level to Debug")
        # Nothing at Debug before the change line; Sys at Debug after it, and still only Sys.
        self.assertNotIn("Debug", [e.level for e in self.log.lines()[start:at]])
        self.log.wait(lambda e: e.text.startswith("Mainloop housekeeping "), at + 1, "of the main loop at Debug")
        self.assertEqual({e.facility for e in self.log.lines()[at + 1:]}, {"Sys"})

        self.write_dword("DebugFacilities", 0xFFFFFFFF)
        at = self.log.wait(is_line(changed(0xFFFFFFFF, 1), level="Notice"), at + 1, "adding every facility")
        self.machine.reg_set("params", "Marker", "REG_SZ", "1")
        self.log.wait(is_line(KEY_CHANGED), at + 1, "for the Parameters change at Debug under Notify")

    def test_2_the_same_values_again_log_no_change_line(self):
        since = self.mark()
        # Windows fires the watch for a write of the same data; Wine 8.0 ignores such a write. The
        # change in the Parameters subkey fires it in both, and the service then reads the very
        # values it already has.
        self.write_dword("DebugFacilities", 0xFFFFFFFF)
        self.write_dword("DebugLevel", 1)
        self.machine.reg_set("params", "Marker", "REG_SZ", "2")
        last = self.log.wait(is_line(KEY_CHANGED), since, "for the Parameters change")
        self.machine.reg_set("params", "Marker", "REG_SZ", "3")
        self.log.wait(is_line(KEY_CHANGED), last + 1, "for the second Parameters change")
        self.assertEqual(self.change_lines(since), [])

    def test_3_values_of_the_wrong_type_or_missing_change_nothing(self):
        since = self.mark()
        cases = [("DebugLevel", "REG_SZ", "1", "Kestro Vantor Service DebugLevel value type incorrect"),
                 ("DebugLevel", "REG_QWORD", "1", "Kestro Vantor Service DebugLevel value type incorrect"),
                 ("DebugFacilities", "REG_SZ", "0xffffffff",
                  "Kestro Vantor Service DebugFacilities value type incorrect")]
        for name, kind, data, expected in cases:
            with self.subTest(name=name, kind=kind):
                at = self.mark()
                self.machine.reg_set(SERVICE_KEY, name, kind, data)
                self.log.wait(is_line(expected), at, repr(expected))
                self.write_dword(name, {"DebugLevel": 1, "DebugFacilities": 0xFFFFFFFF}[name])
        at = self.mark()
        self.machine.reg_delete(SERVICE_KEY, "DebugFacilities")
        self.log.wait(is_line("Kestro Vantor Service DebugFacilities value missing"), at, "for the missing value")
        at = self.mark()
        self.write_dword("DebugFacilities", 0xFFFFFFFF)
        self.log.wait(is_line(KEY_CHANGED), at, "for the restored value")
        # Restoring the values the filter already had logs no change: nothing had been applied.
        self.machine.reg_set("params", "Marker", "REG_SZ", "4")
        self.log.wait(is_line(KEY_CHANGED), at, "for the marker", count=2)
        self.assertEqual(self.change_lines(since), [])

    def test_4_a_deleted_key_is_watched_again_by_the_housekeeping_once_it_exists(self):
        self.machine.checked("wine", "reg", "export", SERVICE_KEY_FULL, EXPORT_WIN, "/y")
        since = self.mark()
        self.machine.checked("reg", "delete", SERVICE_KEY)
        self.log.wait(is_line(KEY_MISSING), since, "for the deleted key")

        # Created again as it was, but at level Info: no watch sees it until the housekeeping.
        export = self.machine.prefix / "drive_c" / "nvxsim" / "service-key.reg"
        text = export.read_bytes().decode("utf-16")
        self.assertIn('"DebugLevel"=dword:00000001', text)
        export.write_bytes(text.replace('"DebugLevel"=dword:00000001', '"DebugLevel"=dword:00000002').encode("utf-16"))
        at = self.mark()
        self.machine.checked("wine", "reg", "import", EXPORT_WIN)
        recreated = time.monotonic()
        applied = self.log.wait(is_line(changed(0xFFFFFFFF, 2), level="Notice"), at,
                                "applying the recreated key's values", timeout=75)
        self.assertLess(time.monotonic() - recreated, 62, "applied later than the next housekeeping")
        texts = [e.text for e in self.log.lines()[at:applied] if e.facility == "Notify"]
        self.assertNotIn(KEY_CHANGED, texts)
        self.assertEqual(texts[-1], OPENED)
        self.assertTrue(texts[-2].startswith(HOUSEKEEPING), texts)

        # Armed again: the next write is seen at once.
        self.write_dword("DebugLevel", 1)
        self.log.wait(is_line(changed(0xFFFFFFFF, 1), level="Notice"), applied + 1, "back at level Debug")

    def test_5_a_stop_during_the_wait_ends_the_thread_without_another_housekeeping(self):
        answer = self.machine.service("stop")
        self.assertEqual((answer.statuses[-1].state, answer.statuses[-1].exit_code), (STOPPED, 0), answer.run.out)
        lines = self.log.lines()
        texts = [e.text for e in lines]
        stop = max(i for i, t in enumerate(texts) if t.startswith("Service status 3 checkpoint 1 "))
        after = texts[stop:]
        self.assertFalse([t for t in after if t.startswith(HOUSEKEEPING)])
        order = ["Starting shutdown...", "Stopping OS Event Journal Monitoring thread...",
                 "Stopping OS notification thread...", "Shutdown OS event journal management",
                 "Shutdown OS notification management", "There are 0 unreleased memory buffers",
                 "Service stopping..."]
        at = 0
        for text in order:
            self.assertIn(text, after[at:], f"{text!r} missing or out of order")
            at = after.index(text, at) + 1


class NotificationThreadStartFailureTest(MachineTestCase):
    """The test build told to fail its second worker-thread start (the first is the debug log's): with
    no driver there is no communications thread, so it is the OS notification thread's."""

    def test_the_start_fails_with_the_notification_thread_exit_code(self):
        self.machine.install_test_build()
        self.machine.reg_set(SERVICE_KEY, "DebugLevel", "REG_DWORD", 1)
        self.machine.reg_set("params", "TestFailThreadStart", "REG_DWORD", 2)
        answer = self.start_that_fails_after_reporting()
        code = EXIT_OS_NOTIFICATION_THREAD_FAILED
        self.assert_polled([(s.state, s.exit_code) for s in answer.statuses if s.state != START_PENDING],
                           [(STOP_PENDING, code), (STOPPED, code)])
        self.assertNotIn(RUNNING, [s.state for s in answer.statuses])
        texts = [e.text for e in self.ended_run_log()]
        self.assertIn(status_line(STOP_PENDING, 2, code), texts)
        self.assertEqual([t for t in texts if "OS notification" in t],
                         ["Initialize OS notification management", "Starting OS notification thread...",
                          "Stopping OS notification thread...", "Shutdown OS notification management"])
        # The event-journal thread comes after it and is never started.
        self.assertNotIn("Starting OS Event Journal Monitoring thread...", texts)


if __name__ == "__main__":
    unittest.main()
