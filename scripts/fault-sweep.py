#!/usr/bin/env python3
"""Fault sweep: a whole run of the test build under the SCM, repeated with call N of one operation
failing, for every N a run without a fault makes, operation by operation.

One run, on a simulated machine of its own (sim/nvxsim): the driver loaded, the service started,
the driver's "Version" asked and a WSCClient command relayed, a journal compressed by the first
pass, DebugFacilities changed through the registry, the service stopped. Every run is checked for what
each must be, whatever fails:

  clean stop        started, stopped with exit code 0
  stop N            started, stopped with exit code N
  failed start N    never ran; N is the exit code the process ended with, as the test build's
                    counts file names it (the SCM shows 1053 for a process that ended before it
                    reached the SCM), else the one of its last status report
and the bad outcomes:
  hang              a start or stop that did not complete, or a process left after the stop
  crash             the process ended without its STOPPED report (1067), or without the debug
                    log's last line
  slow stop         the stop took longer than the 10 s wait hint (timed inside the machine)
  unlogged          a failed start or a stop with an exit code whose step logged no error
                    (a failed start in path management has no log: it finds the logs directory)
  leak              the shutdown's leak report is missing or names unreleased pool buffers
  lost journal      the journal was neither kept whole nor compressed to an .xz that decodes to
                    exactly its bytes
  tmp left          a .tmp the run left was still there after the pass of a following run
                    without a fault
  bench error       an nvxsim command of the run failed

A clean stop after a call that the seam did make fail, with no line at Warning level or above
(besides the test build's own), is shown as "clean stop, no warning": not counted as bad (many
such failures are logged at Debug level, or retried at the next pass), but one to look at.

A start that Wine's SCM cuts short (it answers 1053 after the service's first report, when the
service had already gone on to stop pending) is made again, not counted.

An operation that a run calls at most --full-limit times (default 60) is swept at every call; one
called more often is swept at a stride that gives about --points runs (default 30), or over the
calls --range names; the table's "swept" column says which.

  scripts/fault-sweep.py                              every operation
  scripts/fault-sweep.py --ops Scm,ThreadCreate       these operations
  scripts/fault-sweep.py --range Memory:1-40          calls 1 to 40 of Memory
  scripts/fault-sweep.py --calls Scm:7,10             just these calls (no run without a fault)
  scripts/fault-sweep.py --sample                     the small fixed sample CI runs
  scripts/fault-sweep.py --jobs 2                     two machines side by side
  scripts/fault-sweep.py --time-limit 3600            no run started after an hour

Exit status 1 when any run had a bad outcome.
"""

import argparse
import collections
import lzma
import os
import queue
import re
import shutil
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "scenario"))

import simtest  # noqa: E402
from simtest import ERROR_SERVICE_REQUEST_TIMEOUT, RUNNING, SERVICE_KEY, STOPPED, WAIT_HINT_MS, SimMachine  # noqa: E402

OPERATIONS = ["ThreadCreate", "EventCreate", "Wait", "Memory", "RegOpenKey", "RegQueryValue", "RegSetValue",
              "RegNotify", "NtFile", "DirectoryList", "FilterConnect", "FilterSend", "FilterGetMessage",
              "FilterReply", "FilterWalk", "ProcessCreate", "Scm", "KnownFolder"]
# CI's sample: failures in start-up (path management's first allocation, before the SCM is reached; a
# thread; the running report), while running (a registry notification, a send to the driver, a
# process creation, the journal's file calls) and in the stop (its stopped report).
SAMPLE = {"Memory": [1], "Scm": [7, 10], "ThreadCreate": [3], "RegNotify": [2], "FilterSend": [2],
          "ProcessCreate": [1], "NtFile": [60]}
