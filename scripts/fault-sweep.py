#!/usr/bin/env python3
"""Fault sweep: a whole run of the test build under the SCM, repeated with call N of one operation
failing, for N = 1 .. the calls a run without a fault makes (or --max), operation by operation.

One run, on a simulated machine of its own (sim/nvxsim): the driver loaded, the service started,
the driver's "Version" asked, a journal compressed by the first pass, DebugLevel changed through
the registry, the service stopped. Each run ends in one outcome:

  clean stop        started, stopped with exit code 0
  stop N            started, stopped with exit code N
  failed start N    never ran; N is the exit code the SCM shows (1053: the process ended before
                    it reached the SCM)
  hang              a start or stop that did not complete, or a process left after the stop
  crash             the SCM saw the process end without its STOPPED report (1067)
  leak              the shutdown reported unreleased pool buffers
  lost journal      the journal was neither compressed nor kept, or a .tmp was left

  scripts/fault-sweep.py [--ops RegOpenKey,ThreadCreate] [--max N] [--build-dir build/mingw] [-v]

The service's own exit codes and log lines for each step are in docs/ARCHITECTURE.md; the summary
table lists, per operation, the calls swept and how many runs ended in each outcome. Exit status 1
when any run hung, crashed, leaked or lost a journal.
"""

import argparse
import collections
import os
import re
import shutil
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "scenario"))

from simtest import RUNNING, SERVICE_KEY, STOPPED, SimMachine  # noqa: E402

PARAMS_KEY = "params"
COUNTS_FILE = r"C:\fault-counts.txt"
STORE = "drive_c/ProgramData/Kestro/Vantor/Data/Event Journals/KestroNVX"
JOURNAL = ("Dns", "Dns-1-2-3-4.bin")
UNRELEASED = re.compile(r"^There are (\d+) unreleased (?:big chunk|memory) buffers$")
LOG_END = re.compile(r"^There were \d+ missed debug log messages$")
DEFAULT_OPS = ["ThreadCreate", "EventCreate", "RegOpenKey", "RegNotify", "FilterConnect", "Scm"]
ERROR_PROCESS_ABORTED = 1067
BAD = ("hang", "crash", "leak", "lost journal")


def run_texts(machine):
    lines = machine.log_lines() or []
    starts = [i for i, e in enumerate(lines) if e.text == "Service Starting..."]
    return [e.text for e in lines[starts[-1]:]] if starts else []


def read_counts(machine):
    path = machine.prefix / "drive_c" / "fault-counts.txt"
    if not path.exists():
        return {}
    words = path.read_text().split()
    return {words[i]: (int(words[i + 1]), int(words[i + 2])) for i in range(0, len(words) - 2, 3)}


def service_processes(machine):
    return [cmd for _, cmd in machine.processes() if "NVXService.exe" in cmd]


def wait_until(predicate, timeout):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)
    return True


def whole_run(machine):
    """One run of the service; returns (outcome, detail)."""
    store = machine.prefix / STORE
    for path in store.rglob("*"):
        if path.is_file():
            path.unlink()
    (machine.prefix / "drive_c" / "fault-counts.txt").unlink(missing_ok=True)
    machine.checked("journal", "write", JOURNAL[0], JOURNAL[1], "--size", "20000", "--content", "text")
    machine.reg_set(SERVICE_KEY, "DebugLevel", "REG_DWORD", 1)

    start = machine.service("start")
    if start.timed_out:
        return "hang", "start"
    state = start.statuses[-1].state if start.statuses else None
    if state != RUNNING:
        if not wait_until(lambda: not service_processes(machine), 15):
            return "hang", "a process left after a failed start"
        status = machine.query()
        if status.exit_code == ERROR_PROCESS_ABORTED:
            return "crash", "in start-up"
        code = start.error if start.error is not None else status.exit_code
        return check_end(machine, store, f"failed start {code:#x}", ran=False)

    machine.nvxsim("driver", "wait-connect", "--port", "async", "--timeout-ms", "8000")
    machine.nvxsim("driver", "send", "--kind", "get", "VERSION")
    journal = store / JOURNAL[0]
    stem = JOURNAL[1][:-4]
    wait_until(lambda: (journal / (stem + ".xz")).exists() and not (journal / JOURNAL[1]).exists(), 20)
    machine.reg_set(SERVICE_KEY, "DebugLevel", "REG_DWORD", 2)
    time.sleep(0.5)
    machine.reg_set(SERVICE_KEY, "DebugLevel", "REG_DWORD", 1)

    stop = machine.service("stop")
    if stop.timed_out or not stop.statuses or stop.statuses[-1].state != STOPPED:
        return "hang", "stop"
    if not wait_until(lambda: not service_processes(machine), 15):
        return "hang", "a process left after the stop"
    code = stop.statuses[-1].exit_code
    if code == ERROR_PROCESS_ABORTED:
        return "crash", "before the stop completed"
    return check_end(machine, store, "clean stop" if code == 0 else f"stop {code:#x}", ran=True)


