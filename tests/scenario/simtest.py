"""Scenario-test fixtures: one simulated machine per test module, driven through sim/nvxsim.

A test module's classes derive from MachineTestCase. The machine lives in a temporary directory;
its class cleanup runs `nvxsim down` and then checks that no process of the machine's Wine prefix
is left (it kills and reports any that are), also when creating the machine or a test failed.
"""

import contextlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "sim"))

from nvxsimlib.command import run_nvxsim  # noqa: E402
from nvxsimlib.layout import BUILD_SIM, CTL_WIN, SERVICE_NAME, build_paths  # noqa: E402
from nvxsimlib.logs import LOGS_DIR_IN_PREFIX, parse_log_line  # noqa: E402
from nvxsimlib.wine import WineError, WinePrefix, prefix_processes  # noqa: E402

SERVICE_KEY = "service"  # nvxsim's short name for HKLM\SYSTEM\CurrentControlSet\Services\<service>

STOPPED, START_PENDING, STOP_PENDING, RUNNING = 1, 2, 3, 4
WAIT_HINT_MS = 10000  # the wait hint of every pending report
ERROR_SERVICE_ALREADY_RUNNING = 1056
ERROR_SERVICE_REQUEST_TIMEOUT = 1053


def status_line(state, checkpoint, exit_code=0):
    """The Debug line the service logs for each status report it makes."""
    wait_hint = WAIT_HINT_MS if state in (START_PENDING, STOP_PENDING) else 0
    return f"Service status {state} checkpoint {checkpoint} wait hint {wait_hint} exit code 0x{exit_code:08X}"


def machine_dir(prefix):
    """A new temporary directory for a machine: below $NVX_SCENARIO_TMP when set (the test command
    looks there for processes a killed test left running), else in the system's."""
    return tempfile.mkdtemp(prefix=prefix, dir=os.environ.get("NVX_SCENARIO_TMP") or None)


def faults_exe():
    """The test build of the service: $NVXSIM_FAULTS_EXE, else the one built beside the service
    (the build nvxsim calls sim)."""
    return build_paths()[BUILD_SIM]


def read_log_lines(path):
    """All lines of one debug-log file as LogLine, or None when the file does not exist.

    The file is written in CRLF lines; a line that does not end in CRLF, or that does not have
    the exact prefix, fails with AssertionError naming it. Text the service copies into a line as
    it came (a command name it refuses) may hold bytes that are not UTF-8: they are kept as
    surrogate escapes, so that a test can compare them.
    """
    try:
        data = Path(path).read_bytes()
    except FileNotFoundError:
        return None
    if data and not data.endswith(b"\r\n"):
        raise AssertionError(f"{path}: last line is not ended by CRLF: {data[-80:]!r}")
    lines = []
    for raw in data.split(b"\r\n")[:-1] if data else []:
        text = raw.decode("utf-8", "surrogateescape")
        parsed = parse_log_line(text)
        if parsed is None:
            raise AssertionError(f"{path}: not a log line: {text!r}")
        lines.append(parsed)
    return lines


@dataclass
class Status:
    state: int
    checkpoint: int
    wait_hint: int
    exit_code: int
    accepted: int
    source: str
    t_ms: float

    def essentials(self):
        """What a status says, without where or when it was seen."""
        return (self.state, self.checkpoint, self.wait_hint, self.exit_code, self.accepted)


def parse_records(text):
    """nvxsimctl lines -> [(keyword, {key: value}, [bare words])]."""
    records = []
    for line in text.splitlines():
        parts = line.split()
        if not parts or not parts[0].isupper():
            continue
        fields = dict(p.split("=", 1) for p in parts[1:] if "=" in p)
        records.append((parts[0], fields, [p for p in parts[1:] if "=" not in p]))
    return records


def to_status(fields):
    return Status(state=int(fields["state"]), checkpoint=int(fields["checkpoint"]),
                  wait_hint=int(fields["wait_hint"]), exit_code=int(fields["exit_code"], 16),
                  accepted=int(fields["accepted"], 16), source=fields.get("source", ""),
                  t_ms=float(fields.get("t_ms", "0")))


@dataclass
class Run:
    rc: int
    out: str
    err: str
    raw: bytes


@dataclass
class ServiceAnswer:
    """What one service command (start, control, query) printed in --raw form."""
    run: Run
    request: dict      # the START or CONTROL record, {} for a query
    statuses: list     # every STATUS record with a valid state, in order
    returned: object   # the status the control call itself returned (Status or None)
    error: object      # the Win32 error of an ERROR record, or None
    timed_out: bool


@dataclass
class ConsoleRun:
    output: bytes      # the program's output, byte for byte
    lines: list        # its lines, line ends removed
    exit_code: int     # all 32 bits