PARAMS_KEY = "params"
COUNTS_FILE = r"C:\fault-counts.txt"
STORE = "drive_c/ProgramData/Kestro/Vantor/Data/Event Journals/KestroNVX"
JOURNAL_DIR, JOURNAL = "Dns", "Dns-1-2-3-4.bin"
UNRELEASED = re.compile(r"^There are (\d+) unreleased (?:big chunk|memory) buffers$")
LOG_END = re.compile(r"^There were \d+ missed debug log messages$")
FILTER_CHANGED = "Registry DebugFacilities changed to "
# The registry change of a run: DebugFacilities alternates between all facilities and all but the
# unused Assert bit, so that every line the checks read stays in the log (DebugLevel stays 1).
FACILITIES = (0xFFFFFFFF, 0x7FFFFFFF)
# The Debug line of each status report the service makes (simtest.status_line).
REPORT_LINE = re.compile(r"^Service status (\d+) checkpoint \d+ wait hint \d+ exit code 0x([0-9A-F]{8})$")
ERROR_LEVELS = {"Error", "Crit", "Alert", "Emerg"}
WARNING_LEVELS = ERROR_LEVELS | {"Warning"}
# The exit codes whose step logs a line of its own (service/exit_codes.h); another code's step
# must log at least one line at Error level or above.
STEP_LINES = {
    0xF000021: "ERROR: Could not access service controller!",
    0xF000022: "ERROR: Could not access service ",
    0xF000024: "ERROR: Could not start as a service!",
    0xF000025: "ERROR: Use the service controller to start the service!",
    0xF000028: "Unable to create the event journal monitoring thread",
    0xF000029: "Unable to create the main loop thread object",
    0xF00002A: "ERROR: Unable to register the service control handler, error ",
}
# Path management finds the logs directory: a start-up that fails there has no log to write.
EXIT_PATHS_FAILED = 0xF000004
ERROR_PROCESS_ABORTED = 1067
GOOD = ("clean stop", "stop", "failed start")
CUT_SHORT_ATTEMPTS = 4


@dataclass
class Result:
    outcome: str
    detail: str = ""
    stop_ms: float = 0.0
    injected: int = 0      # calls the seam made fail in the run


@dataclass
class Plan:
    operation: str
    calls: list            # the calls N swept
    made: int = 0          # calls a run without a fault made (0: not measured)
    how: str = "all"       # "all", "every Kth", "range A-B", "chosen"
    results: dict = field(default_factory=dict)

    def swept_text(self):
        text = (f"1-{self.made}" if self.made else "none") if self.how == "all" else f"{len(self.calls)} ({self.how})"
        if len(self.results) < len(self.calls):  # cut short by --time-limit
            text += f", {len(self.results)} run"
        return text


def bad(outcome):
    return not outcome.startswith(GOOD)


def wait_until(predicate, timeout):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)
    return True


