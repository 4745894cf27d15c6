#!/usr/bin/env python3
"""Command round trips: "Version" from the driver simulator to the service under the SCM and its
reply back, beside the floor of the same transport, in one run on a simulated machine.

    bench/command_round_trip.py [--seconds 10] [--quick] [--machine DIR] [--peer-exe PATH]

The driver simulator sends a Get "Version" command on the service's asynchronous connection,
waits for the final reply, and sends the next one at once (`nvxsim driver flood`): one command in
flight, for --seconds after a warm-up. The latency of a round trip runs from just before the
driver writes the command to its message pipe until its port server has taken the reply from
the send pipe; the service receives it with its overlapped FilterGetMessage on its completion
port, looks the command up, builds the reply and sends it with FilterSendMessage.

The floor is measured the same way in the same run, against command_echo_peer.exe: a second
connection to the same port through the same fltlib.dll, with the same overlapped receive on a
completion port, whose only work is to send each command straight back as its reply. Both go
through the same pipes, the same port server and the same driver journal; what differs is the
service's own receive, dispatch and reply path. Target: the service reaches at least half the
floor's round trips per second.

--quick runs each side for 1 s (it only shows that everything builds and runs). Without
--machine a machine is created in a temporary directory and removed at the end; with it, an
existing machine is used (its service must be stopped) and left as it was found (down or up).
Prints a table and one ROW line per metric (metric, ours, floor, ratio, target, met). Standard
library only.
"""

import argparse
import json
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.dont_write_bytecode = True
sys.path.insert(0, str(REPO / "sim"))

from nvxsimlib.command import NVXSIM, built_program, checked_nvxsim, machine_for_bench, run_nvxsim  # noqa: E402

TARGET_RATIO = 0.5
PEER_IDLE_MS = 2000  # the peer ends this long after the flood's last command
CONNECT_WAIT_S = 120


def async_connections(machine):
    """The driver's attached connections on the asynchronous port, by number."""
    status = json.loads(checked_nvxsim(machine, "driver", "status", "--json").stdout)
    return {c["conn"] for c in status.get("connections", []) if c["port"] == "async" and c.get("attached", True)}


def flood(machine, conn, seconds, warmup_ms):
    """`nvxsim driver flood` on one connection: its {"event":"flood"} record."""
    proc = checked_nvxsim(machine, "driver", "flood", "--conn", str(conn), "--seconds", str(seconds),
                          "--warmup-ms", str(warmup_ms), "--json", timeout=seconds + 300)
    for line in proc.stdout.decode(errors="replace").splitlines():
        record = json.loads(line)
        if record.get("event") == "flood":
            return record
    raise RuntimeError(f"the flood gave no result:\n{proc.stdout.decode(errors='replace')}")


def floor_flood(machine, peer_exe, seconds, warmup_ms):
    """The same flood against the echo peer, started beside the service for the purpose."""
    before = async_connections(machine)
    max_s = seconds + warmup_ms // 1000 + CONNECT_WAIT_S + 300
    argv = [sys.executable, str(NVXSIM), "--machine", str(machine), "--timeout", str(max_s + 60), "wine",
            str(peer_exe), str(PEER_IDLE_MS), str(max_s)]
    peer = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + CONNECT_WAIT_S
        new = set()
        while not new:
            if peer.poll() is not None:
                out, err = peer.communicate()
                raise RuntimeError(f"the echo peer ended before it connected ({peer.returncode}):\n"
                                   f"{out.decode(errors='replace')}{err.decode(errors='replace')}")
            if time.monotonic() > deadline:
                raise RuntimeError(f"the echo peer did not connect within {CONNECT_WAIT_S} s")
            time.sleep(0.2)
            new = async_connections(machine) - before
        record = flood(machine, max(new), seconds, warmup_ms)
        out, err = peer.communicate(timeout=PEER_IDLE_MS / 1000 + 120)
        ended = next((json.loads(line) for line in out.decode(errors="replace").splitlines()
                      if line.startswith('{"event":"ended"')), None)
        if peer.returncode != 0 or ended is None:
            raise RuntimeError(f"the echo peer failed ({peer.returncode}):\n"
                               f"{out.decode(errors='replace')}{err.decode(errors='replace')}")
        record["peer_echoed"] = ended["echoed"]
        return record
    finally:
        if peer.poll() is None:
            peer.kill()  # the nvxsim front only; the machine's end takes the Windows process
            peer.wait()