def check_end(machine, store, outcome, ran):
    texts = run_texts(machine)
    # The last line is at Debug level: a fault that changes the level read from the registry, or one
    # that ends the process before the debug log's shutdown, leaves the log without it.
    note = "log without its Debug last line" if texts and not any(LOG_END.match(t) for t in texts) else ""
    leaks = [t for t in texts if (m := UNRELEASED.match(t)) and int(m.group(1)) != 0]
    if leaks:
        return "leak", "; ".join(leaks)
    journal = store / JOURNAL[0]
    names = sorted(p.name for p in journal.iterdir()) if journal.is_dir() else []
    if any(n.endswith(".tmp") for n in names) and ran:
        return "lost journal", f".tmp left: {names}"
    if JOURNAL[1] not in names and JOURNAL[1][:-4] + ".xz" not in names:
        return "lost journal", f"store: {names}"
    return outcome, note


def arm(machine, operation, call):
    machine.reg_set(PARAMS_KEY, "TestFaultOperation", "REG_SZ", operation)
    machine.reg_set(PARAMS_KEY, "TestFaultCall", "REG_DWORD", call)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--ops", default=",".join(DEFAULT_OPS), help="operations, comma-separated")
    parser.add_argument("--max", type=int, default=0, help="sweep at most this many calls per operation")
    parser.add_argument("--build-dir", default=str(ROOT / "build" / "mingw"))
    parser.add_argument("-v", "--verbose", action="store_true", help="print every run's outcome")
    args = parser.parse_args()

    build = Path(args.build_dir).resolve()
    os.environ.setdefault("NVXSIM_EXE", str(build / "service" / "NVXService.exe"))
    os.environ.setdefault("NVXSIM_FAULTS_EXE", str(build / "service" / "faults" / "NVXService.exe"))
    os.environ.setdefault("NVXSIM_CTL", str(build / "sim" / "nvxsimctl.exe"))
    faults = Path(os.environ["NVXSIM_FAULTS_EXE"])
    if not faults.is_file():
        sys.exit(f"{faults} not found (build the NVXServiceFaults target)")

    tmp = tempfile.mkdtemp(prefix="nvx-fault-sweep-")
    machine = SimMachine(Path(tmp) / "machine")
    table = []
    bad = False
    try:
        machine.checked("create", "--build", "shipped")
        machine.checked("--exe", str(faults), "install")
        machine.reg_set(PARAMS_KEY, "TestFaultCountsFile", "REG_SZ", COUNTS_FILE)
        machine.checked("driver", "start")

        machine.reg_delete(PARAMS_KEY, "TestFaultOperation")
        baseline, detail = whole_run(machine)
        counts = read_counts(machine)
        print(f"run without a fault: {baseline} {detail}".rstrip())
        if baseline != "clean stop" or not counts:
            sys.exit("the run without a fault did not end cleanly; nothing to sweep")

        for operation in [o.strip() for o in args.ops.split(",") if o.strip()]:
            if operation not in counts:
                print(f"{operation}: no such operation", file=sys.stderr)
                bad = True
                continue
            calls = counts[operation][0]
            swept = min(calls, args.max) if args.max > 0 else calls
            outcomes = collections.Counter()
            for n in range(1, swept + 1):
                if service_processes(machine):
                    machine.shut_down()
                machine.ensure_stopped()
                arm(machine, operation, n)
                outcome, detail = whole_run(machine)
                outcomes[outcome] += 1
                if outcome in BAD:
                    bad = True
                if args.verbose or outcome in BAD:
                    print(f"{operation} call {n}: {outcome} {detail}".rstrip(), flush=True)
            machine.reg_delete(PARAMS_KEY, "TestFaultOperation")
            table.append((operation, calls, swept, outcomes))
    finally:
        problems = machine.shut_down()
        if problems:
            print("machine did not end cleanly: " + "; ".join(problems), file=sys.stderr)
            bad = True
        shutil.rmtree(tmp, ignore_errors=True)

    print()
    print(f"{'operation':<16} {'calls':>6} {'swept':>6}  outcomes")
    for operation, calls, swept, outcomes in table:
        shown = ", ".join(f"{k} x{v}" for k, v in sorted(outcomes.items()))
        print(f"{operation:<16} {calls:>6} {swept:>6}  {shown}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
