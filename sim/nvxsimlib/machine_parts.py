"""The machine's parts beside the service: the driver simulator (nvxdriver.exe), the WSC client
the service starts, the driver file the service checks, the early-launch driver's service key and
the driver's event-journal store.

MachineParts is a part of Machine (its base class) kept apart by purpose: it relies on the
machine's prefix, logs, tools, Wine calls, lock and life cycle (require, ensure_up)."""

import contextlib
import json
import shutil

from . import driver as drv
from .journals import JOURNAL_ROOT_IN_PREFIX
from .layout import (COUNTERS_IN_PREFIX, DRIVER_FILE_IN_PREFIX, DRIVER_SERVICE_KEY, DRIVER_WIN, FILTER_STACK_IN_PREFIX,
                     INSTALL_KEYS, KEY_ALIASES, WSC_BEHAVIOUR, WSC_CALLS, WSC_CLIENT_IN_PREFIX, WSC_CLIENT_NAME, WSC_DIR_IN_PREFIX)
from .prefix_template import install_file
from .texts import SimError, clean, say
from .wine import note


def is_driver_simulator(process):
    return "nvxdriver.exe serve" in process.cmdline


class MachineParts:
    # ---- the driver simulator (nvxdriver.exe inside the machine)

    def driver_pid(self):
        return next((p.pid for p in self.processes() if is_driver_simulator(p)), None)

    def _nvxdriver(self, mode, *args, timeout=None):
        """`nvxdriver MODE ARGS` in the machine: (exit code, [its JSON answer records])."""
        rc, out, err = self.wine(DRIVER_WIN, mode, *args, timeout=timeout)
        records = []
        for line in out.decode("utf-8", errors="replace").splitlines():
            line = line.strip()
            if line.startswith("{"):
                with contextlib.suppress(ValueError):
                    records.append(json.loads(line))
        if not records:
            raise SimError(f"nvxdriver {mode} {args[0]} gave no answer (exit {rc}): {clean(out + err)}")
        return rc, records

    def driver_ctl(self, *args, timeout=None):
        """`nvxdriver ctl ARGS` in the machine: (exit code, [answer records])."""
        return self._nvxdriver("ctl", *args, timeout=timeout)

    def driver_start(self, ports_closed=False):
        self.ensure_up()
        with self.lock():
            pid = self.driver_pid()
            if pid is not None:
                say(f"The driver simulator is already running (process {pid}).")
                return
            log_path = self.logs / "driver.log"
            args = [DRIVER_WIN, "serve"] + (["--ports-closed"] if ports_closed else [])
            started = self.winepfx.background(*args, log_path=log_path, what="driver simulator")
            ready, text = started.wait(b'"event":"ready"', failed=b'"event":"error"')
            if not ready:
                with contextlib.suppress(SimError):
                    self._driver_stop(quiet=True)
                raise SimError(f"the driver simulator did not start: {clean(text)} (see {log_path})")
        ports = "closed until `nvxsim driver open-ports`" if ports_closed else "open"
        say(f"Driver simulator running (host process {self.driver_pid()}), ports {ports};"
            f" journal {drv.DRIVER_JOURNAL_WIN} (`nvxsim driver received`)")

    def driver_stop(self):
        self.require()
        with self.lock():
            self._driver_stop()

    def _driver_stop(self, quiet=False):
        pid = self.driver_pid()
        if pid is None:
            if not quiet:
                say("The driver simulator is not running.")
            return
        if not quiet:
            say(f"Unloading the driver simulator (host process {pid})")
        with contextlib.suppress(SimError):
            self.driver_ctl("unload", timeout=15)
        for left in self.winepfx.kill_left(10, is_driver_simulator):
            note(f"killed the driver simulator {left.pid}: it did not end on unload")
            # What its unload would have done: its counter sets and filter stack vanish with it.
            for published in (self.counters_path(), self.prefix / FILTER_STACK_IN_PREFIX):
                with contextlib.suppress(FileNotFoundError):
                    published.unlink()
        if not quiet:
            say("Driver simulator stopped: its ports and every connection to them are gone.")

    def driver_journal(self):
        return self.prefix / drv.DRIVER_JOURNAL_IN_PREFIX

    def counters_path(self):
        """The counter sets the running driver simulator publishes (absent while it is not loaded)."""
        return self.prefix / COUNTERS_IN_PREFIX

    # ---- the driver's Version in its service key (the service's perf logger runs from major 2 on)

    def driver_version(self):
        """(type, data) of the Version value, or None when there is none."""
        value, _ = self.reg_get(DRIVER_SERVICE_KEY, "Version")
        return value

    def set_driver_version(self, version):
        """Writes Version as REG_SZ; None deletes it."""
        if version is None:
            if self.driver_version() is not None:
                ok, text = self.reg_delete(DRIVER_SERVICE_KEY, "Version")
                if not ok:
                    raise SimError(f"reg delete failed: {text}")
            return
        ok, text = self.reg_set(DRIVER_SERVICE_KEY, "Version", "REG_SZ", version)
        if not ok:
            raise SimError(f"reg add failed: {text}")

    # ---- the WSC client (WSCClient.exe, started by the service)

    def wsc_dir(self):
        return self.prefix / WSC_DIR_IN_PREFIX

    def wsc_install(self):
        target = self.prefix / WSC_CLIENT_IN_PREFIX
        target.parent.mkdir(parents=True, exist_ok=True)
        install_file(self.ctl.parent / WSC_CLIENT_NAME, target)
        self.wsc_dir().mkdir(parents=True, exist_ok=True)

    def wsc_installed(self):
        return (self.prefix / WSC_CLIENT_IN_PREFIX).is_file()

    def wsc_behaviour(self):
        path = self.wsc_dir() / WSC_BEHAVIOUR
        return path.read_text().strip() if path.is_file() else "exit 0"

    def wsc_set_behaviour(self, text):
        self.wsc_dir().mkdir(parents=True, exist_ok=True)
        (self.wsc_dir() / WSC_BEHAVIOUR).write_text(text + "\n")

    def wsc_calls(self):
        """Every recorded start of the client, oldest first (only whole lines)."""
        path = self.wsc_dir() / WSC_CALLS
        return [json.loads(line) for line in drv.journal_lines(path)] if path.is_file() else []

    def wsc_pids(self):
        """Host processes of WSC clients that are still running."""
        return [p.pid for p in self.processes() if WSC_CLIENT_NAME.lower() in p.cmdline.lower()]

    def wsc_state(self):
        """The client at a glance: installed, its behaviour, starts recorded, clients running."""
        return {"installed": self.wsc_installed(), "behaviour": self.wsc_behaviour(), "starts": len(self.wsc_calls()),
                "running": self.wsc_pids()}

    # ---- the driver file and the early-launch driver's service key

    def driver_file_build(self, version):
        return self.ctl.parent / f"KestroNVX-{version}.sys"

    def driver_file_path(self):
        return self.prefix / DRIVER_FILE_IN_PREFIX

    def driver_file_install(self, version):
        source = self.driver_file_build(version)
        if not source.is_file():
            raise SimError(f"the driver file {version} is not built: {source} (cmake --build --preset mingw)")
        target = self.driver_file_path()
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(source, target)

    def driver_file_version(self):
        """The installed file's version (its VS_FIXEDFILEINFO) as "a.b.c.d"; None without a file,
        "" for a file without a version resource."""
        try:
            data = self.driver_file_path().read_bytes()
        except FileNotFoundError:
            return None
        at = data.find((0xFEEF04BD).to_bytes(4, "little"))
        if at < 0 or at + 16 > len(data):
            return ""
        ms, ls = (int.from_bytes(data[at + n:at + n + 4], "little") for n in (8, 12))
        return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"

    def elam_present(self, present):
        if present:
            self._import_registry([entry for entry in INSTALL_KEYS if entry[0] == KEY_ALIASES["elam"]])
        else:
            rc, out, err = self.wine("reg", "delete", KEY_ALIASES["elam"], "/f")
            if rc != 0 and self.elam_start() is not False:
                raise SimError(f"reg delete failed (exit {rc}): {clean(out + err)}")

    def elam_start(self):
        """The ELAM key's Start value (None when it has none), or False when the key is absent."""
        values = self.reg_values(KEY_ALIASES["elam"])
        if values is None:
            return False
        kind, data = values.get("Start", (None, None))
        return int(data, 16) if kind == "REG_DWORD" else None

    # ---- the driver's event-journal store

    def journal_root(self):
        return self.prefix / JOURNAL_ROOT_IN_PREFIX

    def journal_writer(self, *args, timeout=None):
        """`nvxdriver journal ARGS` in the machine: (exit code, [answer records])."""
        return self._nvxdriver("journal", *args, timeout=timeout)

    def journal_writer_background(self, *args):
        """`nvxdriver journal ARGS` left running in the machine; its answers go to logs/journal-writer.log."""
        log_path = self.logs / "journal-writer.log"
        writer = self.winepfx.background(DRIVER_WIN, "journal", *args, log_path=log_path, what="journal writer",
                                         append=True)
        return writer.proc.pid, log_path
