#!/usr/bin/env python3
"""Stop times of the service under the SCM, with the stop requested in each state it can be in.

    bench/stop_states.py [--runs 5] [--quick] [--states NAME,...] [--machine DIR]

States (each run brings the service into the state, then requests the stop):
  start-up         the stop is sent again and again from the start request on, until the SCM takes it
  journal-pass     the first journal pass, compressing 12 journals of 1 MiB
  compress-64MiB   in the middle of compressing a 64 MiB journal (its .tmp is growing)
  wsc-hang         a "WSCClient" command waits for a client that never exits
  receive          the driver connected, the communications thread waiting in its receive
  registry-change  DebugFacilities rewritten in a loop, so the registry thread handles changes
  perf-sample      performance samples whose PDH collection takes 3 s, one a second
  driver-absent    no driver: the main loop retries its ports every 5 s
  driver-gone      the driver unloaded under the running service, its loss logged

Every stop must reach STOPPED with exit code 0 within the 10 s wait hint the service gives the SCM,
never report RUNNING once it has reported STOP_PENDING, and the leak report of its shutdown
(nvxs.log) must be empty. Times are taken inside the machine by
nvxsimctl, from the stop request to the first STOPPED status. One table: state, runs, runs whose stop
met the state as intended (where that can be seen), median and worst stop time, clean runs; then one
ROW line per state (metric "stop worst: STATE", target "<= 10 s"; met only when every run was clean).
--quick runs each state once. The exit status is 1 when any stop was not clean.

The machine runs the simulated machine's build of the service (it can start the WSC client), at
DebugLevel 1 so that the leak report is logged. Without --machine one is created in a temporary
directory and removed at the end. Standard library only.
"""

import argparse
import json
import os
import statistics
import sys
import threading
import time
from datetime import datetime, timezone
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.dont_write_bytecode = True
sys.path.insert(0, str(REPO / "sim"))

from nvxsimlib.command import checked_nvxsim, machine_for_bench, run_nvxsim  # noqa: E402
from nvxsimlib.journals import JOURNAL_ROOT_IN_PREFIX, JOURNAL_TYPES  # noqa: E402
from nvxsimlib.layout import CTL_WIN, SERVICE_NAME  # noqa: E402
from nvxsimlib.logs import LOGS_DIR_IN_PREFIX, PERF_LOG_IN_PREFIX, parse_log_line  # noqa: E402

WAIT_HINT_MS = 10000
STOPPED, STOP_PENDING, RUNNING = 1, 3, 4
# The controls the service accepts while it starts (stop and shutdown); RUNNING accepts stop only.
ACCEPTED_WHILE_STARTING = 0x5
LEAK_LINES = ("There are 0 unreleased big chunk buffers", "There are 0 unreleased memory buffers")
LOG_END = " missed debug log messages"
PORT_LOST = "The driver closed its communications port"
STOP_TAKEN = "Service status 3 checkpoint 1 "  # the stop handler's STOP_PENDING report


