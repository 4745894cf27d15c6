"""The simulated machine: a directory holding a Wine prefix with NVXService.exe installed as an
own-process, demand-start service, the keys a real installation has and the machine's tools; its
life cycle (create, up, down, destroy), installation, service control, registry and console. The
parts beside the service (driver simulator, WSC client, driver file, ELAM key, event journals) are
in machine_parts."""

import contextlib
import fcntl
import json
import os
import re
import shutil
import time
from pathlib import Path

from .layout import (BUILD_SHIPPED, BUILD_SIM, BUILD_TEXT, CONSOLE_CMD_WIN, CTL_WIN, DEFAULT_BUILD, DLL_OVERRIDES,
                     DRIVER_FILE_DEFAULT, DRIVER_FILE_WIN, DRIVER_WIN, EXE_NAME, FLTLIB_NAME, INSTALL_DIR_WIN,
                     INSTALL_KEYS, KEEPALIVE_EVENT, MACHINE_VALUES, PDH_NAME, REGDEL_WIN, SERVICE_KEY, SERVICE_NAME,
                     SYSTEM32_IN_PREFIX, SYSTEM32_WIN, TOOLS_DIR_WIN, VOLUME_WIN, WSC_CLIENT_DIR_WIN, WSC_CLIENT_NAME, build_of, build_paths)
from .logs import LOGS_DIR_IN_PREFIX
from .machine_parts import MachineParts
from .prefix_template import PrefixTemplate, install_file
from .texts import STATE_NAMES, SimError, clean, format_data, parse_record, reg_file_data, reg_query_values, say
from .wine import WineError, WinePrefix, note


@contextlib.contextmanager
def sim_errors():
    """A Wine call that did not finish (WineError) becomes the machine's one-line SimError."""
    try:
        yield
    except WineError as e:
        raise SimError(str(e)) from None


REG_ROOTS = {"HKLM": "HKEY_LOCAL_MACHINE", "HKCU": "HKEY_CURRENT_USER"}


