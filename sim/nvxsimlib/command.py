"""nvxsim run as a user runs it, for the scenario tests and the benchmarks."""

import contextlib
import json
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from .wine import WineError, WinePrefix

NVXSIM = Path(__file__).resolve().parents[1] / "nvxsim"


def run_nvxsim(machine, *args, timeout=240, env=None):
    """`nvxsim --machine MACHINE ARGS` in a process of its own: CompletedProcess with bytes output."""
    argv = [sys.executable, str(NVXSIM), "--machine", str(machine), *args]
    return subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, env=env, timeout=timeout)


def checked_nvxsim(machine, *args, timeout=300):
    """run_nvxsim that raises RuntimeError with nvxsim's output when it fails."""
    proc = run_nvxsim(machine, *args, timeout=timeout)
    if proc.returncode != 0:
        raise RuntimeError(f"nvxsim {' '.join(args)} failed ({proc.returncode}):\n"
                           f"{proc.stdout.decode(errors='replace')}{proc.stderr.decode(errors='replace')}")
    return proc


def built_program(path):
    """`path` resolved, when the build has made it; RuntimeError saying how to build it otherwise."""
    program = Path(path).resolve()
    if not program.is_file():
        raise RuntimeError(f"{program} not found (build first: cmake --build --preset mingw)")
    return program


@contextlib.contextmanager
def machine_for_bench(existing=None, build="shipped"):
    """A machine to measure on: `existing` (left down or up, as it was found), or a new one of
    `build` in a temporary directory, removed at the end. Nothing of a machine that was down is
    left running afterwards."""
    tmp = None
    if existing:
        machine = Path(existing).resolve()
        status = run_nvxsim(machine, "status", "--json")
        was_up = status.returncode == 0 and json.loads(status.stdout).get("state") == "up"
    else:
        tmp = tempfile.mkdtemp(prefix="nvx-bench-")
        machine = Path(tmp) / "machine"
        was_up = False
        print(f"creating a machine in {machine} ({build} build) ...", flush=True)
        started = time.monotonic()
        checked_nvxsim(machine, "create", "--build", build, timeout=600)
        print(f"created in {time.monotonic() - started:.1f} s", flush=True)
    try:
        yield machine
    finally:
        if not was_up:
            down = run_nvxsim(machine, "down", timeout=180)
            if down.returncode != 0:
                print((down.stdout + down.stderr).decode(errors="replace"), file=sys.stderr)
            with contextlib.suppress(WineError):
                for process in WinePrefix(machine / "prefix").end():
                    print(f"killed {process.pid} {process.cmdline}: left after nvxsim down", file=sys.stderr)
        if tmp:
            shutil.rmtree(tmp, ignore_errors=True)
