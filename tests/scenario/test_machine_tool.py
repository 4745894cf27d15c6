"""The simulated machine itself, through nvxsim: what an installation puts in place, the registry
commands, the machine's life cycle (no process survives `down`) and the log command."""

import os
import unittest
from pathlib import Path

from simtest import REPO, RUNNING, SERVICE_KEY, STOPPED, MachineTestCase, read_log_lines

SCRATCH_KEY = r"HKLM\SOFTWARE\NvxSimTest"
ERROR_SERVICE_DOES_NOT_EXIST = 1060


class MachineToolTest(MachineTestCase):
    def key_exists(self, key):
        return self.machine.nvxsim("wine", "reg", "query", key).rc == 0

    def test_installation_matches_a_real_one(self):
        get = self.machine.reg_get
        self.assertEqual(get(SERVICE_KEY, "Type"), ("REG_DWORD", "0x10"))  # own process
        self.assertEqual(get(SERVICE_KEY, "Start"), ("REG_DWORD", "0x3"))  # demand start
        self.assertEqual(get(SERVICE_KEY, "ImagePath")[1], '"C:\\Program Files\\Kestro\\Vantor\\NVXService.exe"')
        self.assertTrue(self.key_exists(r"HKLM\SYSTEM\CurrentControlSet\Services\Kestro Vantor Service\Parameters"))
        self.assertEqual(get("driver", "Start"), ("REG_DWORD", "0x0"))
        self.assertEqual(get("driver", "Type"), ("REG_DWORD", "0x2"))
        self.assertEqual(get("elam", "Start"), ("REG_DWORD", "0x0"))
        self.assertEqual(get("elam", "Type"), ("REG_DWORD", "0x1"))
        self.assertEqual(get(r"HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList", "ProgramData"),
                         ("REG_EXPAND_SZ", "%SystemDrive%\\ProgramData"))
        version_key = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion"
        self.assertEqual(get(version_key, "ProgramFilesDir"), ("REG_SZ", "C:\\Program Files"))
        self.assertEqual(get(version_key, "ProgramFilesDir (x86)"), ("REG_SZ", "C:\\Program Files (x86)"))
        # Programs still see the usual folders with ProgramData in its unexpanded form.
        run = self.machine.checked("wine", "cmd", "/c", "echo %ProgramData%")
        self.assertEqual(run.out.strip(), "C:\\ProgramData")
        installed = self.machine.prefix / "drive_c/Program Files/Kestro/Vantor/NVXService.exe"
        built = Path(os.environ.get("NVXSIM_EXE") or REPO / "build/mingw/service/NVXService.exe")
        self.assertEqual(installed.read_bytes(), built.read_bytes())

    def test_uninstall_removes_the_service_and_install_brings_it_back(self):
        self.machine.checked("uninstall")
        answer = self.machine.service("query")
        self.assertEqual(answer.error, ERROR_SERVICE_DOES_NOT_EXIST)
        self.assertFalse(self.key_exists(r"HKLM\SYSTEM\CurrentControlSet\Services\Kestro Vantor Service"))
        self.assertFalse(self.key_exists(r"HKLM\SYSTEM\CurrentControlSet\Services\KestroNVX"))
        self.machine.checked("install")
        self.assertEqual(self.machine.query().state, STOPPED)
        self.assertEqual(self.machine.reg_get("driver", "Type"), ("REG_DWORD", "0x2"))

    def test_registry_values_round_trip(self):
        self.addCleanup(self.machine.reg_delete, SCRATCH_KEY)
        cases = [("Text", "REG_SZ", "two words", "two words"),
                 ("Name With Spaces", "REG_SZ", "x", "x"),
                 ("Empty", "REG_SZ", "", ""),
                 ("All", "REG_DWORD", "0xffffffff", "0xffffffff"),
                 ("Decimal", "REG_DWORD", "42", "0x2a"),
                 ("Path", "REG_EXPAND_SZ", "%SystemRoot%\\x", "%SystemRoot%\\x")]
        for name, kind, data, shown in cases:
            with self.subTest(value=name):
                self.machine.reg_set(SCRATCH_KEY, name, kind, data)
                self.assertEqual(self.machine.reg_get(SCRATCH_KEY, name), (kind, shown))
        self.machine.reg_delete(SCRATCH_KEY, "Text")
        self.assertIsNone(self.machine.reg_get(SCRATCH_KEY, "Text"))
        self.assertEqual(self.machine.reg_get(SCRATCH_KEY, "All"), ("REG_DWORD", "0xffffffff"))
        self.machine.reg_delete(SCRATCH_KEY)
        self.assertFalse(self.key_exists(SCRATCH_KEY))
        # A malformed number is refused by reg itself, and nothing is written.
        self.assertEqual(self.machine.nvxsim("reg", "set", SCRATCH_KEY, "Bad", "--type", "REG_DWORD",
                                             "--data", "abc").rc, 1)
        self.assertIsNone(self.machine.reg_get(SCRATCH_KEY, "Bad"))

    def test_down_ends_every_process_and_the_machine_comes_back(self):
        self.machine.reg_set(SCRATCH_KEY, "Kept", "REG_SZ", "across down")
        self.addCleanup(self.machine.reg_delete, SCRATCH_KEY)
        self.machine.service("start")
        self.assertTrue(any("services.exe" in cmd for _, cmd in self.machine.processes()))
        run = self.machine.checked("down")
        self.assertIn("Stopping Kestro Vantor Service", run.out)  # stopped through the SCM first
        self.assertEqual(self.machine.processes(), [])
        self.assertIn("State       down", self.machine.checked("status").out)
        self.assertEqual(self.machine.checked("down").out.strip(), f"Machine {self.machine.root} is down (no process).")
        # Any command brings a machine that is down up again; a second up changes nothing.
        run = self.machine.nvxsim("--raw", "query")
        self.assertIn("the machine was down", run.err)
        self.assertIn(" STOPPED ", run.out)
        # Wine's own helpers come and go by themselves (the desktop process ends when idle); the
        # machine's session is its wineserver, its SCM and the keep-alive holder.
        def session():
            return [(pid, cmd) for pid, cmd in self.machine.processes()
                    if "wineserver" in cmd or "services.exe" in cmd or "nvxsimctl.exe hold" in cmd]
        processes = session()
        self.assertIn("already up", self.machine.checked("up").out)
        self.assertEqual(session(), processes)
        self.assertEqual(len(processes), 3)
        self.assertEqual(self.machine.reg_get(SCRATCH_KEY, "Kept"), ("REG_SZ", "across down"))
        # The service survives the end of every ordinary process but the holder.
        self.assertEqual(self.machine.service("start").statuses[-1].state, RUNNING)
        self.machine.service("stop")
        logs = self.machine.log_lines()
        if logs is not None:
            self.assertIn("Service stopping...", [e.text for e in logs])

    def test_log_command_shows_the_newest_file_or_all_of_them(self):
        logs = self.machine.log_path().parent
        logs.mkdir(parents=True, exist_ok=True)
        saved = {}
        for name in ("nvxs.log", "nvxs1.log"):
            path = logs / name
            if path.exists():
                saved[name] = path.read_bytes()
            self.addCleanup(lambda p=path, n=name: p.write_bytes(saved[n]) if n in saved else p.unlink(missing_ok=True))
        line = "2026-01-02T03:04:05.{:03d}Z NVXS Sys Info line {}"
        (logs / "nvxs1.log").write_bytes("".join(line.format(i, i) + "\r\n" for i in range(3)).encode())
        (logs / "nvxs.log").write_bytes("".join(line.format(i, i) + "\r\n" for i in range(3, 6)).encode())
        self.assertEqual(len(read_log_lines(logs / "nvxs.log")), 3)
        self.assertEqual(self.machine.checked("log").out.splitlines(), [line.format(i, i) for i in range(3, 6)])
        self.assertEqual(self.machine.checked("log", "--tail", "2").out.splitlines(),
                         [line.format(i, i) for i in range(4, 6)])
        self.assertEqual(self.machine.checked("log", "--all").out.splitlines(), [line.format(i, i) for i in range(6)])
        (logs / "nvxs.log").unlink()
        run = self.machine.nvxsim("log")
        self.assertEqual(run.rc, 1)
        self.assertIn("no debug log yet", run.err)

    def test_usage_errors_exit_with_2_and_touch_nothing(self):
        for args in (["frobnicate"], ["reg", "get", "service"], ["reg", "set", "service", "X", "--type", "REG_FOO"],
                     ["control", "abc"], ["start", "Other Service"], ["log", "--tail", "x"]):
            with self.subTest(args=args):
                run = self.machine.nvxsim(*args)
                self.assertEqual(run.rc, 2, run.out + run.err)
                self.assertIn("nvxsim:", run.err)

    def test_z_create_resets_the_machine(self):
        # Runs last (by name): it replaces the prefix the other tests use.
        self.machine.reg_set(SCRATCH_KEY, "Old", "REG_SZ", "before create")
        self.machine.checked("create")
        self.assertFalse(self.key_exists(SCRATCH_KEY))
        self.assertEqual(self.machine.query().state, STOPPED)


if __name__ == "__main__":
    unittest.main()
