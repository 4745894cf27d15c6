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
service's own receive, dispatch and reply path. One flood drives both (`--beside`): after a
warm-up each, the two sides take turns of 100 ms until each has had --seconds, so that both meet
the same load of the host; measured one after the other, a busy host's changing load decides the
ratio. The peer must have echoed every command sent to it. Target: the service reaches at least
half the floor's round trips per second.

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
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.dont_write_bytecode = True
sys.path.insert(0, str(REPO / "sim"))

from nvxsimlib.command import (async_connections, built_program, checked_nvxsim, echo_peer,  # noqa: E402
                               machine_for_bench, run_nvxsim)

TARGET_RATIO = 0.5
PEER_IDLE_MS = 2000  # the peer ends this long after the flood's last command
SLICE_MS = 100  # the length of one side's turn


def flood(machine, service_conn, floor_conn, seconds, warmup_ms):
    """`nvxsim driver flood` on the service's connection and the floor's in turns: their
    {"event":"flood"} records, (service, floor)."""
    proc = checked_nvxsim(machine, "driver", "flood", "--conn", str(service_conn), "--beside", str(floor_conn),
                          "--seconds", str(seconds), "--warmup-ms", str(warmup_ms), "--slice-ms", str(SLICE_MS),
                          "--json", timeout=2 * seconds + 300)
    records = {}
    for line in proc.stdout.decode(errors="replace").splitlines():
        record = json.loads(line)
        if record.get("event") == "flood":
            records[record["conn"]] = record
    if set(records) != {service_conn, floor_conn}:
        raise RuntimeError(f"the flood gave no result for both sides:\n{proc.stdout.decode(errors='replace')}")
    return records[service_conn], records[floor_conn]


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
                max_s = 2 * (seconds + warmup_ms // 1000) + 600
                with echo_peer(machine, peer_exe, PEER_IDLE_MS, max_s) as peer:
                    print(f"\n{seconds} s of round trips each side, in turns of {SLICE_MS} ms, one command in"
                          f" flight\n", flush=True)
                    service, floor = flood(machine, service_conn, peer["conn"], seconds, warmup_ms)
                sent = floor["warmup_round_trips"] + floor["round_trips"]
                if peer["echoed"] != sent:
                    raise RuntimeError(f"the echo peer echoed {peer['echoed']} commands of the {sent} sent to it")
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
