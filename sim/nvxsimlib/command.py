"""nvxsim run as a user runs it, for the scenario tests and the benchmarks."""

import contextlib
import json
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from .layout import BENCH_DIR_IN_PREFIX
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


def async_connections(machine):
    """The numbers of the driver's attached connections on the asynchronous port."""
    status = json.loads(checked_nvxsim(machine, "driver", "status", "--json").stdout)
    return {c["conn"] for c in status.get("connections", []) if c["port"] == "async" and c.get("attached", True)}


@contextlib.contextmanager
def echo_peer(machine, peer_exe, idle_ms, max_s, connect_wait_s=120):
    """command_echo_peer.exe run in the machine beside whatever is connected: yields a dictionary
    with its connection ("conn"); once the block is done, waits for the peer to end (idle_ms after
    the last command it got) and adds how many commands it echoed ("echoed"). RuntimeError when it
    does not connect within connect_wait_s or does not end well; the peer is never left running.
    It runs from a copy inside the machine, so its fltlib.dll is the one the service loads."""
    before = async_connections(machine)
    inside = Path(machine) / "prefix" / BENCH_DIR_IN_PREFIX
    inside.mkdir(parents=True, exist_ok=True)
    program = shutil.copy2(peer_exe, inside / Path(peer_exe).name)
    argv = [sys.executable, str(NVXSIM), "--machine", str(machine), "--timeout", str(max_s + 60), "wine",
            str(program), str(idle_ms), str(max_s)]
    peer = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + connect_wait_s
        new = set()
        while not new:
            if peer.poll() is not None:
                out, err = peer.communicate()
                raise RuntimeError(f"the echo peer ended before it connected ({peer.returncode}):\n"
                                   f"{out.decode(errors='replace')}{err.decode(errors='replace')}")
            if time.monotonic() > deadline:
                raise RuntimeError(f"the echo peer did not connect within {connect_wait_s} s")
            time.sleep(0.2)
            new = async_connections(machine) - before
        result = {"conn": max(new)}
        yield result
        out, err = peer.communicate(timeout=idle_ms / 1000 + 120)
        ended = next((json.loads(line) for line in out.decode(errors="replace").splitlines()
                      if line.startswith('{"event":"ended"')), None)
        if peer.returncode != 0 or ended is None:
            raise RuntimeError(f"the echo peer failed ({peer.returncode}):\n"
                               f"{out.decode(errors='replace')}{err.decode(errors='replace')}")
        result["echoed"] = ended["echoed"]
    finally:
        if peer.poll() is None:
            peer.kill()  # the nvxsim front only; the machine's end takes the Windows process
            peer.wait()


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
