"""Event journals on a simulated machine: journals the driver simulator writes are compressed by the
running service in its first pass, each .xz decodes with the host's xz to the journal's exact bytes and
no temporary file is left; a service killed in the middle of a long compression loses no journal."""

import os
import signal
import subprocess
import time
import unittest


from simtest import (ERROR_SERVICE_ALREADY_RUNNING, RUNNING, SERVICE_KEY, START_PENDING, STOP_PENDING, STOPPED,
                     MachineTestCase, status_line)

STORE = "drive_c/ProgramData/Kestro/Vantor/Data/Event Journals/KestroNVX"
TYPES = ["System", "DirectoryChanges", "FileBinaryChanges", "FileDataChanges", "FileOtherChanges",
         "FileBinaryReads", "FileDataReads", "FileOtherReads", "FileHashes", "FileProperties",
         "ProcessProperties", "Process", "Thread", "Image", "Registry", "Dns", "Http", "Ip", "Network", "Url"]
SUMMARY = " NVXS EvtJrn Debug Compressed "  # the pass's counts line ("Compressed N files, ...")
EXIT_EVENT_JOURNAL_THREAD_FAILED = 0xF000027


class EventJournalTest(MachineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.store = cls.machine.prefix / STORE
        cls.machine.reg_set(SERVICE_KEY, "DebugLevel", "REG_DWORD", 1)
        # The driver makes the store when it loads; the journals are written by its simulator too.
        cls.machine.checked("driver", "start")
        cls.machine.checked("driver", "stop")

    def setUp(self):
        self.machine.ensure_stopped()
        for path in self.store.rglob("*"):
            if path.is_file():
                path.unlink()

    def write(self, directory, name, size, content="text"):
        self.machine.checked("journal", "write", directory, name, "--size", str(size), "--content", content)
        return (self.store / directory / name).read_bytes()

    def summaries(self):
        """The pass counts lines of nvxs.log (read as text: a killed service may leave half a line)."""
        path = self.machine.log_path()
        data = path.read_bytes().decode(errors="replace") if path.exists() else ""
        return [line[line.index(SUMMARY) + len(SUMMARY) - len("Compressed "):]
                for line in data.split("\r\n") if SUMMARY in line and " files, deleted " in line]

    def start_and_wait_for_pass(self, before):
        # After a killed service, Wine's SCM goes on reporting it RUNNING, and until it has seen
        # the process end it refuses a start as a start of a running service.
        deadline = time.monotonic() + 30
        answer = self.machine.service("start")
        while answer.error == ERROR_SERVICE_ALREADY_RUNNING and time.monotonic() < deadline:
            time.sleep(0.2)
            answer = self.machine.service("start")
        self.assertTrue(answer.statuses, answer.run.out + answer.run.err)
        self.assertEqual(answer.statuses[-1].state, RUNNING, answer.run.out)
        deadline = time.monotonic() + 120
        while len(self.summaries()) <= before:
            self.assertLess(time.monotonic(), deadline, "no housekeeping pass")
            time.sleep(0.2)
        return self.summaries()[before]

    def assert_compressed(self, directory, stem, data):
        self.assertFalse((self.store / directory / (stem + ".bin")).exists())
        run = subprocess.run(["xz", "-dc", str(self.store / directory / (stem + ".xz"))], capture_output=True,
                             timeout=120)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertTrue(run.stdout == data, f"{stem}.xz does not decode to the journal's bytes")

    def leftovers(self):
        return sorted(str(p.relative_to(self.store)) for p in self.store.rglob("*.tmp"))

    def test_journals_are_compressed_in_the_first_pass(self):
        self.assertEqual(sorted(p.name for p in self.store.iterdir()), sorted(TYPES))
        journals = {
            ("System", "System-1F-2A-100-200"): self.write("System", "System-1F-2A-100-200.bin", 300000),
            ("Thread", "Thread-A-0-0-0"): self.write("Thread", "Thread-A-0-0-0.bin", 65536),
            ("Dns", "Dns-1-2-3-4"): self.write("Dns", "Dns-1-2-3-4.bin", 0),
            ("Http", "Dns-5-6-7-8"): self.write("Http", "Dns-5-6-7-8.bin", 70000, "random"),
        }
        self.write("Dns", "Dns-0-2-3-4.tmp", 5000)  # left by an interrupted compression
        short = self.write("System", "System-1F-100.bin", 1000)

        summary = self.start_and_wait_for_pass(len(self.summaries()))
        self.assertEqual(summary, "Compressed 4 files, deleted 1 files, and ignored 1 files")
        for (directory, stem), data in journals.items():
            with self.subTest(journal=stem):
                self.assert_compressed(directory, stem, data)
        self.assertEqual((self.store / "System" / "System-1F-100.bin").read_bytes(), short)
        self.assertEqual(self.leftovers(), [])

    def test_a_service_killed_while_compressing_loses_no_journal(self):
        data = self.write("Image", "Image-1-0-0-0.bin", 4000000)
        before = len(self.summaries())
        self.assertEqual(self.machine.service("start").statuses[-1].state, RUNNING)
        partial = self.store / "Image" / "Image-1-0-0-0.tmp"
        deadline = time.monotonic() + 60
        while not (partial.exists() and partial.stat().st_size > 0):
            self.assertLess(time.monotonic(), deadline, "the compression never began")
            time.sleep(0.05)
        services = [pid for pid, cmd in self.machine.processes() if "NVXService.exe" in cmd]
        self.assertEqual(len(services), 1)
        os.kill(services[0], signal.SIGKILL)
        while any(pid == services[0] for pid, _ in self.machine.processes()):
            time.sleep(0.05)
        self.assertEqual((self.store / "Image" / "Image-1-0-0-0.bin").read_bytes(), data)
        self.assertFalse((self.store / "Image" / "Image-1-0-0-0.xz").exists())
        self.assertEqual(len(self.summaries()), before, "the killed service finished its pass")

        # The next pass compresses the journal once and deletes the leftover if it comes first.
        summary = self.start_and_wait_for_pass(before)
        self.assertIn(summary, ("Compressed 1 files, deleted 1 files, and ignored 0 files",
                                "Compressed 1 files, deleted 0 files, and ignored 0 files"))
        self.assertEqual(sorted(p.name for p in (self.store / "Image").iterdir()), ["Image-1-0-0-0.xz"])
        self.assert_compressed("Image", "Image-1-0-0-0", data)
        self.assertEqual(self.leftovers(), [])


class JournalThreadStartFailureTest(MachineTestCase):
    """The test build told to fail its third worker-thread start: with no driver there is no
    communications thread, so after the debug log's and the OS notification thread's it is the
    event-journal monitoring thread's."""

    def test_the_start_fails_with_the_journal_thread_exit_code(self):
        self.machine.install_test_build()
        self.machine.reg_set(SERVICE_KEY, "DebugLevel", "REG_DWORD", 1)
        self.machine.reg_set("params", "TestFailThreadStart", "REG_DWORD", 3)
        answer = self.start_that_fails_after_reporting()
        code = EXIT_EVENT_JOURNAL_THREAD_FAILED
        self.assert_polled([(s.state, s.exit_code) for s in answer.statuses if s.state != START_PENDING],
                           [(STOP_PENDING, code), (STOPPED, code)])
        self.assertNotIn(RUNNING, [s.state for s in answer.statuses])
        run = self.ended_run_log()
        self.assertIn(status_line(STOP_PENDING, 2, code), [e.text for e in run])
        data = "\\??\\C:\\ProgramData\\Kestro\\Vantor"
        self.assertEqual([line.text for line in run if line.facility == "EvtJrn"],
                         ["Initialize OS event journal management", "NVX Data at " + data,
                          "KestroNVX Event Journals at " + data + "\\Data\\Event Journals\\KestroNVX",
                          "Starting OS Event Journal Monitoring thread...",
                          "Stopping OS Event Journal Monitoring thread...", "Shutdown OS event journal management"])


if __name__ == "__main__":
    unittest.main()