def ratio_text(value):
    return f"{value:.2f}x"


def report(service, floor):
    ours_rate, floor_rate = float(service["per_second"]), float(floor["per_second"])
    rate_ratio = ours_rate / floor_rate if floor_rate else 0.0
    print()
    print(f"{'':<26}{'service (Version)':>20}{'floor (echo peer)':>20}{'ratio':>9}")
    print(f"{'round trips measured':<26}{service['round_trips']:>20}{floor['round_trips']:>20}")
    print(f"{'round trips per second':<26}{ours_rate:>20,.0f}{floor_rate:>20,.0f}{ratio_text(rate_ratio):>9}")
    for key, name in (("p50_us", "latency p50 (µs)"), ("p99_us", "latency p99 (µs)"),
                      ("mean_us", "latency mean (µs)"), ("max_us", "latency max (µs)")):
        ours, ref = float(service[key]), float(floor[key])
        print(f"{name:<26}{ours:>20,.1f}{ref:>20,.1f}{ratio_text(ours / ref if ref else 0):>9}")
    reply = service.get("reply", {}).get("msg", {}).get("text")
    print(f"\nthe service's reply: {reply!r}; target: at least {TARGET_RATIO:g} of the floor's round trips per"
          f" second: {'met' if rate_ratio >= TARGET_RATIO else 'NOT met'}")
    rows = [("command round trips per second (Version, service under the SCM)", f"{ours_rate:,.0f}/s",
             f"{floor_rate:,.0f}/s", ratio_text(rate_ratio), f">= {TARGET_RATIO:g}x",
             "yes" if rate_ratio >= TARGET_RATIO else "no")]
    for key, name in (("p50_us", "p50"), ("p99_us", "p99")):
        ours, ref = float(service[key]), float(floor[key])
        rows.append((f"command round trip latency {name}", f"{ours:,.0f} µs", f"{ref:,.0f} µs",
                     ratio_text(ours / ref if ref else 0), "-", "-"))
    for row in rows:
        print("\t".join(("ROW",) + row))
    return rate_ratio


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=int, default=10, help="measured time of each side")
    parser.add_argument("--quick", action="store_true", help="1 s each side, only to show that it runs")
    parser.add_argument("--machine", help="use this existing machine instead of a new temporary one")
    parser.add_argument("--peer-exe", default=str(REPO / "build/mingw/bench/command_echo_peer.exe"))
    args = parser.parse_args()
    seconds, warmup_ms = (1, 200) if args.quick else (args.seconds, 500)
    try:
        peer_exe = built_program(args.peer_exe)
        with machine_for_bench(args.machine) as machine:
            driver_was_up = run_nvxsim(machine, "driver", "status").returncode == 0
            checked_nvxsim(machine, "driver", "start")
            checked_nvxsim(machine, "start")
            try:
                checked_nvxsim(machine, "driver", "wait-connect", "--timeout-ms", "30000")
                service_conn = max(async_connections(machine))
                print(f"\n{seconds} s of round trips each side, one command in flight\n", flush=True)
                service = flood(machine, service_conn, seconds, warmup_ms)
                floor = floor_flood(machine, peer_exe, seconds, warmup_ms)
            finally:
                checked_nvxsim(machine, "stop")
                if not driver_was_up:
                    checked_nvxsim(machine, "driver", "stop")
            report(service, floor)
            return 0
    except (RuntimeError, subprocess.TimeoutExpired) as e:
        print(e, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
