"""The simulated machine: a directory holding a Wine prefix with NVXService.exe installed as an
own-process, demand-start service, the keys a real installation has, the driver simulator, the
WSC client stand-in and the machine's tools."""

import contextlib
import fcntl
import json
import os
import re
import shutil
import signal
import time
from pathlib import Path

from . import driver as drv
from .journals import JOURNAL_ROOT_IN_PREFIX
from .logs import LOGS_DIR_IN_PREFIX
from .wine import WineError, WinePrefix, note

REPO = Path(__file__).resolve().parents[2]

SERVICE_NAME = "Kestro Vantor Service"
SERVICE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services" + "\\" + SERVICE_NAME
INSTALL_DIR_WIN = r"C:\Program Files\Kestro\Vantor"
EXE_NAME = "NVXService.exe"
TOOLS_DIR_WIN = r"C:\nvxsim"
CTL_WIN = TOOLS_DIR_WIN + r"\nvxsimctl.exe"
VOLUME_WIN = TOOLS_DIR_WIN + r"\nvxvolume.exe"
CONSOLE_CMD_WIN = TOOLS_DIR_WIN + r"\console.cmd"
DRIVER_WIN = TOOLS_DIR_WIN + r"\nvxdriver.exe"
REGDEL_WIN = TOOLS_DIR_WIN + r"\nvxregdel.exe"
FLTLIB_NAME = "fltlib.dll"  # the Filter Manager stand-in, next to the service
# The WSC client the service starts for the driver, where a real installation has it; what it
# records and how it ends live in its own directory of the tools.
WSC_CLIENT_NAME = "WSCClient.exe"
WSC_CLIENT_DIR_WIN = r"C:\Program Files (x86)\Kestro\Kestro Anti-Virus"
WSC_CLIENT_IN_PREFIX = Path("drive_c/Program Files (x86)/Kestro/Kestro Anti-Virus") / WSC_CLIENT_NAME
WSC_DIR_IN_PREFIX = Path("drive_c/nvxsim/wscclient")
WSC_CALLS = "calls.jsonl"
WSC_BEHAVIOUR = "behaviour"
WSC_RELEASE_EVENT = "nvxsim-wscclient-release"
# The NVX driver file the service checks at shutdown: a PE image with a version resource, built in
# each version below beside nvxsimctl (KestroNVX-<version>.sys).
DRIVER_FILE_WIN = r"C:\windows\system32\DRIVERS\KestroNVX.sys"
DRIVER_FILE_IN_PREFIX = Path("drive_c/windows/system32/drivers/KestroNVX.sys")
DRIVER_FILE_VERSIONS = ("1.9.0.0", "2.0.0.0", "3.1.0.0")
DRIVER_FILE_DEFAULT = "2.0.0.0"
KEEPALIVE_EVENT = "nvxsim-keepalive"
# The product's data directory as the installation records it for the driver and the service: an NT
# path, since both open what is below it with the native file calls.
PATHS_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\Kestro Vantor\Paths"
DATA_DIR_NT = r"\??\C:\ProgramData\Kestro\Vantor"

# Short names for the keys people type most.
KEY_ALIASES = {
    "service": SERVICE_KEY,
    "params": SERVICE_KEY + r"\Parameters",
    "parameters": SERVICE_KEY + r"\Parameters",
    "driver": r"HKLM\SYSTEM\CurrentControlSet\Services\KestroNVX",
    "elam": r"HKLM\SYSTEM\CurrentControlSet\Services\Kestro ELAM",
    "paths": PATHS_KEY,
}

# What an installation writes besides the SCM entry itself: (key, [(name, type, data)]).
# The service's own values (DebugFacilities, DebugLevel, Version) are not here: the service
# writes them itself, and that is tested.
INSTALL_KEYS = [
    (SERVICE_KEY + r"\Parameters", []),
    (PATHS_KEY, [("NvxProgramDataDir", "REG_SZ", DATA_DIR_NT)]),
    (KEY_ALIASES["driver"], [("Start", "REG_DWORD", 0), ("Type", "REG_DWORD", 2)]),
    (KEY_ALIASES["elam"], [("Start", "REG_DWORD", 0), ("Type", "REG_DWORD", 1)]),
]
# Values every Windows machine has, in the form Windows keeps them (Wine's own defaults differ
# slightly: it stores ProgramData already expanded).
MACHINE_VALUES = [
    (r"HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList",
     [("ProgramData", "REG_EXPAND_SZ", r"%SystemDrive%\ProgramData")]),
    (r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion",
     [("ProgramFilesDir", "REG_SZ", r"C:\Program Files"),
      ("ProgramFilesDir (x86)", "REG_SZ", r"C:\Program Files (x86)")]),
]