class SweepMachine:
    """One simulated machine with the test build installed, the driver loaded and the WSC client in
    place; it makes whole runs of the service, each with at most one operation's call failing."""

    def __init__(self, root):
        self.machine = SimMachine(root)
        self.store = self.machine.prefix / STORE
        self.counts_path = self.machine.prefix / "drive_c" / "fault-counts.txt"
        self.armed = None       # the operation TestFaultOperation names
        self.facilities = FACILITIES[0]

    def create(self):
        m = self.machine
        m.checked("create", "--build", "shipped")
        m.install_test_build()
        m.reg_set(PARAMS_KEY, "TestFaultCountsFile", "REG_SZ", COUNTS_FILE)
        m.checked("wsc", "install")
        m.checked("wsc", "set-exit", "0")
        m.reg_set(SERVICE_KEY, "DebugLevel", "REG_DWORD", 1)
        m.reg_set(SERVICE_KEY, "DebugFacilities", "REG_DWORD", self.facilities)
        m.checked("driver", "start")

    def recover(self):
        """After a hang: every process of the machine ended, the machine and the driver up again."""
        self.machine.shut_down()
        self.machine.checked("up")
        self.machine.checked("driver", "start")

    def service_processes(self):
        return [cmd for _, cmd in self.machine.processes() if "nvxservice.exe" in cmd.lower()]

    def run_log(self):
        lines = self.machine.log_lines() or []
        starts = [i for i, e in enumerate(lines) if e.text == "Service Starting..."]
        return lines[starts[-1]:] if starts else []

    def counts_file(self):
        """({operation: (calls, failures)}, the process's exit code or None) as the process's end
        wrote them."""
        counts, code = {}, None
        text = self.counts_path.read_text() if self.counts_path.exists() else ""
        for words in map(str.split, text.splitlines()):
            if len(words) == 3:
                counts[words[0]] = (int(words[1]), int(words[2]))
            elif len(words) == 2 and words[0] == "ExitProcess":
                code = int(words[1], 16)
        return counts, code

    def counts(self):
        return self.counts_file()[0]

    def arm(self, operation, call):
        if operation is None:
            if self.armed is not None:
                self.machine.reg_delete(PARAMS_KEY, "TestFaultOperation")
        else:
            if operation != self.armed:
                self.machine.reg_set(PARAMS_KEY, "TestFaultOperation", "REG_SZ", operation)
            self.machine.reg_set(PARAMS_KEY, "TestFaultCall", "REG_DWORD", call)
        self.armed = operation

    def journal_files(self):
        journal = self.store / JOURNAL_DIR
        return sorted(p.name for p in journal.iterdir()) if journal.is_dir() else []

    def fresh_journal(self):
        """Empties the store and writes the run's journal (text, as the driver's are); returns its
        bytes."""
        for path in self.store.rglob("*"):
            if path.is_file():
                path.unlink()
        data = b"".join(b"event %06d: process started, journal entry of the sweep\r\n" % i for i in range(400))
        (self.store / JOURNAL_DIR).mkdir(parents=True, exist_ok=True)
        (self.store / JOURNAL_DIR / JOURNAL).write_bytes(data)
        return data

    def reports(self):
        """[(state, exit code)] of every status report this run's log shows."""
        return [(int(m.group(1)), int(m.group(2), 16)) for m in map(REPORT_LINE.match, (
            e.text for e in self.run_log())) if m]

    def start(self, before):
        """(answer, cut): the start's answer, and whether Wine's SCM cut it short at every attempt. A
        start that fails after the service's first report, which the service follows at once with
        stop pending, is answered 1053 when Wine's SCM reads the state only after that, and the SCM
        then ends the process in the middle of its shutdown (simtest's
        start_that_fails_after_reporting): a log without its last line. Such a start is made again
        (before() prepares each attempt)."""
        for _ in range(CUT_SHORT_ATTEMPTS):
            before()
            answer = self.machine.service("start")
            if answer.error != ERROR_SERVICE_REQUEST_TIMEOUT or answer.timed_out:
                return answer, False
            wait_until(lambda: not self.service_processes(), 30)
            texts = [e.text for e in self.run_log()]
            if not self.reports() or any(LOG_END.match(t) for t in texts):
                return answer, False
        return answer, True

    def whole_run(self, operation=None, call=0):
        """One run of the service with call `call` of `operation` failing (none: no fault)."""
        if self.service_processes():
            self.recover()
        self.machine.ensure_stopped()
        self.arm(operation, call)
        original = {}

        def before():
            self.counts_path.unlink(missing_ok=True)
            # Each run's log stands alone: a run that writes none cannot pass for the last one.
            for path in self.machine.log_path().parent.glob("nvxs*.log"):
                path.unlink()
            original["bytes"] = self.fresh_journal()

        start, cut = self.start(before)
        if start.timed_out:
            return Result("hang", "start")
        if not start.statuses or start.statuses[-1].state != RUNNING:
            if not wait_until(lambda: not self.service_processes(), 15):
                return Result("hang", "a process left after a failed start")
            status = self.machine.query()
            if status.exit_code == ERROR_PROCESS_ABORTED:
                return Result("crash", "in start-up")
            if cut:
                return Result("crash", "Wine's SCM ended the process in its shutdown at every attempt")
            # Wine answers 1053 to a start whose process ended before it reached the SCM, or whose
            # first report was already stop pending; the code the process ended with is the one its
            # start-up sequence chose.
            code = self.counts_file()[1]
            if code is None:
                code = start.error if start.error is not None else status.exit_code
            # Wine also answers 1053 to a start whose first report is already stop pending, shows the
            # exit code of the service's reports and may end the process before its counts file is
            # written. A shutdown in the log says that the service ran under the SCM in this run, so
            # the code shown is this run's.
            if code == ERROR_SERVICE_REQUEST_TIMEOUT and status.state == STOPPED and status.exit_code and \
                    any(e.text == "Starting shutdown..." for e in self.run_log()):
                code = status.exit_code
            return self.check_end(Result(f"failed start {code:#x}"), code, original["bytes"], ran=False)

        m = self.machine
        # What a fault makes fail here (a connection, a reply) is judged by the end of the run.
        m.nvxsim("driver", "wait-connect", "--port", "async", "--timeout-ms", "8000")
        m.nvxsim("driver", "send", "--kind", "get", "VERSION")
        m.nvxsim("driver", "send", "--kind", "exec", "--pid", "77", "--key", "7", "wscclient", "-x")
        journal = self.store / JOURNAL_DIR
        wait_until(lambda: (journal / (JOURNAL[:-4] + ".xz")).exists() and not (journal / JOURNAL).exists(), 20)
        self.facilities = FACILITIES[1] if self.facilities == FACILITIES[0] else FACILITIES[0]
        m.reg_set(SERVICE_KEY, "DebugFacilities", "REG_DWORD", self.facilities)
        wait_until(lambda: any(e.text.startswith(FILTER_CHANGED) for e in self.run_log()), 5)

        stop = m.service("stop")
        if stop.timed_out or not stop.statuses or stop.statuses[-1].state != STOPPED:
            return Result("hang", "stop")
        stopped = stop.statuses[-1]
        if not wait_until(lambda: not self.service_processes(), 15):
            return Result("hang", "a process left after the stop")
        if stopped.exit_code == ERROR_PROCESS_ABORTED:
            return Result("crash", "before the stop completed")
        code = stopped.exit_code
        result = Result("clean stop" if code == 0 else f"stop {code:#x}", stop_ms=stopped.t_ms)
        return self.check_end(result, code, original["bytes"], ran=True)

    def check_end(self, result, code, original, ran):
        lines = self.run_log()
        texts = [e.text for e in lines]
        result.injected = sum(failures for _, failures in self.counts().values())
        if ran and not texts:
            return Result("unlogged", "the run wrote no log", result.stop_ms, result.injected)
        if texts and not any(LOG_END.match(t) for t in texts) and (ran or code != ERROR_SERVICE_REQUEST_TIMEOUT):
            return Result("crash", "the debug log has no last line", result.stop_ms, result.injected)
        if ran and result.stop_ms > WAIT_HINT_MS:
            return Result("slow stop", f"{result.stop_ms:.0f} ms", result.stop_ms, result.injected)
        if code != 0 and not (code == EXIT_PATHS_FAILED and not ran and not texts):
            wanted = STEP_LINES.get(code)
            logged = any(t.startswith(wanted) for t in texts) if wanted else \
                any(e.level in ERROR_LEVELS for e in lines)
            if not logged:
                return Result("unlogged", f"exit code {code:#x} without {wanted or 'an error line'}",
                              result.stop_ms, result.injected)
        reports = [t for t in texts if UNRELEASED.match(t)]
        leaks = [t for t in reports if int(UNRELEASED.match(t).group(1)) != 0]
        if leaks or (ran and not reports):
            return Result("leak", "; ".join(leaks) or "no leak report", result.stop_ms, result.injected)
        lost = self.journal_lost(original)
        if lost:
            return Result("lost journal", lost, result.stop_ms, result.injected)
        if any(n.endswith(".tmp") for n in self.journal_files()):
            left = self.tmp_after_next_pass()
            if left:
                return Result("tmp left", left, result.stop_ms, result.injected)
        if result.injected and code == 0 and not any(
                e.level in WARNING_LEVELS and not e.text.startswith("Test build:") for e in lines):
            result.outcome += ", no warning"
        return result

    def journal_lost(self, original):
        """Why the journal counts as lost, or "" when it is whole: its .xz decodes to exactly the
        journal's bytes, or (no .xz) the journal is still there with those bytes."""
        journal = self.store / JOURNAL_DIR
        xz, binary = journal / (JOURNAL[:-4] + ".xz"), journal / JOURNAL
        if xz.exists():
            try:
                decoded = lzma.decompress(xz.read_bytes())
            except lzma.LZMAError as e:
                return f".xz does not decode: {e}"
            return "" if decoded == original else f".xz decodes to {len(decoded)} bytes, not the {len(original)}"
        if not binary.exists():
            return f"neither journal nor .xz: {self.journal_files()}"
        kept = binary.read_bytes()
        return "" if kept == original else f"journal kept with {len(kept)} bytes, not the {len(original)}"

    def tmp_after_next_pass(self):
        """A run without a fault over the store as it was left: "" once its pass removed every .tmp."""
        self.arm(None, 0)
        self.counts_path.unlink(missing_ok=True)
        journal = self.store / JOURNAL_DIR
        answer, _ = self.start(lambda: None)
        cleared = wait_until(lambda: not any(p.suffix == ".tmp" for p in journal.iterdir()), 20)
        if answer.statuses and answer.statuses[-1].state == RUNNING:
            self.machine.service("stop")
        wait_until(lambda: not self.service_processes(), 15)
        return "" if cleared else f".tmp still there after the next pass: {self.journal_files()}"