class Bench:
    def __init__(self, machine):
        self.machine = machine
        self.prefix = machine / "prefix"
        self.store = self.prefix / JOURNAL_ROOT_IN_PREFIX

    def nvxsim(self, *args, timeout=300):
        proc = run_nvxsim(self.machine, *args, timeout=timeout)
        return proc.returncode, proc.stdout.decode(errors="replace") + proc.stderr.decode(errors="replace")

    def checked(self, *args, timeout=300):
        return checked_nvxsim(self.machine, *args, timeout=timeout).stdout.decode(errors="replace")

    # ---- the service

    def state(self):
        _, out = self.nvxsim("--raw", "query")
        return next((s["state"] for s in statuses(out)), None)

    def start(self):
        rc, out = self.nvxsim("--raw", "start")
        if not any(s["state"] == 4 for s in statuses(out)):
            raise RuntimeError(f"the service did not start:\n{out}")

    def ensure_stopped(self):
        if self.state() != STOPPED:
            self.nvxsim("--raw", "stop")

    # ---- the log

    def log_lines(self):
        lines = []
        for name in ("nvxs1.log", "nvxs.log"):
            try:
                data = (self.prefix / LOGS_DIR_IN_PREFIX / name).read_bytes()
            except FileNotFoundError:
                continue
            for raw in data.split(b"\r\n"):
                parsed = parse_log_line(raw.decode("utf-8", errors="replace"))
                if parsed is not None:
                    lines.append(parsed)
        return lines

    def run_log(self):
        return [line.text for line in self.run_entries()]

    def run_entries(self):
        """This run's parsed log lines (time, facility, level, text), from its start on."""
        lines = self.log_lines()
        starts = [i for i, line in enumerate(lines) if line.text == "Service Starting..."]
        return lines[starts[-1]:] if starts else []

    def stop_taken_at(self):
        """When the service's stop handler reported STOP_PENDING (UTC), or None."""
        return next((line.time for line in self.run_entries() if line.text.startswith(STOP_TAKEN)), None)

    def wait_log(self, predicate, timeout, what):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if predicate(self.run_log()):
                return
            time.sleep(0.1)
        raise RuntimeError(f"{what} not logged within {timeout} s")

    def shutdown_report(self):
        """(ended, leak report empty) of the last shutdown, once its log is whole."""
        deadline = time.monotonic() + 15
        while True:
            lines = self.run_log()
            ended = any(text.endswith(LOG_END) for text in lines)
            if ended or time.monotonic() > deadline:
                return ended, all(line in lines for line in LEAK_LINES)
            time.sleep(0.1)

    # ---- journals

    def write_journal(self, kind, name, size):
        directory = self.store / kind
        directory.mkdir(parents=True, exist_ok=True)
        (directory / name).write_bytes(os.urandom(size))

    def journals(self, suffix):
        return [p for p in self.store.glob(f"*/*{suffix}")] if self.store.is_dir() else []

    def clear_store(self):
        for path in self.journals(""):
            if path.is_file():
                path.unlink()


def statuses(out):
    """The STATUS records of nvxsimctl's output as dicts (state, exit_code, t_ms, source)."""
    found = []
    for line in out.splitlines():
        parts = line.split()
        if not parts or parts[0] != "STATUS" or "state=" not in line:
            continue
        fields = dict(p.split("=", 1) for p in parts[1:] if "=" in p)
        found.append({"state": int(fields["state"]), "exit_code": int(fields["exit_code"], 16),
                      "t_ms": float(fields["t_ms"]), "source": fields.get("source", ""),
                      "accepted": int(fields.get("accepted", "0"), 16)})
    return found


# ---- the states: each prepares (service stopped), brings the service into its state and answers
# whether the stop met it (True/False, or None where that cannot be seen), and cleans up.

class State:
    name = ""
    needs_driver = False

    def prepare(self, b):
        pass

    def bring(self, b):
        """Starts the service and brings it into the state."""
        b.start()

    def stop(self, b):
        rc, out = b.nvxsim("--raw", "stop")
        return out

    def met(self, b, stop_output):
        return None

    def cleanup(self, b):
        pass


class StartUp(State):
    name = "start-up"

    def bring(self, b):
        pass

    def stop(self, b):
        _, out = b.nvxsim("wine", CTL_WIN, "startstop", SERVICE_NAME, "30000")
        return out

    def met(self, b, out):
        # The SCM answers the stop with the handler's STOP_PENDING, which keeps the accepted
        # controls of the status it replaced: those of START_PENDING when the start was not over.
        control = [s for s in statuses(out) if s["source"] == "control"]
        return bool(control) and control[0]["accepted"] == ACCEPTED_WHILE_STARTING


class JournalPass(State):
    name = "journal-pass"
    count, size = 12, 1 << 20

    def prepare(self, b):
        b.clear_store()
        for i, kind in enumerate(JOURNAL_TYPES[:self.count]):
            b.write_journal(kind, f"{kind}-{i + 1:X}-{i + 1:X}-1-1.bin", self.size)

    def bring(self, b):
        b.start()
        time.sleep(0.3)

    def met(self, b, out):
        return len(b.journals(".xz")) < self.count

    def cleanup(self, b):
        b.clear_store()