REG_TYPES = ["REG_SZ", "REG_EXPAND_SZ", "REG_MULTI_SZ", "REG_DWORD", "REG_QWORD", "REG_BINARY", "REG_NONE"]

STATE_NAMES = {1: "STOPPED", 2: "START_PENDING", 3: "STOP_PENDING", 4: "RUNNING",
               5: "CONTINUE_PENDING", 6: "PAUSE_PENDING", 7: "PAUSED"}
ACCEPT_NAMES = [(0x1, "STOP"), (0x2, "PAUSE_CONTINUE"), (0x4, "SHUTDOWN"), (0x8, "PARAMCHANGE"),
                (0x10, "NETBINDCHANGE"), (0x20, "HARDWAREPROFILECHANGE"), (0x40, "POWEREVENT"),
                (0x80, "SESSIONCHANGE"), (0x100, "PRESHUTDOWN")]
ERROR_TEXT = {
    2: "the file or event was not found",
    5: "access denied",
    50: "not supported",
    87: "invalid parameter",
    120: "the service does not implement this control",
    1052: "the requested control is not valid for this service",
    1053: "the service did not respond in time",
    1056: "an instance of the service is already running",
    1058: "the service is disabled",
    1060: "the service is not installed",
    1061: "the service cannot accept control messages now",
    1062: "the service has not been started",
    1067: "the process terminated unexpectedly",
    1072: "the service has been marked for deletion",
    1073: "the service already exists",
    1077: "the service has never been started",
}
# The exit codes the service itself ends with when its start fails (service/exit_codes.h).
SERVICE_EXIT_TEXT = {
    0xF000001: "the debug log could not start", 0xF000002: "OS symbols could not be loaded",
    0xF000003: "the memory pool could not start", 0xF000004: "path management failed (no data directory?)",
    0xF000008: "the WSC client set-up failed", 0xF000009: "OS notifications could not start",
    0xF000013: "the OS notification thread did not start", 0xF000018: "the command table could not be made",
    0xF000020: "the communications thread did not start", 0xF000021: "no service manager",
    0xF000022: "no service entry", 0xF000024: "the service dispatcher failed",
    0xF000025: "started from a console, not by the SCM", 0xF000027: "the event-journal thread did not start",
}
CONTROLS = {"stop": 1, "pause": 2, "continue": 3, "interrogate": 4}

# The two builds of the service a machine can have. The shipped build insists on a protected
# start of WSCClient.exe, which Wine refuses (error 50); the simulated machine's build (the test
# build, service/sim_machine.cpp) then starts it as an ordinary process.
BUILD_SIM, BUILD_SHIPPED = "sim", "shipped"
DEFAULT_BUILD = BUILD_SIM
SIM_BUILD_MARKER = b"Simulated machine: protection level refused"
BUILD_TEXT = {
    BUILD_SIM: "the simulated machine's build: starts WSCClient.exe as an ordinary process",
    BUILD_SHIPPED: "the shipped build: Wine refuses its protected start of WSCClient.exe (error 50),"
                   " so a WSCClient exec is answered -1",
    "other": "a build of its own (--exe)",
}

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2


class SimError(Exception):
    """A problem with the machine or the tools, reported as one line and exit status 2."""


def say(text=""):
    print(text, flush=True)


def error_text(code):
    text = ERROR_TEXT.get(code)
    return f"error {code}" + (f" ({text})" if text else "")


def exit_code_meaning(code):
    """What a Win32 error or one of the service's own exit codes means; None when unknown."""
    return ERROR_TEXT.get(code) or SERVICE_EXIT_TEXT.get(code)


def exit_code_text(code):
    """A service's exit code, explained."""
    meaning = exit_code_meaning(code) if code else None
    shown = f"0x{code:X}" if code > 0xFFFF else str(code)
    return shown + (f" ({meaning})" if meaning else "")


def accepted_text(mask):
    names = [name for bit, name in ACCEPT_NAMES if mask & bit]
    rest = mask & ~sum(bit for bit, _ in ACCEPT_NAMES)
    if rest:
        names.append(f"0x{rest:x}")
    return "|".join(names) if names else "nothing"