def parse_calls(text):
    """"7,10,20-25" -> [7, 10, 20, ..., 25]."""
    calls = []
    for part in text.split(","):
        first, _, last = part.partition("-")
        calls.extend(range(int(first), int(last or first) + 1))
    return calls


def parse_operation_calls(arguments, option):
    """{operation: [call numbers]} from arguments of the form OPERATION:CALLS."""
    chosen = {}
    for argument in arguments:
        operation, sep, calls = argument.partition(":")
        if not sep or operation not in OPERATIONS:
            sys.exit(f"{option} {argument}: OPERATION:CALLS with OPERATION one of {', '.join(OPERATIONS)}")
        chosen[operation] = parse_calls(calls)
    return chosen


def plan_from_counts(operation, made, full_limit, points, ranges):
    if operation in ranges:
        calls = ranges[operation]
        return Plan(operation, calls, made, f"range {calls[0]}-{calls[-1]}")
    if made <= full_limit:
        return Plan(operation, list(range(1, made + 1)), made)
    stride = -(-made // points)
    return Plan(operation, list(range(1, made + 1, stride)), made, f"every {stride}th")


def worker(sweep_machine, tasks, plans, lock, verbose, deadline):
    while time.monotonic() < deadline:
        try:
            operation, call = tasks.get_nowait()
        except queue.Empty:
            return
        try:
            result = sweep_machine.whole_run(operation, call)
        except Exception as e:  # a failing nvxsim command: the machine is brought back for the next run
            result = Result("bench error", f"{e}".splitlines()[0])
            try:
                sweep_machine.recover()
            except Exception:  # noqa: BLE001 - the next run reports the machine's state
                pass
        with lock:
            plans[operation].results[call] = result
            if verbose or bad(result.outcome):
                extra = f" ({result.detail})" if result.detail else ""
                print(f"{operation} call {call}: {result.outcome}{extra}"
                      f"{f', stop {result.stop_ms:.0f} ms' if result.stop_ms else ''}", flush=True)


def print_table(plans):
    print()
    print(f"{'operation':<17} {'calls':>6} {'swept':<22} {'max stop':>9}  outcomes")
    for plan in plans:
        outcomes = collections.Counter(r.outcome for r in plan.results.values())
        shown = ", ".join(f"{k} x{v}" for k, v in sorted(outcomes.items())) or "-"
        slowest = max((r.stop_ms for r in plan.results.values()), default=0)
        made = str(plan.made) if plan.made else "-"
        print(f"{plan.operation:<17} {made:>6} {plan.swept_text():<22} {slowest:>7.0f}ms  {shown}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--ops", default=",".join(OPERATIONS), help="operations, comma-separated (default: all)")
    parser.add_argument("--full-limit", type=int, default=60,
                        help="sweep every call of an operation a run calls at most this often (default 60)")
    parser.add_argument("--points", type=int, default=30,
                        help="runs for an operation called more often, at a stride (default 30)")
    parser.add_argument("--range", action="append", default=[], metavar="OP:A-B",
                        help="sweep these calls of OP instead (repeatable)")
    parser.add_argument("--calls", action="append", default=[], metavar="OP:N,M",
                        help="only these calls of OP, without the run without a fault (repeatable)")
    parser.add_argument("--sample", action="store_true",
                        help="the fixed sample CI runs: " + "; ".join(f"{o} {v}" for o, v in SAMPLE.items()))
    parser.add_argument("--jobs", type=int, default=1, help="machines side by side (default 1)")
    parser.add_argument("--build-dir", default=str(ROOT / "build" / "mingw"))
    parser.add_argument("--time-limit", type=float, default=0, metavar="SECONDS",
                        help="start no run after this long; the table says how many of each operation's calls ran")
    parser.add_argument("-v", "--verbose", action="store_true", help="print every run's outcome")
    args = parser.parse_args()

    build = Path(args.build_dir).resolve()
    os.environ.setdefault("NVXSIM_EXE", str(build / "service" / "NVXService.exe"))
    os.environ.setdefault("NVXSIM_FAULTS_EXE", str(build / "service" / "faults" / "NVXService.exe"))
    os.environ.setdefault("NVXSIM_CTL", str(build / "sim" / "nvxsimctl.exe"))
    faults = Path(os.environ["NVXSIM_FAULTS_EXE"])
    if not faults.is_file():
        sys.exit(f"{faults} not found (build the NVXServiceFaults target)")
    chosen = dict(SAMPLE) if args.sample else parse_operation_calls(args.calls, "--calls")
    ranges = parse_operation_calls(args.range, "--range")
    operations = list(chosen) if chosen else [o.strip() for o in args.ops.split(",") if o.strip()]
    unknown = [o for o in operations if o not in OPERATIONS]
    if unknown:
        sys.exit(f"no such operation: {', '.join(unknown)} (one of {', '.join(OPERATIONS)})")

    started = time.monotonic()
    tmp = Path(simtest.machine_dir("nvx-fault-sweep-"))
    machines = [SweepMachine(tmp / f"machine{i}") for i in range(max(1, args.jobs))]
    # A termination signal still ends every process of these machines (simtest's handler).
    simtest._live_machines.extend(sm.machine for sm in machines)
    failed = False
    plans = {}
    try:
        for sm in machines:
            sm.create()
        if chosen:
            plans = {o: Plan(o, calls, how="chosen") for o, calls in chosen.items()}
        else:
            baseline = machines[0].whole_run()
            counts = machines[0].counts()
            print(f"run without a fault: {baseline.outcome} {baseline.detail}, stop {baseline.stop_ms:.0f} ms".rstrip())
            if baseline.outcome != "clean stop" or not counts:
                sys.exit("the run without a fault did not end cleanly; nothing to sweep")
            for operation in operations:
                made = counts.get(operation, (0, 0))[0]
                plans[operation] = plan_from_counts(operation, made, args.full_limit, args.points, ranges)
            print("calls a run makes: " + ", ".join(f"{p.operation} {p.made}" for p in plans.values()), flush=True)
        # Operation by operation in turn, so that a --time-limit leaves every operation swept in part.
        tasks = queue.Queue()
        for i in range(max((len(p.calls) for p in plans.values()), default=0)):
            for plan in plans.values():
                if i < len(plan.calls):
                    tasks.put((plan.operation, plan.calls[i]))
        lock = threading.Lock()
        deadline = started + args.time_limit if args.time_limit > 0 else float("inf")
        threads = [threading.Thread(target=worker, args=(sm, tasks, plans, lock, args.verbose, deadline))
                   for sm in machines]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        for sm in machines:
            problems = sm.machine.shut_down()
            if problems:
                print("machine did not end cleanly: " + "; ".join(problems), file=sys.stderr)
                failed = True
        shutil.rmtree(tmp, ignore_errors=True)

    print_table(plans.values())
    failed = failed or any(bad(r.outcome) for p in plans.values() for r in p.results.values())
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
