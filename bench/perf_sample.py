#!/usr/bin/env python3
"""One perf-logger sample and one telemetry walk against the bare platform calls, in one run.

    bench/perf_sample.py [--samples 300] [--walks 300] [--machine DIR] [--bench-exe PATH] [--quick]

perf_sample_bench.exe (built with the bench targets, with the simulated machine's pdh.dll and
fltlib.dll beside it) runs inside a simulated machine: a sample of 11 counter sets of 40 counters
(one set with 20 instances, 1,200 counters) taken by the service's gatherer against the bare PDH
calls of the same sample; the CSV append of one row on its own; the two together as the sampling
thread does them; and one telemetry walk over 30 filters on 8 volumes against bare walks of the
same stack. The program writes its own counter-sets file and filter-stack description, and sets
PerfCollectionPeriodSec for its run (put back afterwards); the gatherer's first sample leaves one
row in the machine's NvxPerformance.csv. Target: a sample costs at most 1.5 times its floor.

Without --machine a machine is created in a temporary directory and removed at the end; with it,
an existing machine is used and left as it was found (down or up). Builds nothing. Standard
library only. The last lines are the rows for bench/run-all (bench/benchrows.py); --quick measures
3 rounds of each after the warm-up.
"""

import argparse
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.dont_write_bytecode = True
sys.path.insert(0, str(REPO / "sim"))
sys.path.insert(0, str(REPO / "bench"))

from benchrows import row  # noqa: E402
from nvxsimlib.command import machine_for_bench, run_nvxsim  # noqa: E402

SAMPLE_TARGET = 1.5

# metric name in the program's RESULT lines -> (what is compared, target ratio or None)
ROWS = [
    ("sample", "one sample, 1,200 counters: `NvxPerfGatherer::Gather` (no CSV append) vs the bare PDH calls",
     SAMPLE_TARGET),
    ("append", "CSV append of one row: `PerfLogger::Write`, gathering excluded, vs a bare append of the row", None),
    ("logged", "sample + append as the sampling thread does them vs bare PDH + bare append", None),
    ("walk", "telemetry walk, 30 filters on 8 volumes: `GetDriverTelemetry` vs bare walk of what the line needs",
     None),
    ("walkall", "the same walk vs bare walk of the whole stack (every minifilter's instances)", None),
]


def results(text):
    """{metric: {key: float}} from the program's RESULT lines."""
    found = {}
    for line in text.splitlines():
        parts = line.split()
        if not parts or parts[0] != "RESULT":
            continue
        fields = dict(p.split("=", 1) for p in parts[1:])
        metric = fields.pop("metric")
        found[metric] = {k: float(v) for k, v in fields.items()}
    return found


def micros(value):
    return f"{value:,.0f} µs" if value >= 100 else f"{value:.1f} µs"


def table(found):
    lines = ["| metric | ours: median / p90 | reference: median / p90 | ratio (medians) | target | met |",
             "|---|---|---|---|---|---|"]
    for metric, what, target in ROWS:
        r = found[metric]
        ratio = r["ours_median_us"] / r["ref_median_us"]
        target_text = f"≤ {target:g}" if target else "—"
        met = ("met" if ratio <= target else "NOT met") if target else "—"
        lines.append(f"| {what} | {micros(r['ours_median_us'])} / {micros(r['ours_p90_us'])} | "
                     f"{micros(r['ref_median_us'])} / {micros(r['ref_p90_us'])} | {ratio:.2f} | {target_text} | "
                     f"{met} |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--samples", type=int, default=300, help="measured sample rounds (after 20 warm-up)")
    parser.add_argument("--walks", type=int, default=300, help="measured walk rounds (after 20 warm-up)")
    parser.add_argument("--machine", help="use this existing machine instead of a new temporary one")
    parser.add_argument("--bench-exe", default=str(REPO / "build/mingw/bench/perf_sample_bench.exe"))
    parser.add_argument("--quick", action="store_true", help="3 rounds of each: only shows that it runs")
    args = parser.parse_args()
    if args.quick:
        args.samples = args.walks = 3
    bench = Path(args.bench_exe).resolve()
    missing = [p for p in (bench, bench.parent / "pdh.dll", bench.parent / "fltlib.dll") if not p.is_file()]
    if missing:
        print(f"{', '.join(map(str, missing))} not found (build first: cmake --build --preset mingw)",
              file=sys.stderr)
        return 1

    try:
        with machine_for_bench(args.machine) as machine:
            print(f"\n{args.samples} sample rounds, {args.walks} walk rounds\n", flush=True)
            # nvxsim bounds a Wine call by 60 s unless told otherwise; the run takes longer.
            run = run_nvxsim(machine, "--timeout", "1500", "wine", str(bench), str(args.samples), str(args.walks),
                             timeout=1800)
            out = run.stdout.decode(errors="replace")
            sys.stdout.write(out)
            if run.returncode != 0:
                print(run.stderr.decode(errors="replace"), file=sys.stderr)
                return 1
    except RuntimeError as e:
        print(e, file=sys.stderr)
        return 1

    found = results(out)
    if any(metric not in found for metric, _, _ in ROWS):
        print("the program did not report every comparison", file=sys.stderr)
        return 1
    print()
    print(table(found))
    print()
    for metric, what, target in ROWS:
        r = found[metric]
        ratio = r["ours_median_us"] / r["ref_median_us"]
        row(what.replace("`", ""), f"{micros(r['ours_median_us'])}", f"{micros(r['ref_median_us'])}", ratio,
            f"<= {target:g}x" if target else "-", ratio <= target if target else None)
    return 0


if __name__ == "__main__":
    sys.exit(main())