class Compress64(State):
    name = "compress-64MiB"

    def prepare(self, b):
        b.clear_store()
        b.write_journal("Dns", "Dns-1A-2B-3-4.bin", 64 << 20)

    def bring(self, b):
        b.start()
        deadline = time.monotonic() + 60
        while not b.journals(".tmp"):
            if time.monotonic() > deadline:
                raise RuntimeError("the 64 MiB journal's compression did not begin")
            time.sleep(0.05)
        time.sleep(0.5)

    def met(self, b, out):
        return not b.journals(".xz") and len(b.journals(".bin")) == 1 and not b.journals(".tmp")

    def cleanup(self, b):
        b.clear_store()


def start_connected(b):
    """Starts the service with the driver loaded and waits until its communications thread runs."""
    b.start()
    b.checked("driver", "wait-connect", "--port", "async", "--timeout-ms", "15000")
    b.wait_log(lambda ls: "[0] Communications thread starting" in ls, 15, "the communications thread's start")


class WscHang(State):
    name = "wsc-hang"
    needs_driver = True

    def prepare(self, b):
        b.checked("wsc", "hang")

    def bring(self, b):
        start_connected(b)
        b.checked("driver", "send", "--no-wait", "--kind", "exec", "wscclient -x")
        deadline = time.monotonic() + 30
        while not self.running(b):
            if time.monotonic() > deadline:
                raise RuntimeError("no WSC client came to hang")
            time.sleep(0.1)

    def running(self, b):
        return bool(json.loads(b.checked("wsc", "status", "--json")).get("running"))

    def met(self, b, out):
        return True

    def cleanup(self, b):
        b.nvxsim("wsc", "release")
        b.checked("wsc", "set-exit", "0")


class Receive(State):
    name = "receive"
    needs_driver = True

    def bring(self, b):
        start_connected(b)
        time.sleep(0.3)

    def met(self, b, out):
        return True


class RegistryChange(State):
    name = "registry-change"

    def bring(self, b):
        b.start()
        self.flipping = threading.Event()
        self.flipping.set()

        def flip():
            value = 0xFFFFFFFE
            while self.flipping.is_set():
                b.nvxsim("reg", "set", "service", "DebugFacilities", "--type", "REG_DWORD", "--data", hex(value))
                value ^= 1
        self.flipper = threading.Thread(target=flip)
        self.flipper.start()
        b.wait_log(lambda ls: any(t.startswith("Registry DebugFacilities changed") for t in ls), 30,
                   "a registry change")

    def stop(self, b):
        try:
            return super().stop(b)
        finally:
            self.flipping.clear()
            self.flipper.join()

    def cleanup(self, b):
        b.checked("reg", "set", "service", "DebugFacilities", "--type", "REG_DWORD", "--data", "0xffffffff")


class PerfSample(State):
    name = "perf-sample"
    needs_driver = True

    def prepare(self, b):
        b.checked("driver", "version", "2.1.0.0")
        b.checked("pdh", "quirk", "slow-collect", "3000")
        # Samples follow one another (1 s period, 3 s each), so the stop meets one collecting
        # however long the host takes to carry the start and the stop.
        b.checked("reg", "set", "params", "PerfCollectionPeriodSec", "--type", "REG_DWORD", "--data", "1")
        self.csv = b.prefix / PERF_LOG_IN_PREFIX
        self.csv.unlink(missing_ok=True)

    def bring(self, b):
        b.start()
        time.sleep(0.5)

    def met(self, b, out):
        # The sample that was collecting at the stop finishes in the shutdown: its row is written
        # after the stop handler's report (both times are the host's clock).
        taken = b.stop_taken_at()
        try:
            written = datetime.fromtimestamp(self.csv.stat().st_mtime, timezone.utc)
        except FileNotFoundError:
            return False
        return taken is not None and written > taken

    def cleanup(self, b):
        b.checked("pdh", "quirk", "--clear")
        b.nvxsim("reg", "delete", "params", "PerfCollectionPeriodSec")
        b.checked("driver", "version", "--remove")


class DriverAbsent(State):
    name = "driver-absent"

    def bring(self, b):
        b.start()
        time.sleep(0.5)

    def met(self, b, out):
        return "Initialize async communications" not in b.run_log()


class DriverGone(State):
    name = "driver-gone"
    needs_driver = True

    def bring(self, b):
        start_connected(b)
        b.checked("driver", "stop")
        b.wait_log(lambda ls: PORT_LOST in ls, 15, "the driver's loss")

    def met(self, b, out):
        return True


