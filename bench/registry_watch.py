#!/usr/bin/env python3
"""Registry write to debug filter in effect, end to end, with the service running under the SCM in a
simulated machine.

    bench/registry_watch.py [--changes 100] [--machine DIR] [--bench-exe PATH] [--quick]

The service is started at DebugLevel 1, then registry_watch_bench.exe runs inside the same machine:
it writes DebugLevel (1 and 2 alternately) to the service key --changes times and, after each write,
waits for the service's Notice line "Registry DebugFacilities changed to ... DebugLevel N" in nvxs.log.
The latency of a change is the line's own time stamp (taken by the service as it switches to the new
filter) minus the system time just before RegSetValueExW; both come from the machine's one system
clock, so no host process start-up or file polling is counted. The time until the line could be read
from the file is shown beside it. Target: median under 100 ms. The program prints the row for
bench/run-all; --quick makes 3 changes.

Without --machine a machine is created in a temporary directory and removed at the end; with it, an
existing machine is used (its service must be stopped) and left as it was found (down or up).
Standard library only.
"""

import argparse
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.dont_write_bytecode = True
sys.path.insert(0, str(REPO / "sim"))

from nvxsimlib.command import checked_nvxsim, machine_for_bench, run_nvxsim  # noqa: E402
from nvxsimlib.logs import LOGS_DIR_WIN  # noqa: E402

LOG_WIN = LOGS_DIR_WIN + r"\nvxs.log"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--changes", type=int, default=100)
    parser.add_argument("--machine", help="use this existing machine instead of a new temporary one")
    parser.add_argument("--bench-exe", default=str(REPO / "build/mingw/bench/registry_watch_bench.exe"))
    parser.add_argument("--quick", action="store_true", help="3 changes: only shows that it runs")
    args = parser.parse_args()
    if args.quick:
        args.changes = 3
    bench = Path(args.bench_exe).resolve()
    if not bench.is_file():
        print(f"{bench} not found (build first: cmake --build --preset mingw)", file=sys.stderr)
        return 1

    try:
        with machine_for_bench(args.machine) as machine:
            checked_nvxsim(machine, "reg", "set", "service", "DebugFacilities", "--type", "REG_DWORD",
                           "--data", "0xffffffff")
            checked_nvxsim(machine, "reg", "set", "service", "DebugLevel", "--type", "REG_DWORD", "--data", "1")
            checked_nvxsim(machine, "start")
            try:
                print(f"\n{args.changes} changes of DebugLevel, service running under the SCM\n", flush=True)
                run = run_nvxsim(machine, "wine", str(bench), LOG_WIN, str(args.changes), timeout=600)
                sys.stdout.write(run.stdout.decode(errors="replace"))
                if run.returncode != 0:
                    print(run.stderr.decode(errors="replace"), file=sys.stderr)
                    return 1
            finally:
                checked_nvxsim(machine, "stop")
            return 0
    except RuntimeError as e:
        print(e, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