class SimMachine:
    """One machine, driven through the nvxsim command line as a developer would."""

    def __init__(self, root):
        self.root = Path(root).resolve()
        self.prefix = self.root / "prefix"
        self.env = dict(os.environ)
        self.env.pop("NVXSIM_MACHINE", None)

    def nvxsim(self, *args, timeout=240):
        proc = run_nvxsim(self.root, *args, timeout=timeout, env=self.env)
        return Run(proc.returncode, proc.stdout.decode(errors="replace"), proc.stderr.decode(errors="replace"),
                   proc.stdout)

    def install_test_build(self):
        """Installs the service's test build (fault settings, the simulated protected start)."""
        exe = faults_exe()
        if not exe.is_file():
            raise AssertionError(f"{exe} not found (build the NVXServiceFaults target)")
        self.checked("--exe", str(exe), "install")

    def checked(self, *args, timeout=240):
        run = self.nvxsim(*args, timeout=timeout)
        if run.rc != 0:
            raise AssertionError(f"nvxsim {' '.join(args)} failed ({run.rc}):\n{run.out}{run.err}")
        return run

    # ---- service

    def service(self, *args):
        return self._answer(self.nvxsim("--raw", *args), args)

    def start_and_stop(self, timeout_ms=30000):
        """A start whose stop follows at once: nvxsimctl sends the stop again and again from the
        start request on, until the SCM takes it (the statuses count from the stop it took)."""
        return self._answer(self.nvxsim("wine", CTL_WIN, "startstop", SERVICE_NAME, str(timeout_ms)),
                            ("startstop",))

    @staticmethod
    def _answer(run, args):
        if run.rc not in (0, 1):
            raise AssertionError(f"nvxsim {' '.join(args)} failed ({run.rc}):\n{run.out}{run.err}")
        request, statuses, returned, error, timed_out = {}, [], None, None, False
        for kind, fields, _ in parse_records(run.out):
            if kind in ("START", "CONTROL"):
                request = fields
            elif kind == "STATUS" and "state" in fields:
                status = to_status(fields)
                statuses.append(status)
                if status.source == "control":
                    returned = status
            elif kind == "ERROR":
                error = int(fields["error"])
            elif kind == "TIMEOUT":
                timed_out = True
        return ServiceAnswer(run, request, statuses, returned, error, timed_out)

    def query(self):
        answer = self.service("query")
        if answer.error is not None or len(answer.statuses) != 1:
            raise AssertionError(f"query failed:\n{answer.run.out}{answer.run.err}")
        return answer.statuses[0]

    def ensure_stopped(self):
        if self.query().state != STOPPED:
            answer = self.service("stop")
            if answer.error is not None or answer.statuses[-1].state != STOPPED:
                raise AssertionError(f"the service would not stop:\n{answer.run.out}")

    # ---- registry

    def reg_get(self, key, name):
        """(type, data) of a value, or None when the value or key does not exist."""
        run = self.nvxsim("reg", "get", key, name, "--json")
        if run.rc == 1:
            return None
        if run.rc != 0:
            raise AssertionError(f"reg get {key} {name} failed ({run.rc}):\n{run.out}{run.err}")
        value = json.loads(run.out)
        return value["type"], value["data"]

    def reg_set(self, key, name, kind, data):
        self.checked("reg", "set", key, name, "--type", kind, "--data", str(data))

    def reg_delete(self, key, name=None):
        """Deletes a value (or the key); a missing one is no error."""
        run = self.nvxsim("reg", "delete", key, *([name] if name else []))
        if run.rc != 0 and not (run.rc == 1 and "no such" in run.err):
            raise AssertionError(f"reg delete {key} {name} failed ({run.rc}):\n{run.out}{run.err}")

    # ---- console and logs

    def console(self, *args):
        run = self.nvxsim("--raw", "console", *args)
        at = run.raw.rfind(b"EXIT code=")
        if run.rc not in (0, 1) or at < 0:
            raise AssertionError(f"console {' '.join(args)} failed ({run.rc}):\n{run.out}{run.err}")
        output = run.raw[:at]
        lines = output.decode(errors="replace").replace("\r", "").split("\n")
        if lines and lines[-1] == "":
            lines.pop()
        return ConsoleRun(output, lines, int(run.raw[at:].split(b"=", 1)[1], 16))

    def log_path(self, name="nvxs.log"):
        return self.prefix / LOGS_DIR_IN_PREFIX / name

    def log_lines(self, name="nvxs.log"):
        """The service's debug log as LogLine records; None while the service writes none."""
        return read_log_lines(self.log_path(name))

    # ---- processes

    def processes(self):
        """[(pid, command line)] of every live process of the machine's prefix."""
        return [(p.pid, p.cmdline) for p in prefix_processes(self.prefix)]

    def shut_down(self):
        """`nvxsim down`, then makes sure nothing of the prefix is left. Returns what had to be
        killed (empty when down did its job), or a description of a failed down."""
        problems = []
        try:
            run = self.nvxsim("down", timeout=180)
            if run.rc != 0:
                problems.append(f"nvxsim down failed ({run.rc}): {run.err.strip()}")
        except subprocess.TimeoutExpired:
            problems.append("nvxsim down did not finish")
        deadline = time.monotonic() + 3
        left = self.processes()
        while left and time.monotonic() < deadline:
            time.sleep(0.1)
            left = self.processes()
        if left:
            problems.append(f"left after down: {left}")
            try:
                WinePrefix(self.prefix).end()
            except WineError as e:
                problems.append(str(e))
        return problems