STATES = [StartUp(), JournalPass(), Compress64(), WscHang(), Receive(), RegistryChange(), PerfSample(),
          DriverAbsent(), DriverGone()]


def one_run(b, state):
    """(stop ms or None, met, clean, why not clean)."""
    b.ensure_stopped()
    b.nvxsim("driver", "stop")
    state.prepare(b)
    try:
        if state.needs_driver:
            b.checked("driver", "start")
        state.bring(b)
        out = state.stop(b)
        met = state.met(b, out)
        seen = statuses(out)
        last = seen[-1] if seen else None
        ended, no_leak = b.shutdown_report()
        problems = []
        stopping = [i for i, s in enumerate(seen) if s["state"] == STOP_PENDING]
        if stopping and any(s["state"] == RUNNING for s in seen[stopping[0]:]):
            problems.append("RUNNING after STOP_PENDING")
        if last is None or last["state"] != STOPPED:
            problems.append("not STOPPED")
        elif last["exit_code"] != 0:
            problems.append(f"exit code 0x{last['exit_code']:08X}")
        elif last["t_ms"] > WAIT_HINT_MS:
            problems.append("past the wait hint")
        if not ended:
            problems.append("log not ended")
        elif not no_leak:
            problems.append("leak report not empty")
        return (last["t_ms"] if last else None), met, not problems, ", ".join(problems) or "-"
    finally:
        b.ensure_stopped()
        state.cleanup(b)
        b.nvxsim("driver", "stop")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5, help="stops per state (5)")
    parser.add_argument("--quick", action="store_true", help="one stop per state")
    parser.add_argument("--states", help="only these states, comma-separated")
    parser.add_argument("--machine", help="use this existing machine instead of a new temporary one")
    args = parser.parse_args()
    runs = 1 if args.quick else args.runs
    chosen = STATES
    if args.states:
        names = args.states.split(",")
        unknown = [n for n in names if n not in {s.name for s in STATES}]
        if unknown:
            parser.error(f"no such state: {', '.join(unknown)} (states: {', '.join(s.name for s in STATES)})")
        chosen = [s for s in STATES if s.name in names]

    results = {}
    try:
        with machine_for_bench(args.machine, build="sim") as machine:
            b = Bench(machine)
            checked_nvxsim(machine, "reg", "set", "service", "DebugLevel", "--type", "REG_DWORD", "--data", "1")
            for state in chosen:
                results[state.name] = []
                for i in range(runs):
                    r = one_run(b, state)
                    results[state.name].append(r)
                    ms = "-" if r[0] is None else f"{r[0]:.1f} ms"
                    print(f"{state.name:<16} run {i + 1}: stop {ms:>10}  met {fmt_met(r[1]):<3}  "
                          f"{'clean' if r[2] else 'NOT clean: ' + r[3]}", flush=True)
    except RuntimeError as e:
        print(e, file=sys.stderr)
        return 1

    print()
    print("| state | runs | met | median stop | worst stop | clean |")
    print("|---|---|---|---|---|---|")
    rows, all_clean = [], True
    for name, rs in results.items():
        times = [r[0] for r in rs if r[0] is not None]
        median = f"{statistics.median(times):.1f} ms" if times else "-"
        worst = f"{max(times):.1f} ms" if times else "-"
        mets = [r[1] for r in rs if r[1] is not None]
        met = f"{sum(mets)}/{len(rs)}" if mets else "-"
        clean = sum(r[2] for r in rs)
        all_clean &= clean == len(rs)
        print(f"| {name} | {len(rs)} | {met} | {median} | {worst} | {clean}/{len(rs)} |")
        ok = clean == len(rs) and len(times) == len(rs) and max(times) <= WAIT_HINT_MS
        rows.append(f"ROW\tstop worst: {name}\t{worst}\t-\t-\t<= 10 s\t{'yes' if ok else 'no'}")
    print()
    for row in rows:
        print(row)
    return 0 if all_clean else 1


def fmt_met(value):
    return "-" if value is None else ("yes" if value else "no")


if __name__ == "__main__":
    sys.exit(main())