class Machine(MachineParts):
    def __init__(self, root, ctl, timeout, raw=False, exe=None):
        self.root = Path(root).resolve()
        self.prefix = self.root / "prefix"
        self.logs = self.root / "logs"
        self.exe = Path(exe) if exe else None  # an executable given with --exe, installed as it is
        self.ctl = Path(ctl)
        self.timeout = timeout
        self.raw = raw
        self.winepfx = WinePrefix(self.prefix, timeout)
        self.wine_bin = self.winepfx.wine_bin
        self._locked = False

    # ---- helpers

    def drive_c(self, *parts):
        return self.prefix.joinpath("drive_c", *parts)

    def env(self, **extra):
        return self.winepfx.env(**extra)

    @contextlib.contextmanager
    def lock(self):
        """Serialises machine-wide changes (create, up, down, install) between nvxsim runs."""
        if self._locked:
            yield
            return
        self.root.parent.mkdir(parents=True, exist_ok=True)
        with open(str(self.root) + ".lock", "w") as handle:
            fcntl.flock(handle, fcntl.LOCK_EX)
            self._locked = True
            try:
                yield
            finally:
                self._locked = False

    def run(self, argv, timeout=None, stdout=None, env=None, what=None, stderr=None):
        with sim_errors():
            return self.winepfx.run(argv, timeout=timeout, stdout=stdout, stderr=stderr, env=env, what=what)

    def _run_logged(self, argv, what):
        """Runs a Wine program whose output belongs in logs/session.log; returns its exit status."""
        rc, out, err = self.run(argv, what=what)
        with open(self.logs / "session.log", "ab") as log:
            log.write(out + err)
        return rc

    def wine(self, *args, timeout=None, env=None):
        with sim_errors():
            return self.winepfx.wine(*args, timeout=timeout, env=env)

    def wineserver(self, *args, timeout=30):
        with sim_errors():
            return self.winepfx.wineserver(*args, timeout=timeout)

    def processes(self):
        return self.winepfx.processes()

    def server_pid(self):
        return self.winepfx.server_pid()

    def holder_pid(self):
        return next((p.pid for p in self.processes() if "nvxsimctl.exe hold " + KEEPALIVE_EVENT in p.cmdline), None)

    def exists(self):
        return (self.prefix / "system.reg").is_file()

    def require(self):
        if not self.exists():
            raise SimError(f"no machine at {self.root}: run `nvxsim create` first")

    def is_up(self):
        return self.server_pid() is not None and self.holder_pid() is not None

    def ensure_up(self):
        self.require()
        if not self.is_up():
            note("(the machine was down: bringing it up)")
            self.up(quiet=True)

    # ---- builds

    def info(self):
        path = self.root / "machine.json"
        with contextlib.suppress(OSError, ValueError):
            return json.loads(path.read_text())
        return {}

    def installed_exe(self):
        return self.drive_c("Program Files", "Kestro", "Vantor", EXE_NAME)

    def installed_build(self):
        """(build, source path) of the installed service; (None, None) without one."""
        try:
            data = self.installed_exe().read_bytes()
        except OSError:
            return None, None
        return build_of(data), self.info().get("exe")

    def choose_exe(self, build):
        """The executable to install: --exe as given, else the named build, else the machine's
        own build (a new machine: the default build). Returns (path, build name)."""
        if self.exe is not None:
            return self.exe, "other"
        if build is None:
            info = self.info() if self.exists() else {}
            build = info.get("build")
            if build == "other" and info.get("exe"):
                return Path(info["exe"]), build
            if build not in (BUILD_SIM, BUILD_SHIPPED):
                build = DEFAULT_BUILD
        return build_paths()[build], build

    # ---- life cycle

    def create(self, build=None):
        # A reset machine is a new one: the default build unless told otherwise.
        exe, build = self.choose_exe(build or DEFAULT_BUILD)
        for path, what in ((exe, f"the service ({build} build)"), (self.ctl, "nvxsimctl.exe"),
                           (self.ctl.parent / FLTLIB_NAME, "the fltlib.dll stand-in"),
                           (self.ctl.parent / PDH_NAME, "the pdh.dll stand-in"),
                           (self.ctl.parent / "nvxdriver.exe", "nvxdriver.exe"),
                           (self.ctl.parent / "nvxregdel.exe", "nvxregdel.exe"),
                           (self.ctl.parent / WSC_CLIENT_NAME, "the WSC client stand-in"),
                           (self.driver_file_build(DRIVER_FILE_DEFAULT), "the driver file")):
            if not path.is_file():
                raise SimError(f"{what} not found at {path} (build first: cmake --build --preset mingw)")
        with self.lock():
            if self.root.exists():
                say(f"Resetting machine {self.root}")
                self._say_reset()
                self._down(quiet=True)
                shutil.rmtree(self.prefix, ignore_errors=True)
            else:
                say(f"Creating machine {self.root}")
            self.logs.mkdir(parents=True, exist_ok=True)
            self.prefix.mkdir(parents=True)
            try:
                self._create_prefix(exe, build)
            except BaseException:
                # Nothing of a half-made machine keeps running.
                with contextlib.suppress(Exception):
                    self._down(quiet=True)
                raise
        say("Machine ready: `nvxsim start` starts the service, `nvxsim status` shows everything,"
            " `nvxsim down` ends the machine.")

    def _say_reset(self):
        """What a reset of this machine throws away, said before it happens."""
        if not self.exists():
            return
        lost = ["its registry, the service's logs, the driver's journal and the event journals are discarded"]
        if self.is_up():
            with contextlib.suppress(SimError):
                state = self.service_state()
                if state not in (None, 1):
                    lost.insert(0, f"the service is {STATE_NAMES.get(state, state)}: it is stopped first")
            if self.driver_pid() is not None:
                lost.insert(-1, "the driver simulator is unloaded")
            lost.insert(-1, f"{len(self.processes())} processes of the machine end")
        for line in lost:
            say(f"  reset       {line}")

    def _create_prefix(self, exe, build):
        started = time.monotonic()
        template = PrefixTemplate.from_environment()
        if template is not None and template.copy_to(self.prefix, self.wine_bin, self._boot_template):
            say(f"  prefix      {self.prefix}  (copied from {template.prefix}, {time.monotonic() - started:.1f} s)")
        else:
            self._boot(self.winepfx, self.logs / "wineboot.log")
            say(f"  prefix      {self.prefix}  (wineboot {time.monotonic() - started:.1f} s)")
        self._copy_files(exe, build)
        self._up()
        self._install()

    def _boot_template(self, prefix):
        say(f"  template    booting {prefix}")
        self._boot(WinePrefix(prefix, self.timeout), prefix.parent / "wineboot.log")

    def _boot(self, winepfx, log_path):
        """A first boot of `winepfx`'s empty prefix, its session ended afterwards."""
        # A first boot of a new prefix now and then fails on a busy host and works when run again
        # on an empty prefix; a second failure is reported with the end of both boots' output.
        for attempt in (1, 2):
            with open(log_path, "wb" if attempt == 1 else "ab") as log:
                log.write(f"--- wineboot --init, attempt {attempt}\n".encode())
                log.flush()
                # No prompts for runtimes that cannot be installed here.
                with sim_errors():
                    rc, _, _ = winepfx.run([self.wine_bin, "wineboot", "--init"], stdout=log, stderr=log,
                                           env=winepfx.env(WINEDLLOVERRIDES="mscoree,mshtml="),
                                           timeout=float(os.environ.get("NVXSIM_BOOT_TIMEOUT", "300")),
                                           what="wineboot --init")
                    # The boot session ends, a program of it that brought a server up again
                    # included, before the persistent one starts: otherwise two services.exe can
                    # serve one prefix, each with its own view of the installed services.
                    for process in winepfx.end():
                        note(f"killed {process.pid} {process.name} ({process.cmdline}), left by the boot")
            if rc == 0 and (winepfx.prefix / "system.reg").is_file():
                return
            note(f"wineboot --init failed (exit {rc}) at attempt {attempt}")
            if attempt == 2:
                tail = Path(log_path).read_text(errors="replace").splitlines()[-20:]
                raise SimError(f"wineboot --init failed (exit {rc}); see {log_path}:\n" + "\n".join(tail))
            shutil.rmtree(winepfx.prefix, ignore_errors=True)
            winepfx.prefix.mkdir(parents=True)

    def _record(self, exe, build):
        info = self.info()
        info.setdefault("created", time.strftime("%Y-%m-%dT%H:%M:%S"))
        info.update({"exe": str(exe.resolve()), "build": build, "nvxsimctl": str(self.ctl.resolve())})
        (self.root / "machine.json").write_text(json.dumps(info, indent=2) + "\n")

    def _copy_files(self, exe, build):
        target = self.drive_c("Program Files", "Kestro", "Vantor")
        target.mkdir(parents=True, exist_ok=True)
        install_file(exe, target / EXE_NAME)
        # Built beside nvxsimctl, installed over Wine's placeholders in System32 (the only place the
        # service loads them from) and preferred to Wine's built-ins (DLL_OVERRIDES): the Filter
        # Manager library, connecting the port calls to the driver simulator in place of Wine's
        # stub, and the Performance Data Helper library, answering from the counter sets the driver
        # simulator publishes: Wine's own enumerates no sets, and its PdhEnumObjectItemsA is a stub
        # that raises an exception, which would end the service at its perf logger's first sample.
        system32 = self.prefix / SYSTEM32_IN_PREFIX
        for name in (FLTLIB_NAME, PDH_NAME):
            install_file(self.ctl.parent / name, system32 / name)
        tools = self.drive_c("nvxsim")
        tools.mkdir(parents=True, exist_ok=True)
        install_file(self.ctl, tools / "nvxsimctl.exe")
        # Also built beside nvxsimctl: the system volume's object-manager shape, and the driver.
        install_file(self.ctl.parent / "nvxvolume.exe", tools / "nvxvolume.exe")
        install_file(self.ctl.parent / "nvxdriver.exe", tools / "nvxdriver.exe")
        # Key deletion that the service's change notifications see, as on Windows.
        install_file(self.ctl.parent / "nvxregdel.exe", tools / "nvxregdel.exe")
        self.wsc_install()
        self.driver_file_install(DRIVER_FILE_DEFAULT)
        # The volume device's name on disk, as Wine's file calls look it up.
        volume = self.prefix / "dosdevices" / "harddiskvolume1"
        if not volume.is_symlink():
            volume.symlink_to("../drive_c")
        # What the installer creates: the product's data and logs directories.
        self.drive_c("ProgramData", "Kestro", "Vantor", "Logs").mkdir(parents=True, exist_ok=True)
        # A console session: the program's own output, then its full 32-bit exit code (from the
        # host only its low 8 bits are visible).
        (tools / "console.cmd").write_bytes(
            b"@echo off\r\n"
            + f'"{INSTALL_DIR_WIN}\\{EXE_NAME}" %*\r\n'.encode()
            + b"echo NVXSIM_EXIT %ERRORLEVEL%\r\n")
        self._record(exe, build)
        installed = build_of((target / EXE_NAME).read_bytes())
        say(f"  files       {INSTALL_DIR_WIN}\\{EXE_NAME}  (from {exe})")
        say(f"              build: {installed}, {BUILD_TEXT[installed]}"
            + (" (the default; `--build shipped` installs the other)" if build == DEFAULT_BUILD else ""))
        say(f"              {SYSTEM32_WIN}\\{FLTLIB_NAME}  (Filter Manager stand-in)")
        say(f"              {SYSTEM32_WIN}\\{PDH_NAME}  (Performance Data Helper stand-in)")
        say(f"              {CTL_WIN}  (from {self.ctl})")
        say(f"              {DRIVER_WIN}  (driver simulator)")
        say(f"              {WSC_CLIENT_DIR_WIN}\\{WSC_CLIENT_NAME}  (WSC client stand-in)")
        say(f"              {DRIVER_FILE_WIN}  (driver file, version {DRIVER_FILE_DEFAULT})")

    def up(self, quiet=False):
        self.require()
        with self.lock():
            if self.is_up():
                if not quiet:
                    say(f"Machine {self.root} is already up (wineserver {self.server_pid()}).")
                return
            self._up(quiet)

    def _up(self, quiet=False):
        if self.processes():
            self._down(quiet=True)
        try:
            self._start_session(quiet)
        except BaseException:
            with contextlib.suppress(Exception):
                self._down(quiet=True)
            raise

    def _start_session(self, quiet):
        self.logs.mkdir(parents=True, exist_ok=True)
        with sim_errors():
            rc, out, err = self.winepfx.start_server(self.logs / "wineserver.log")
        with open(self.logs / "session.log", "ab") as log:
            log.write(out + err)
        if rc != 0:
            raise SimError(f"the first Wine process failed (exit {rc}); see {self.logs / 'session.log'}")
        # The object-manager links live in the wineserver: made anew at every machine start.
        rc = self._run_logged([self.wine_bin, VOLUME_WIN, "setup"], "system volume set-up")
        if rc != 0:
            raise SimError(f"the system volume set-up failed (exit {rc}); see {self.logs / 'session.log'}")
        holder_log = self.logs / "holder.log"
        holder = self.winepfx.background(CTL_WIN, "hold", KEEPALIVE_EVENT, log_path=holder_log,
                                         what="keep-alive holder")
        ready, _ = holder.wait(b"HOLD event=")
        if not ready:
            raise SimError(f"the keep-alive holder did not start; see {holder_log}")
        if not quiet:
            say(f"  up          wineserver {self.server_pid()}, keep-alive holder {self.holder_pid()}")

    def down(self):
        with self.lock():
            self._down()

    def _down(self, quiet=False):
        before = self.processes()
        if not before:
            if not quiet:
                say(f"Machine {self.root} is down (no process).")
            return
        if self.holder_pid() is not None and self.server_pid() is not None:
            # A running service is stopped through the SCM, as at a shutdown, so it ends its own
            # way (and flushes its log) before the server takes everything down.
            with contextlib.suppress(SimError):
                if self.service_state() not in (None, 1):
                    if not quiet:
                        say(f"Stopping {SERVICE_NAME}")
                    self.ctl_run("control", SERVICE_NAME, "stop", "15000", timeout=30)
            # Then the driver unloads, as at a shutdown.
            with contextlib.suppress(SimError):
                self._driver_stop(quiet=quiet)
            with contextlib.suppress(SimError):
                self.run([self.wine_bin, CTL_WIN, "release", KEEPALIVE_EVENT], timeout=15, what="release holder")
        with sim_errors():
            killed = self.winepfx.end()
        for process in killed:
            note(f"killed {process.pid} {process.name} ({process.cmdline}), still alive after wineserver -k")
        if not quiet:
            say(f"Machine {self.root} is down ({len(before)} processes ended).")

    def destroy(self):
        with self.lock():
            if self.root.exists():
                self._down(quiet=True)
                shutil.rmtree(self.root)
                say(f"Machine {self.root} removed.")
            else:
                say(f"No machine at {self.root}.")
        with contextlib.suppress(FileNotFoundError):
            os.unlink(str(self.root) + ".lock")

    # ---- installation

    def install(self, build=None):
        self.ensure_up()
        exe, build = self.choose_exe(build)
        if not exe.is_file():
            raise SimError(f"the service ({build} build) not found at {exe}"
                           " (build first: cmake --build --preset mingw)")
        with self.lock():
            state = self.service_state()
            if state not in (None, 1):
                raise SimError(f"the service is {STATE_NAMES.get(state, state)}: stop it before installing")
            self._copy_files(exe, build)
            self._install()

    def _install(self):
        if self.service_state() is None:
            rc, out, err = self.wine("sc", "create", SERVICE_NAME, "binPath=", f'"{INSTALL_DIR_WIN}\\{EXE_NAME}"',
                                     "type=", "own", "start=", "demand", "DisplayName=", SERVICE_NAME)
            if rc != 0:
                raise SimError(f"sc create failed (exit {rc}): {clean(out + err)}")
        self._import_registry(INSTALL_KEYS + MACHINE_VALUES + DLL_OVERRIDES)
        state = self.service_state()
        if state is None:
            raise SimError("the SCM does not know the service after sc create")
        say(f'  service     "{SERVICE_NAME}": own process, demand start, {STATE_NAMES.get(state, state)}')
        for key, values in INSTALL_KEYS + MACHINE_VALUES + DLL_OVERRIDES:
            shown = "  ".join(f"{n}={format_data(t, d)}" for n, t, d in values)
            say(f"  registry    {key}" + (f"  {shown}" if shown else ""))

    def uninstall(self):
        self.ensure_up()
        with self.lock():
            state = self.service_state()
            if state not in (None, 1):
                self.ctl_run("control", SERVICE_NAME, "stop")
            if self.service_state() is not None:
                rc, out, err = self.wine("sc", "delete", SERVICE_NAME)
                if rc != 0:
                    raise SimError(f"sc delete failed (exit {rc}): {clean(out + err)}")
            for key, _ in [(SERVICE_KEY, None)] + INSTALL_KEYS:
                self.wine("reg", "delete", key, "/f")
            say(f'Service "{SERVICE_NAME}" and its registry keys removed (the files stay).')

    def _import_registry(self, entries):
        lines = ["Windows Registry Editor Version 5.00", ""]
        for key, values in entries:
            root, rest = key.split("\\", 1)
            lines.append(f"[{REG_ROOTS[root]}\\{rest}]")
            for name, kind, data in values:
                lines.append(f'"{name}"={reg_file_data(kind, data)}')
            lines.append("")
        path = self.drive_c("nvxsim", "install.reg")
        path.write_bytes(b"\xff\xfe" + "\r\n".join(lines + [""]).encode("utf-16-le"))
        rc, out, err = self.wine("reg", "import", TOOLS_DIR_WIN + r"\install.reg")
        if rc != 0:
            raise SimError(f"reg import failed (exit {rc}): {clean(out + err)}")

    # ---- service control (through nvxsimctl.exe inside the machine)

    def ctl_run(self, *args, timeout=None):
        rc, out, err = self.wine(CTL_WIN, *args, timeout=timeout)
        lines = out.decode(errors="replace").splitlines()
        if not any(parse_record(line) for line in lines):
            raise SimError(f"nvxsimctl gave no answer (exit {rc}): {clean(out + err)}")
        return lines

    def service_status(self):
        """The SCM's status of the service as nvxsimctl reports it ({field: text}); None when the
        service is not installed."""
        for line in self.ctl_run("query", SERVICE_NAME):
            rec = parse_record(line)
            if rec and rec[0] == "STATUS" and "state" in rec[1]:
                return rec[1]
            if rec and rec[0] == "ERROR" and rec[1].get("error") == "1060":
                return None
        raise SimError("nvxsimctl query gave no status")

    def service_state(self):
        status = self.service_status()
        return None if status is None else int(status["state"])

    # ---- registry

    def reg_values(self, key):
        """{name: (type, data)} of a key's values; None when the key does not exist."""
        rc, out, _ = self.wine("reg", "query", key)
        return reg_query_values(out) if rc == 0 else None

    def reg_get(self, key, name):
        rc, out, err = self.wine("reg", "query", key, "/v", name)
        if rc != 0:
            return None, clean(out + err)
        for found, value in reg_query_values(out).items():
            if found.lower() == name.lower():
                return value, None
        return None, "unexpected answer from reg: " + clean(out)

    def reg_set(self, key, name, kind, data):
        rc, out, err = self.wine("reg", "add", key, "/v", name, "/t", kind, "/d", data, "/f")
        return rc == 0, clean(out + err)

    def reg_delete(self, key, name):
        if name is None and key.upper().startswith("HKLM\\"):
            # Wine does not signal a deleted key's own change notifications; nvxregdel makes the
            # deletion reach a service that watches the key.
            rc, out, err = self.wine(REGDEL_WIN, SERVICE_NAME, key[5:])
            rec = next((r for r in map(parse_record, out.decode(errors="replace").splitlines()) if r), None)
            if rec and rec[0] == "DELETED":
                return True, clean(out)
            if rec and rec[0] == "ERROR" and rec[1].get("error") == "2":
                return False, "Unable to find the specified registry key"
            return False, clean(out + err)
        args = ["reg", "delete", key] + (["/v", name] if name else []) + ["/f"]
        rc, out, err = self.wine(*args)
        return rc == 0, clean(out + err)

    # ---- console and logs

    def console(self, args):
        self.ensure_up()
        rc, out, err = self.wine("cmd", "/c", CONSOLE_CMD_WIN, *args)
        at = out.rfind(b"NVXSIM_EXIT ")
        m = re.match(rb"NVXSIM_EXIT (-?\d+)\r?\n?$", out[at:]) if at >= 0 else None
        if m is None:
            raise SimError(f"the console gave no exit code (cmd exit {rc}): {clean(out + err)}")
        # %ERRORLEVEL% is signed: codes from 0x80000000 up come as negative numbers.
        return out[:at], int(m.group(1)) & 0xFFFFFFFF

    def log_dir(self):
        return self.prefix / LOGS_DIR_IN_PREFIX