def parse_record(line):
    """One nvxsimctl line -> (keyword, {key: value}, [bare words]); None for other text."""
    parts = line.split()
    if not parts or not parts[0].isupper():
        return None
    fields, words = {}, []
    for token in parts[1:]:
        if "=" in token:
            key, value = token.split("=", 1)
            fields[key] = value
        else:
            words.append(token)
    return parts[0], fields, words


def status_text(fields):
    state = int(fields["state"])
    text = (f"{STATE_NAMES.get(state, f'state {state}'):<14} checkpoint {fields['checkpoint']:<3}"
            f" wait hint {int(fields['wait_hint']):>5} ms   exit code {fields['exit_code']}"
            f"   accepts {accepted_text(int(fields['accepted'], 16))}")
    specific = int(fields.get("specific", "0"), 16)
    if specific:
        text += f"   service-specific 0x{specific:08X}"
    return text


def clean(data):
    """Wine's output without its start-up noise, on one line."""
    text = data.decode(errors="replace") if isinstance(data, bytes) else data
    keep = [line.strip() for line in text.splitlines()
            if line.strip() and "wine32" not in line and "multiarch" not in line
            and "dpkg --add-architecture" not in line and "apt-get install wine32" not in line]
    return " | ".join(keep) or "(no output)"


def format_data(kind, data):
    return f"0x{data:x}" if kind in ("REG_DWORD", "REG_QWORD") else str(data)


def reg_file_data(kind, data):
    if kind == "REG_DWORD":
        return f"dword:{data:08x}"
    if kind == "REG_SZ":
        return '"' + data.replace("\\", "\\\\").replace('"', '\\"') + '"'
    if kind == "REG_EXPAND_SZ":
        return "hex(2):" + ",".join(f"{b:02x}" for b in (data + "\0").encode("utf-16-le"))
    raise ValueError(kind)


def resolve_key(key):
    head, sep, tail = key.partition("\\")
    if head.lower() in KEY_ALIASES:
        return KEY_ALIASES[head.lower()] + sep + tail
    for long, short in (("HKEY_LOCAL_MACHINE\\", "HKLM\\"), ("HKEY_CURRENT_USER\\", "HKCU\\")):
        if key.upper().startswith(long):
            return short + key[len(long):]
    return key


def short_key(key):
    """A full key in the short name a user typed for it, when it has one (the first of the names
    of one key: params, not parameters)."""
    for alias, full in KEY_ALIASES.items():
        if key.lower() == full.lower():
            return alias
        if key.lower().startswith(full.lower() + "\\"):
            return alias + key[len(full):]
    return key


# One value of `reg query`'s answer: four spaces, the name, the type, the data (none when empty).
REG_QUERY_VALUE = re.compile(r"^    (.*?)    (REG_[A-Z_]+)(?:    (.*))?$")


def reg_query_values(out):
    """`reg query` output -> {name: (type, data text)}, in its order."""
    values = {}
    for line in out.decode(errors="replace").splitlines():
        m = REG_QUERY_VALUE.match(line.rstrip("\r"))
        if m:
            values[m.group(1)] = (m.group(2), m.group(3) or "")
    return values


@contextlib.contextmanager
def sim_errors():
    """A Wine call that did not finish (WineError) becomes the machine's one-line SimError."""
    try:
        yield
    except WineError as e:
        raise SimError(str(e)) from None


def build_paths():
    """{build: path}: the shipped build ($NVXSIM_EXE) and the simulated machine's build built beside
    it ($NVXSIM_FAULTS_EXE, else faults/NVXService.exe next to the shipped one)."""
    shipped = Path(os.environ.get("NVXSIM_EXE") or REPO / "build/mingw/service/NVXService.exe")
    sim = Path(os.environ.get("NVXSIM_FAULTS_EXE") or shipped.parent / "faults" / EXE_NAME)
    return {BUILD_SIM: sim, BUILD_SHIPPED: shipped}


def build_of(data):
    """Which build an executable's bytes are."""
    return BUILD_SIM if SIM_BUILD_MARKER in data else BUILD_SHIPPED


