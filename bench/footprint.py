#!/usr/bin/env python3
"""Memory footprint of the service idle with the driver connected, beside the floor Wine itself costs.

    bench/footprint.py [--settle-s 10] [--samples 5] [--machine DIR] [--quick]

On a simulated machine (a new one of the shipped build unless --machine is given) the service is
started under the SCM and the driver simulator loaded; once the service has connected both ports
(its first journal pass, over an empty store, is done by then), it is left idle for --settle-s seconds and then sampled --samples
times one second apart (sim/nvxsimlib/sampler.py: private bytes, handles and threads as the machine's
own calls answer them, and the pool's counts read out of the process). In the same run an empty
Windows program (`nvxprocstat idle`: it only waits for an event) is sampled the same way under the
same Wine: the floor every process of the machine costs. The medians are printed as a table and as
ROW lines (metric, service, floor, ratio, target, met), and the pool's own chunk usage beside them.
--quick settles 1 s and takes one sample. No figure is asserted.
"""

import argparse
import statistics
import sys
import time
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "sim"))

from nvxsimlib.command import checked_nvxsim, machine_for_bench  # noqa: E402
from nvxsimlib.layout import CTL_WIN  # noqa: E402
from nvxsimlib.machine import Machine  # noqa: E402
from nvxsimlib.sampler import FLOOR_EVENT, POOL_CHUNK_BYTES, PROCSTAT_WIN, install_procstat, sample_process, \
    sample_service  # noqa: E402

REPO = Path(__file__).resolve().parent.parent


def machine_object(root):
    return Machine(root, REPO / "build/mingw/sim/nvxsimctl.exe", 60)


def median_sample(samples, field):
    return statistics.median(getattr(s, field) for s in samples)


def mib(value):
    return f"{value / 2**20:.2f} MiB"


def row(metric, ours, reference, ratio, target="-", met="-"):
    print("\t".join(["ROW", metric, ours, reference, ratio, target, met]), flush=True)


def measure(root, settle_s, count):
    m = machine_object(root)
    checked_nvxsim(root, "start")
    checked_nvxsim(root, "driver", "start")
    # Both ports: the main loop connects the synchronous port first, then the channel.
    checked_nvxsim(root, "driver", "wait-connect", "--port", "async", "--timeout-ms", "60000", timeout=120)
    time.sleep(settle_s)
    service = []
    for i in range(count):
        if i:
            time.sleep(1)
        service.append(sample_service(m))

    install_procstat(m)
    idle = m.winepfx.background(PROCSTAT_WIN, "idle", FLOOR_EVENT, "300000",
                                log_path=m.logs / "footprint-floor.log", what="nvxprocstat idle")
    try:
        ready, output = idle.wait(b"IDLE ")
        if not ready:
            raise RuntimeError(f"the empty program did not start: {output.decode(errors='replace')}")
        pid = int(output.split(b"pid=", 1)[1].split()[0])
        time.sleep(min(settle_s, 2))
        floor = []
        for i in range(count):
            if i:
                time.sleep(1)
            floor.append(sample_process(m, pid)[0])
    finally:
        m.wine(CTL_WIN, "release", FLOOR_EVENT)
        idle.end()
    checked_nvxsim(root, "driver", "stop")
    checked_nvxsim(root, "stop")
    return service, floor


def report(service, floor):
    print(f"\n{'':24} {'service':>14} {'empty program':>14} {'service - floor':>16}")
    for title, field, shown in (("private bytes", "private_bytes", mib), ("working set", "working_set", mib),
                                ("handles", "handles", lambda v: f"{v:.0f}"),
                                ("threads", "threads", lambda v: f"{v:.0f}")):
        ours, reference = median_sample(service, field), median_sample(floor, field)
        print(f"{title:<24} {shown(ours):>14} {shown(reference):>14} {shown(ours - reference):>16}")
    chunks = median_sample(service, "pool_chunks")
    print(f"{'pool chunks':<24} {chunks:>14.0f}   ({chunks * POOL_CHUNK_BYTES / 1024:.0f} KiB,"
          f" {median_sample(service, 'pool_blocks'):.0f} blocks and {median_sample(service, 'pool_big_chunks'):.0f}"
          f" big chunks in use)")
    print("\nprivate bytes: the commit charge the machine reports (under Wine, the process's anonymous resident"
          " memory);\nhandles: the process's entries in the system's handle list; medians of"
          f" {len(service)} samples each.\n")

    for metric, field, shown in (("footprint private bytes (idle, driver connected)", "private_bytes", mib),
                                 ("footprint working set", "working_set", mib),
                                 ("footprint handles", "handles", lambda v: f"{v:.0f} handles"),
                                 ("footprint threads", "threads", lambda v: f"{v:.0f} threads")):
        ours, reference = median_sample(service, field), median_sample(floor, field)
        row(metric, shown(ours), shown(reference) + " (empty program)", f"{ours / reference:.2f}x" if reference else "-")
    row("footprint pool chunks", f"{chunks:.0f} x 64 KiB = {chunks * POOL_CHUNK_BYTES / 1024:.0f} KiB", "-", "-")
    row("footprint pool blocks in use", f"{median_sample(service, 'pool_blocks'):.0f} blocks", "-", "-")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--settle-s", type=float, default=10, help="idle time before the first sample")
    parser.add_argument("--samples", type=int, default=5)
    parser.add_argument("--machine", help="use this existing machine (its service stopped) instead of a new one")
    parser.add_argument("--quick", action="store_true", help="settle 1 s, one sample")
    args = parser.parse_args()
    if args.quick:
        args.settle_s, args.samples = 1, 1
    try:
        with machine_for_bench(args.machine) as root:
            service, floor = measure(root, args.settle_s, args.samples)
    except RuntimeError as e:
        print(e, file=sys.stderr)
        return 1
    report(service, floor)
    return 0


if __name__ == "__main__":
    sys.exit(main())