# Machines that exist right now, so a termination signal can still end their processes.
_live_machines = []


def _end_on_signal(signum, _frame):
    for machine in list(_live_machines):
        with contextlib.suppress(Exception):
            machine.shut_down()
    os._exit(128 + signum)


signal.signal(signal.SIGTERM, _end_on_signal)


class MachineTestCase(unittest.TestCase):
    """Base for a test class that has a machine of its own (created in setUpClass)."""

    machine = None

    @classmethod
    def setUpClass(cls):
        cls._tmp = machine_dir("nvx-scenario-")
        cls.machine = SimMachine(Path(cls._tmp) / "machine")
        _live_machines.append(cls.machine)
        cls.addClassCleanup(cls._end_machine)
        for variable, default in (("NVXSIM_EXE", "build/mingw/service/NVXService.exe"),
                                  ("NVXSIM_CTL", "build/mingw/sim/nvxsimctl.exe")):
            path = Path(os.environ.get(variable) or REPO / default)
            if not path.is_file():
                raise AssertionError(f"{path} not found (build it, or set {variable})")
        # The scenarios test the product: the shipped build, unless a test installs another.
        cls.machine.checked("create", "--build", "shipped")

    def start_that_fails_after_reporting(self, before_retry=None, attempts=5):
        """The answer to a start that fails after its first status report (start pending), which the
        service follows at once with stop pending and then shuts down. Wine's SCM, woken by the first
        report, reads the state only when it next runs; on a loaded host that can be after the
        stop-pending report, and then it answers 1053 and terminates the process in the middle of its
        shutdown (a real SCM leaves it to end by itself). Such a run shows nothing of the service's
        own shutdown, so the start is made again, after `before_retry()` resets what the test counts."""
        for _ in range(attempts):
            answer = self.machine.service("start")
            if answer.error != ERROR_SERVICE_REQUEST_TIMEOUT:
                return answer
            print("Wine's SCM ended the failing start's process itself; starting again", file=sys.stderr)
            deadline = time.monotonic() + 30
            while self.service_process_lives() and time.monotonic() < deadline:
                time.sleep(0.1)
            if before_retry is not None:
                before_retry()
        self.fail(f"Wine's SCM ended the service's process itself at each of {attempts} starts")

    def assert_polled(self, seen, reports):
        """`seen`, the statuses a poll printed, came in the order of `reports` and ended with its last.
        A poll may miss a report that lasted only a moment (the log records every one); it never
        sees one out of order or one that was not made."""
        remaining = iter(reports)
        in_order = all(any(status == report for report in remaining) for status in seen)
        self.assertTrue(seen and seen[-1] == reports[-1] and in_order, f"polled {seen}, reports made {reports}")

    def run_log(self):
        """This run's part of nvxs.log: from the service's last start on."""
        lines = self.machine.log_lines() or []
        starts = [i for i, e in enumerate(lines) if e.text == "Service Starting..."]
        return lines[starts[-1]:] if starts else []

    def wait_for_log(self, predicate, timeout=15, what="the expected log line"):
        """This run's log once predicate(lines) holds; fails after `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while True:
            lines = self.run_log()
            if predicate(lines):
                return lines
            if time.monotonic() > deadline:
                self.fail(f"{what} not logged within {timeout} s:\n" + "\n".join(e.text for e in lines[-40:]))
            time.sleep(0.1)

    def wait_for_text(self, text, timeout=15):
        return self.wait_for_log(lambda lines: any(e.text == text for e in lines), timeout, repr(text))

    def ended_run_log(self, timeout=15, bound=180):
        """This run's log once it holds the debug log's own last line, which its shutdown writes
        before the process exits. While the service's process still lives that line may yet come
        (a loaded host can keep a stopping process from running for a while), so the wait goes on
        past `timeout` for as long as it lives, up to `bound` seconds; a process that has ended
        without the line is a failure at once."""
        ended = lambda lines: any(e.text.endswith(" missed debug log messages") for e in lines)
        deadline = time.monotonic() + timeout
        limit = time.monotonic() + bound
        while True:
            lines = self.run_log()
            if ended(lines):
                return lines
            now = time.monotonic()
            if now > deadline and (now > limit or not self.service_process_lives()):
                lines = self.run_log()  # the line may have come just before the process ended
                if ended(lines):
                    return lines
                self.fail(f"the end of the debug log not logged (service process "
                          f"{'still running' if now > limit else 'ended'}):\n" +
                          "\n".join(e.text for e in lines[-40:]))
            time.sleep(0.1)

    def service_process_lives(self):
        """Whether a process of the installed service runs in the machine."""
        return any("nvxservice.exe" in cmdline.lower() for _, cmdline in self.machine.processes())

    @classmethod
    def _end_machine(cls):
        problems = cls.machine.shut_down()
        _live_machines.remove(cls.machine)
        shutil.rmtree(cls._tmp, ignore_errors=True)
        if problems:
            raise AssertionError("machine did not end cleanly: " + "; ".join(problems))