class Machine:
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
        # A first boot of a new prefix now and then fails on a busy host and works when run again
        # on an empty prefix; a second failure is reported with the end of both boots' output.
        for attempt in (1, 2):
            with open(self.logs / "wineboot.log", "wb" if attempt == 1 else "ab") as log:
                log.write(f"--- wineboot --init, attempt {attempt}\n".encode())
                log.flush()
                # No prompts for runtimes that cannot be installed here.
                rc, _, _ = self.run([self.wine_bin, "wineboot", "--init"], stdout=log, stderr=log,
                                    env=self.env(WINEDLLOVERRIDES="mscoree,mshtml="),
                                    timeout=float(os.environ.get("NVXSIM_BOOT_TIMEOUT", "300")),
                                    what="wineboot --init")
            # The boot session ends before the persistent one starts: otherwise two services.exe
            # can serve one prefix, each with its own view of the installed services.
            self.wineserver("-k")
            self.wineserver("-w", timeout=60)
            if rc == 0 and self.exists():
                break
            note(f"wineboot --init failed (exit {rc}) at attempt {attempt}")
            if attempt == 2:
                tail = (self.logs / "wineboot.log").read_text(errors="replace").splitlines()[-20:]
                raise SimError(f"wineboot --init failed (exit {rc}); see {self.logs / 'wineboot.log'}:\n"
                               + "\n".join(tail))
            shutil.rmtree(self.prefix, ignore_errors=True)
            self.prefix.mkdir(parents=True)
        say(f"  prefix      {self.prefix}  (wineboot {time.monotonic() - started:.1f} s)")

        self._copy_files(exe, build)
        self._up()
        self._install()

    def _record(self, exe, build):
        info = self.info()
        info.setdefault("created", time.strftime("%Y-%m-%dT%H:%M:%S"))
        info.update({"exe": str(exe.resolve()), "build": build, "nvxsimctl": str(self.ctl.resolve())})
        (self.root / "machine.json").write_text(json.dumps(info, indent=2) + "\n")

    def _copy_files(self, exe, build):
        target = self.drive_c("Program Files", "Kestro", "Vantor")
        target.mkdir(parents=True, exist_ok=True)
        shutil.copy2(exe, target / EXE_NAME)
        # Built beside nvxsimctl: the Filter Manager library the service loads from its own
        # directory in place of Wine's stub, connecting its port calls to the driver simulator.
        shutil.copy2(self.ctl.parent / FLTLIB_NAME, target / FLTLIB_NAME)
        tools = self.drive_c("nvxsim")
        tools.mkdir(parents=True, exist_ok=True)
        shutil.copy2(self.ctl, tools / "nvxsimctl.exe")
        # Also built beside nvxsimctl: the system volume's object-manager shape, and the driver.
        shutil.copy2(self.ctl.parent / "nvxvolume.exe", tools / "nvxvolume.exe")
        shutil.copy2(self.ctl.parent / "nvxdriver.exe", tools / "nvxdriver.exe")
        # Key deletion that the service's change notifications see, as on Windows.
        shutil.copy2(self.ctl.parent / "nvxregdel.exe", tools / "nvxregdel.exe")
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
        say(f"              {INSTALL_DIR_WIN}\\{FLTLIB_NAME}  (Filter Manager stand-in)")
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
        self._import_registry(INSTALL_KEYS + MACHINE_VALUES)
        state = self.service_state()
        if state is None:
            raise SimError("the SCM does not know the service after sc create")
        say(f'  service     "{SERVICE_NAME}": own process, demand start, {STATE_NAMES.get(state, state)}')
        for key, values in INSTALL_KEYS + MACHINE_VALUES:
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
            lines.append("[" + key.replace("HKLM\\", "HKEY_LOCAL_MACHINE\\", 1) + "]")
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

    # ---- the driver simulator (nvxdriver.exe inside the machine)

    def driver_pid(self):
        return next((p.pid for p in self.processes() if "nvxdriver.exe serve" in p.cmdline), None)

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
        deadline = time.monotonic() + 10
        while self.driver_pid() is not None and time.monotonic() < deadline:
            time.sleep(0.05)
        left = self.driver_pid()
        if left is not None:
            note(f"killing the driver simulator {left}: it did not end on unload")
            with contextlib.suppress(ProcessLookupError):
                os.kill(left, signal.SIGKILL)
        if not quiet:
            say("Driver simulator stopped: its ports and every connection to them are gone.")

    def driver_journal(self):
        return self.prefix / drv.DRIVER_JOURNAL_IN_PREFIX

    # ---- the WSC client (WSCClient.exe, started by the service)

    def wsc_dir(self):
        return self.prefix / WSC_DIR_IN_PREFIX

    def wsc_install(self):
        target = self.prefix / WSC_CLIENT_IN_PREFIX
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(self.ctl.parent / WSC_CLIENT_NAME, target)
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
