#!/usr/bin/env python3
"""Start/stop cycle times of the service under the SCM in the simulated machine.

    bench/service_cycle.py [--cycles 10] [--hold-s 0.5] [--machine DIR] [--keep] [--quick]

Each cycle starts the service, leaves it running for --hold-s seconds (so the main loop sits in
its wait, as in normal operation) and stops it. Times are taken inside the machine by nvxsimctl:
start = start request to the first RUNNING status, stop = stop request to the first STOPPED
status. The host's time for each whole command (Wine process start-up included) is shown beside
them. Both are compared with the 10,000 ms wait hint the service gives the SCM. The last lines are
the rows for bench/run-all (bench/benchrows.py); --quick runs one cycle.

Without --machine a machine is created in a temporary directory and removed at the end; with it,
an existing machine is used and left as it was found (down or up). Standard library only.
"""

import argparse
import statistics
import sys
import time
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "sim"))
sys.path.insert(0, str(Path(__file__).resolve().parent))

from benchrows import row  # noqa: E402
from nvxsimlib.command import machine_for_bench, run_nvxsim  # noqa: E402

WAIT_HINT_MS = 10000


def nvxsim(machine, *args):
    """nvxsim's output as text, and the host's time for the whole command in ms."""
    started = time.monotonic()
    proc = run_nvxsim(machine, *args, timeout=300)
    return proc.returncode, proc.stdout.decode(errors="replace") + proc.stderr.decode(errors="replace"), \
        (time.monotonic() - started) * 1000


def first_status_ms(output, state_name):
    for line in output.splitlines():
        parts = line.split()
        if parts and parts[0] == "STATUS" and state_name in parts:
            return float(next(p for p in parts if p.startswith("t_ms=")).split("=", 1)[1])
    return None


def cycle(machine, hold_s):
    rc, start, start_host = nvxsim(machine, "--raw", "start")
    start_ms = first_status_ms(start, "RUNNING")
    if rc != 0 or start_ms is None:
        raise RuntimeError(f"start failed:\n{start}")
    time.sleep(hold_s)
    rc, stop, stop_host = nvxsim(machine, "--raw", "stop")
    stop_ms = first_status_ms(stop, "STOPPED")
    if rc != 0 or stop_ms is None:
        raise RuntimeError(f"stop failed:\n{stop}")
    return start_ms, stop_ms, start_host, stop_host


def summary(name, values):
    median, worst = statistics.median(values), max(values)
    return (f"{name:<26} median {median:9.1f} ms   worst {worst:9.1f} ms"
            f"   worst = {100 * worst / WAIT_HINT_MS:6.2f} % of the {WAIT_HINT_MS} ms wait hint")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cycles", type=int, default=10)
    parser.add_argument("--hold-s", type=float, default=0.5, help="time the service runs in each cycle")
    parser.add_argument("--machine", help="use this existing machine instead of a new temporary one")
    parser.add_argument("--quick", action="store_true", help="one cycle, no hold: only shows that it runs")
    args = parser.parse_args()
    if args.quick:
        args.cycles, args.hold_s = 1, 0.0

    try:
        with machine_for_bench(args.machine) as machine:
            _, query, _ = nvxsim(machine, "--raw", "query")
            if " STOPPED " not in query:
                print(f"the service is not stopped:\n{query}", file=sys.stderr)
                return 1
            print(f"\n{args.cycles} cycles, service running {args.hold_s:g} s in each\n")
            print(f"{'cycle':>5}  {'start ms':>9}  {'stop ms':>9}  {'start cmd ms':>12}  {'stop cmd ms':>12}")
            results = []
            for i in range(1, args.cycles + 1):
                r = cycle(machine, args.hold_s)
                results.append(r)
                print(f"{i:>5}  {r[0]:9.1f}  {r[1]:9.1f}  {r[2]:12.1f}  {r[3]:12.1f}", flush=True)
            print()
            print(summary("start (request->RUNNING)", [r[0] for r in results]))
            print(summary("stop (request->STOPPED)", [r[1] for r in results]))
            print(summary("start command (host)", [r[2] for r in results]))
            print(summary("stop command (host)", [r[3] for r in results]))
            for name, index in (("start", 0), ("stop", 1)):
                values = [r[index] for r in results]
                worst = max(values)
                row(f"service {name} under the SCM, median of {len(values)} (worst)",
                    f"{statistics.median(values):.1f} ms ({worst:.1f} ms)",
                    target=f"worst < {WAIT_HINT_MS} ms wait hint", met=worst < WAIT_HINT_MS)
            return 0
    except RuntimeError as e:
        print(e, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
