#!/usr/bin/env python3
"""Registry write to debug filter in effect, end to end, with the service running under the SCM in a
simulated machine.

    bench/registry_watch.py [--changes 100] [--machine DIR] [--bench-exe PATH]

The service is started at DebugLevel 1, then registry_watch_bench.exe runs inside the same machine:
it writes DebugLevel (1 and 2 alternately) to the service key --changes times and, after each write,
waits for the service's Notice line "Registry DebugFacilities changed to ... DebugLevel N" in nvxs.log.
The latency of a change is the line's own time stamp (taken by the service as it switches to the new
filter) minus the system time just before RegSetValueExW; both come from the machine's one system
clock, so no host process start-up or file polling is counted. The time until the line could be read
from the file is shown beside it. Target: median under 100 ms.

Without --machine a machine is created in a temporary directory and removed at the end; with it, an
existing machine is used (its service must be stopped) and left as it was found (down or up).
Standard library only.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
NVXSIM = REPO / "sim" / "nvxsim"
LOG_WIN = r"C:\ProgramData\Kestro\Vantor\Logs\nvxs.log"


def nvxsim(machine, *args, timeout=300):
    argv = [sys.executable, str(NVXSIM), "--machine", str(machine), *args]
    return subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=timeout)


def checked(machine, *args, timeout=300):
    proc = nvxsim(machine, *args, timeout=timeout)
    if proc.returncode != 0:
        raise RuntimeError(f"nvxsim {' '.join(args)} failed ({proc.returncode}):\n{proc.stdout}{proc.stderr}")
    return proc


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--changes", type=int, default=100)
    parser.add_argument("--machine", help="use this existing machine instead of a new temporary one")
    parser.add_argument("--bench-exe", default=str(REPO / "build/mingw/bench/registry_watch_bench.exe"))
    args = parser.parse_args()
    bench = Path(args.bench_exe).resolve()
    if not bench.is_file():
        print(f"{bench} not found (build first: cmake --build --preset mingw)", file=sys.stderr)
        return 1

    tmp = None
    if args.machine:
        machine = Path(args.machine).resolve()
        was_up = "State       up" in nvxsim(machine, "status").stdout
    else:
        tmp = tempfile.mkdtemp(prefix="nvx-bench-")
        machine = Path(tmp) / "machine"
        was_up = False
        print(f"creating a machine in {machine} ...", flush=True)
        started = time.monotonic()
        created = nvxsim(machine, "create", timeout=600)
        if created.returncode != 0:
            print(created.stdout + created.stderr, file=sys.stderr)
            shutil.rmtree(tmp, ignore_errors=True)
            return 1
        print(f"created in {time.monotonic() - started:.1f} s", flush=True)
    try:
        checked(machine, "reg", "set", "service", "DebugFacilities", "--type", "REG_DWORD", "--data", "0xffffffff")
        checked(machine, "reg", "set", "service", "DebugLevel", "--type", "REG_DWORD", "--data", "1")
        checked(machine, "start")
        try:
            print(f"\n{args.changes} changes of DebugLevel, service running under the SCM\n", flush=True)
            run = nvxsim(machine, "wine", str(bench), LOG_WIN, str(args.changes), timeout=600)
            sys.stdout.write(run.stdout)
            if run.returncode != 0:
                print(run.stderr, file=sys.stderr)
                return 1
        finally:
            checked(machine, "stop")
        return 0
    finally:
        if not was_up:
            down = nvxsim(machine, "down", timeout=180)
            if down.returncode != 0:
                print(down.stdout + down.stderr, file=sys.stderr)
        if tmp:
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    os.environ.setdefault("PYTHONDONTWRITEBYTECODE", "1")
    sys.exit(main())
