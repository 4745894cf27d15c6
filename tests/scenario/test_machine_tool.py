"""The simulated machine itself, through nvxsim: what an installation puts in place, the registry
commands, the machine's life cycle (no process survives `down`), the log command, the help and
usage errors, and what `create` and `status` say about a machine."""

import json
import os
import re
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
        # A malformed number is refused by reg itself, said in nvxsim's terms, and nothing is written.
        run = self.machine.nvxsim("reg", "set", SCRATCH_KEY, "Bad", "--type", "REG_DWORD", "--data", "abc")
        self.assertEqual(run.rc, 1)
        self.assertIn("--data", run.err)
        self.assertNotIn("/d", run.err)
        self.assertIsNone(self.machine.reg_get(SCRATCH_KEY, "Bad"))

    def test_reg_set_without_a_type_keeps_the_values_type(self):
        self.addCleanup(self.machine.reg_delete, SCRATCH_KEY)
        self.machine.reg_set(SCRATCH_KEY, "Number", "REG_DWORD", 1)
        self.machine.reg_set(SCRATCH_KEY, "Text", "REG_SZ", "one")
        self.machine.reg_set(SCRATCH_KEY, "Path", "REG_EXPAND_SZ", "%TEMP%")
        for name, data, expected in (("Number", "0x10", ("REG_DWORD", "0x10")), ("Text", "42", ("REG_SZ", "42")),
                                     ("Path", "%SystemRoot%", ("REG_EXPAND_SZ", "%SystemRoot%"))):
            with self.subTest(value=name):
                self.machine.checked("reg", "set", SCRATCH_KEY, name, "--data", data)
                self.assertEqual(self.machine.reg_get(SCRATCH_KEY, name), expected)
        # A value that does not exist has no type to keep: refused, nothing written.
        run = self.machine.nvxsim("reg", "set", SCRATCH_KEY, "Missing", "--data", "1")
        self.assertEqual(run.rc, 2, run.out + run.err)
        self.assertIn("--type", run.err)
        self.assertIsNone(self.machine.reg_get(SCRATCH_KEY, "Missing"))

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
        # Filters: facilities in any case, a level and every level above it.
        mixed = ["2026-01-02T03:04:05.000Z NVXS Sys Debug sys debug", "2026-01-02T03:04:05.001Z NVXS Comms Notice c",
                 "2026-01-02T03:04:05.002Z NVXS Sys Error sys error", "2026-01-02T03:04:05.003Z NVXS Init Crit i"]
        (logs / "nvxs.log").write_bytes("".join(line + "\r\n" for line in mixed).encode())
        for args, shown in ((["--facility", "sys"], [0, 2]), (["--level", "notice"], [1, 2, 3]),
                            (["--level", "5", "--facility", "Sys,init"], [2, 3]), (["--facility", "Policy"], [])):
            with self.subTest(args=args):
                self.assertEqual(self.machine.checked("log", *args).out.splitlines(), [mixed[i] for i in shown])
        records = [json.loads(line) for line in self.machine.checked("log", "--json", "--tail", "1").out.splitlines()]
        self.assertEqual(records, [{"time": "2026-01-02T03:04:05.003Z", "facility": "Init", "level": "Crit",
                                    "text": "i"}])
        for args in (["--level", "9"], ["--facility", "Nope"]):
            self.assertEqual(self.machine.nvxsim("log", *args).rc, 2)
        (logs / "nvxs.log").unlink()
        run = self.machine.nvxsim("log")
        self.assertEqual(run.rc, 1)
        self.assertIn("no debug log yet", run.err)

    def test_usage_errors_exit_with_2_and_every_command_has_help(self):
        for args in (["frobnicate"], ["reg", "get", "service"], ["reg", "set", "service", "X", "--type", "REG_FOO"],
                     ["control", "abc"], ["start", "Other Service"], ["log", "--tail", "x"], ["driver"],
                     ["help", "nosuch"]):
            with self.subTest(args=args):
                run = self.machine.nvxsim(*args)
                self.assertEqual(run.rc, 2, run.out + run.err)
                self.assertIn("nvxsim:", run.err)
        overview = self.machine.checked("help").out
        commands = re.findall(r"^  ([a-z][a-z-]+) ", overview, re.M)
        self.assertIn("send-command", commands)
        for command in commands:
            with self.subTest(help=command):
                self.assertIn("usage: nvxsim " + command, self.machine.checked("help", command).out)
        self.assertEqual(self.machine.checked("driver", "send", "--help").out,
                         self.machine.checked("help", "driver", "send").out)

    def test_driver_counters_change_the_published_sets_and_pdh_quirks_are_kept_beside_them(self):
        self.machine.checked("driver", "start")
        self.addCleanup(self.machine.nvxsim, "driver", "stop")

        def listing():
            return json.loads(self.machine.checked("driver", "counters", "--json").out)

        def counter(listed, set_name, instance, name):
            return next((c for c in listed["counters"] if (c["set"], c["instance"], c["counter"]) ==
                         (set_name, instance, name)), None)

        start = listing()
        names = [s["set"] for s in start["sets"]]
        self.assertEqual((len(names), start["unregistered"]), (11, []))
        scans, caching, odd = "Kestro.NVX scan types stats", "Kestro.NVX caching", 'Odd, "quoted" (name)'
        self.machine.checked("driver", "counters", "add-instance", scans, "On boot")
        self.machine.checked("driver", "counters", "add-counter", scans, odd, "-4")
        self.machine.checked("driver", "counters", "status", caching, "", "Cache hits", "invalid-data")
        self.machine.checked("driver", "counters", "unregister", caching)
        listed = listing()
        self.assertEqual(listed["unregistered"], [caching])
        self.assertEqual(counter(listed, scans, "On boot", odd)["value"], -4)
        self.assertEqual(counter(listed, scans, "On access", odd)["value"], -4, "in every instance")
        self.assertEqual(counter(listed, scans, "On boot", "Scans")["value"], 0)
        self.assertIn("\\Kestro.NVX caching: not registered", self.machine.checked("driver", "counters").out)

        # Registered again, a set has the driver's own counters and values, in the driver's place.
        self.machine.checked("driver", "counters", "register", caching)
        listed = listing()
        self.assertEqual([s["set"] for s in listed["sets"]], names)
        self.assertEqual(counter(listed, caching, "", "Cache hits"), counter(start, caching, "", "Cache hits"))
        self.machine.checked("driver", "counters", "status", caching, "", "Cache hits", "0xC0000BB9")
        self.assertEqual(counter(listing(), caching, "", "Cache hits")["status"], 0xC0000BB9)
        self.assertIn("Cache hits = ", self.machine.checked("driver", "counters").out)
        self.assertIn("status no-counter", self.machine.checked("driver", "counters").out)

        # Instances go, down to none: the set stays, with its counters and no instance.
        for instance in ("On access", "On demand", "On execute", "On boot"):
            self.machine.checked("driver", "counters", "remove-instance", scans, instance)
        emptied = next(s for s in listing()["sets"] if s["set"] == scans)
        self.assertEqual((emptied["instances"], emptied["counters"]), ([], ["Scans", "Detections", odd]))

        refused = [(["add-instance", caching, "x"], 1, "without instances"),
                   (["add-counter", scans, "Scans"], 1, "already"), (["unregister", "Nope"], 1, "no counter set"),
                   (["register", "Nope"], 1, "not one of the driver's"), (["register", scans], 1, "already"),
                   (["status", caching, "", "Cache hits", "sometimes"], 2, "STATUS"),
                   (["set", caching, "", "Cache hits"], 2, "driver counters set SET INSTANCE COUNTER VALUE")]
        for args, rc, said in refused:
            with self.subTest(args=args):
                run = self.machine.nvxsim("driver", "counters", *args)
                self.assertEqual(run.rc, rc, run.out + run.err)
                self.assertIn(said, run.err)
        self.machine.checked("driver", "counters", "reset")
        self.assertEqual(listing(), start)

        # The stand-in's quirk: kept in a file beside the counter sets until cleared.
        quirk_file = self.machine.prefix / "drive_c/nvxsim/driver/pdh-quirk.txt"
        self.assertIsNone(json.loads(self.machine.checked("pdh", "--json").out)["quirk"])
        self.machine.checked("pdh", "quirk", "slow-collect", "250")
        self.assertEqual(quirk_file.read_text(), "slow-collect 250\n")
        self.assertEqual(json.loads(self.machine.checked("pdh", "--json").out)["arg"], "250")
        for args in (["quirk", "lie"], ["quirk", "slow-collect"], ["quirk", "more-data", "2"], ["quirk"]):
            with self.subTest(args=args):
                self.assertEqual(self.machine.nvxsim("pdh", *args).rc, 2)
        self.assertEqual(quirk_file.read_text(), "slow-collect 250\n", "a refused quirk changes nothing")
        self.machine.checked("pdh", "quirk", "--clear")
        self.assertFalse(quirk_file.exists())
        self.assertIn("no quirk", self.machine.checked("pdh").out)

    def test_journal_write_warns_about_files_the_service_does_not_read(self):
        self.addCleanup(self.machine.nvxsim, "journal", "remove", "Nope")
        cases = [("ProcessProperties", "ProcessProperties-1A-+2.bin", None), ("Dns", "Dns-1-2-3-4.bin", None),
                 ("Dns", "Dns-1-2-3.bin", "not a journal name"), ("Dns", "Other-1-2.bin", "not a journal name"),
                 ("Nope", "Dns-1-2.bin", "not a directory of the store")]
        for directory, name, warning in cases:
            with self.subTest(name=name):
                run = self.machine.checked("journal", "write", directory, name, "--size", "10")
                self.machine.nvxsim("journal", "remove", directory, name)
                if warning is None:
                    self.assertNotIn("warning", run.err)
                else:
                    self.assertIn(warning, run.err)

    def status(self):
        return json.loads(self.machine.checked("status", "--json").out)

    def test_status_shows_the_running_service_and_its_debug_settings(self):
        self.machine.reg_set(SERVICE_KEY, "DebugLevel", "REG_DWORD", 1)
        self.machine.reg_set(SERVICE_KEY, "DebugFacilities", "REG_DWORD", 0x10004)
        self.addCleanup(self.machine.reg_set, SERVICE_KEY, "DebugFacilities", "REG_DWORD", 0xFFFFFFFF)
        self.addCleanup(self.machine.ensure_stopped)
        self.assertEqual(self.machine.service("start").statuses[-1].state, RUNNING)
        status = self.status()
        self.assertEqual((status["state"], status["build"]["name"]), ("up", "shipped"))
        self.assertEqual({k: status["service"][k] for k in ("installed", "state_name", "exit_code")},
                         {"installed": True, "state_name": "RUNNING", "exit_code": 0})
        self.assertEqual(status["debug"]["DebugLevel"], {"value": 1, "set": True,
                                                         "text": "Debug and above: the most detail"})
        self.assertEqual(status["debug"]["DebugFacilities"]["text"], "Sys|Comms")
        self.assertEqual(status["driver"], {"loaded": False})
        self.assertEqual(Path(status["log"]["path"]), self.machine.log_path())
        self.assertTrue(status["log"]["exists"])

    @unittest.skipUnless(os.environ.get("NVXSIM_PREFIX_TEMPLATE"), "machines are booted, not copied")
    def test_a_machine_copied_from_the_template_shares_only_wines_own_program_files(self):
        template = Path(os.environ["NVXSIM_PREFIX_TEMPLATE"]) / "prefix"
        system32 = Path("drive_c/windows/system32")
        mine, theirs = self.machine.prefix, template
        self.assertTrue((mine / system32 / "kernel32.dll").samefile(theirs / system32 / "kernel32.dll"))
        for name in ("system.reg", "user.reg"):
            self.assertFalse((mine / name).samefile(theirs / name), name)
        # The stand-ins replaced Wine's files in the machine only: the template still has Wine's.
        for name, marker in (("fltlib.dll", b"NvxSimFltlibStandIn"), ("pdh.dll", b"NvxSimPdhStandIn")):
            self.assertIn(marker, (mine / system32 / name).read_bytes())
            self.assertNotIn(marker, (theirs / system32 / name).read_bytes())
        # Each prefix's wineserver names its own tag.
        if (theirs / "wineserver").exists():
            self.assertNotEqual((mine / "wineserver").read_bytes(), (theirs / "wineserver").read_bytes())

    def test_z_create_resets_the_machine_and_says_what_it_stops(self):
        # Runs last (by name): it replaces the prefix the other tests use.
        self.machine.reg_set(SCRATCH_KEY, "Old", "REG_SZ", "before create")
        self.assertEqual(self.machine.service("start").statuses[-1].state, RUNNING)
        run = self.machine.checked("create")
        self.assertIn("the service is RUNNING: it is stopped first", run.out)
        self.assertFalse(self.key_exists(SCRATCH_KEY))
        self.assertEqual(self.machine.query().state, STOPPED)
        # A new machine has the simulated machine's build unless told otherwise, and a service that
        # never ran.
        status = self.status()
        self.assertEqual(status["build"]["name"], "sim")
        self.assertEqual((status["service"]["state_name"], status["service"]["exit_code"]), ("STOPPED", 1077))
        self.assertIn("never been started", status["service"]["exit_code_text"])


if __name__ == "__main__":
    unittest.main()
