#!/usr/bin/env python3
"""Soak: the service under the SCM for a chosen time under steady load, sampled as it goes; fails on
growth that does not level off.

    scripts/soak.py [--minutes 30] [--sample-s 60] [--rate 50] [--build sim|shipped]
                    [--out DIR] [--chart FILE.png]

One simulated machine of its own, the driver simulator loaded (a 2.x driver, so the perf logger
samples too), and for the whole run:
  - the driver's load from inside the machine (`nvxdriver load`): "Version" requests at --rate a
    second, each waiting for its reply; every 10th step a relayed command (to another component)
    that the driver answers queue full three times, so the service's retries run; every 30 s a
    WSC client call ("exec WSCClient": the test build starts WSCClient.exe); the driver's record
    of its ports emptied now and then;
  - journals: one of the driver's open journals grown every second (a short-form name, which the
    service leaves alone), and every few seconds a finished journal of 10 KB to 2 MB put in the
    store, which the service's 60 s passes compress;
  - DebugLevel flipped between 1 (Debug) and 2 (Info) every 5 s;
  - the compressed files taken away every 2 minutes (as the uploader does on a real machine), so
    the store stays bounded: every pass lists the whole store, so the pool's high-water mark
    follows the store's size, and a store that only grew would look like a leak.

Every --sample-s seconds (and at the start) a sample from inside the machine
(sim/nvxsimlib/sampler.py): private bytes, working set, handles, threads, the pool's blocks, big
chunks and chunks, and nvxs.log's missed-message count; and the store's file count beside them.

The growth rule. The samples of the first --warmup-s seconds (start-up and the pool's first
chunks) are left out; the rest are cut into three consecutive windows of equal count and each
window is summarised by its least sample: the level the figure comes back to, which a compression
in progress (liblzma's encoder holds several MiB while it runs) or a burst of requests does not
raise. A figure "grows without levelling off" when that level rises from the first window to the
second AND from the second to the third, each time by more than its tolerance (private bytes and
working set: 256 KiB or 2 %, whichever is more; pool blocks: 32 or 5 %; handles: 4; threads: 2;
pool chunks: 1; missed messages: 0). A one-off step, however large, raises one of the two
differences and not the other; a leak raises both. The run fails on any such figure, on a service
that stopped running, and on a load whose Version requests went unanswered.

The samples are printed as a table (and written with the verdict to DIR/soak.json and DIR/soak.md
with --out); --chart draws them with matplotlib (Debian's /usr/bin/python3 has it; another
interpreter hands the drawing to it).
"""

import argparse
import json
import os
import random
import signal
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "scenario"))

from simtest import RUNNING, SERVICE_KEY, SimMachine, machine_dir  # noqa: E402
from nvxsimlib.layout import DRIVER_WIN  # noqa: E402
from nvxsimlib.machine import Machine  # noqa: E402
from nvxsimlib.sampler import POOL_CHUNK_BYTES, sample_service  # noqa: E402
from nvxsimlib.wine import WinePrefix  # noqa: E402

STORE = Path("drive_c/ProgramData/Kestro/Vantor/Data/Event Journals/KestroNVX")
GROWN = ("Process", "Process-7F.bin")  # short form: the service leaves it alone while it grows
KiB, MiB = 1024, 1 << 20
# (field, title, tolerance(value)) of every figure the growth rule judges.
FIGURES = [
    ("private_bytes", "private bytes", lambda v: max(256 * KiB, 0.02 * v)),
    ("working_set", "working set", lambda v: max(256 * KiB, 0.02 * v)),
    ("handles", "handles", lambda v: 4),
    ("threads", "threads", lambda v: 2),
    ("pool_blocks", "pool blocks", lambda v: max(32, 0.05 * v)),
    ("pool_chunks", "pool chunks", lambda v: 1),
    ("missed_messages", "missed messages", lambda v: 0),
]
MATPLOTLIB_PYTHON = "/usr/bin/python3"


def growth_verdicts(samples, warmup_s):
    """[(field, title, (l1, l2, l3), grows)] by the rule of the module's help, l the windows' levels;
    [] when fewer than three samples follow the warm-up."""
    judged = [s for s in samples if s["t_s"] >= warmup_s]
    if len(judged) < 3:
        return []
    third = len(judged) // 3
    windows = [judged[:third], judged[third:len(judged) - third], judged[len(judged) - third:]]
    verdicts = []
    for field, title, tolerance in FIGURES:
        m1, m2, m3 = (min(s[field] for s in window) for window in windows)
        grows = m2 - m1 > tolerance(m1) and m3 - m2 > tolerance(m2)
        verdicts.append((field, title, (m1, m2, m3), grows))
    return verdicts


class Soak:
    def __init__(self, machine, args, rng):
        self.m = machine
        self.args = args
        self.rng = rng
        self.store = machine.prefix / STORE
        self.machine = Machine(machine.root, os.environ.get("NVXSIM_CTL") or ROOT / "build/mingw/sim/nvxsimctl.exe",
                               60)
        self.samples = []
        self.serial = 0
        self.taken_away = 0
        self.written = 0
        self.background = []

    def start_background(self, seconds):
        prefix = WinePrefix(self.m.prefix)
        period_wsc = max(1, 30 * self.args.rate)
        load = ["load", "--seconds", str(seconds), "--per-second", str(self.args.rate),
                "--", "1", "send", "--kind", "get", "--wait-reply", "5000", "Version",
                "--", "10", "queue-full", "3",
                "--", "10", "send", "--component", "5", "Relayed command",
                "--", str(period_wsc), "send", "--kind", "exec", "--wait-reply", "20000", "WSCClient", "/scan",
                "--", str(max(1, 60 * self.args.rate)), "clear"]
        self.load = prefix.background(DRIVER_WIN, *load, log_path=self.m.root / "logs" / "soak-load.log",
                                      what="driver load")
        grow = ["journal", "grow", GROWN[0], GROWN[1], "--by", "4096", "--times", str(seconds), "--every-ms", "1000"]
        self.grower = prefix.background(DRIVER_WIN, *grow, log_path=self.m.root / "logs" / "soak-grow.log",
                                        what="journal grower")
        self.background = [self.load, self.grower]

    def end_background(self, grace=0):
        """The load ends by itself once its time is up (and then reports); what is left is killed."""
        self.load_ended = self.load.proc.poll() is not None if self.background else False
        if self.background and not self.load_ended:
            try:
                self.load.proc.wait(timeout=grace)
                self.load_ended = True
            except subprocess.TimeoutExpired:
                pass
        for process in self.background:
            if process.proc.poll() is None:
                os.killpg(process.proc.pid, signal.SIGKILL)
            process.proc.wait()

    def write_journal(self):
        self.serial += 1
        kind = self.rng.choice(["System", "Dns", "Http", "Image", "Registry", "Network", "FileHashes"])
        size = self.rng.randint(10_000, 2 * MiB)
        line = f"{kind} record {self.serial} \\Device\\HarddiskVolume1\\Windows\\System32 0x1F\r\n".encode()
        data = (line * (size // len(line) + 1))[:size]
        path = self.store / kind / f"{kind}-{self.serial:X}-{self.serial:X}-{self.serial}-0.bin"
        # Finished beside the store and then moved in, so that a pass never lists half a journal.
        part = self.store.parent / "soak-journal.part"
        part.write_bytes(data)
        part.rename(path)
        self.written += 1

    def take_away_compressed(self):
        for path in self.store.rglob("*.xz"):
            path.unlink()
            self.taken_away += 1

    def sample(self, started):
        s = sample_service(self.machine).as_dict()
        s["t_s"] = round(time.monotonic() - started, 1)
        s["store_files"] = sum(1 for p in self.store.rglob("*") if p.is_file())
        self.samples.append(s)
        print(row_text(s), flush=True)

    def run(self):
        args = self.args
        self.m.checked("create", "--build", args.build)
        self.m.reg_set("params", "PerfCollectionPeriodSec", "REG_DWORD", 5)
        self.m.checked("driver", "version", "2.1.0.0")
        self.m.checked("driver", "start")
        answer = self.m.service("start")
        if not answer.statuses or answer.statuses[-1].state != RUNNING:
            raise RuntimeError(f"the service did not start:\n{answer.run.out}{answer.run.err}")
        self.m.checked("driver", "wait-connect", "--port", "async", "--timeout-ms", "60000", timeout=120)
        duration = args.minutes * 60
        # The load's own time ends with the last sample's.
        self.start_background(int(duration) + 2)
        print(header_text(), flush=True)
        started = time.monotonic()
        level, next_flip, next_journal, next_take = 2, 0.0, 0.0, 120.0
        next_sample = 0.0
        while True:
            now = time.monotonic() - started
            if now >= next_sample:
                self.sample(started)
                next_sample += args.sample_s
                if next_sample > duration + 1:
                    break
            if now >= next_flip:
                level = 1 if level == 2 else 2
                self.m.reg_set(SERVICE_KEY, "DebugLevel", "REG_DWORD", level)
                next_flip = now + 5
            if now >= next_journal:
                self.write_journal()
                next_journal = now + self.rng.uniform(2, 6)
            if now >= next_take:
                self.take_away_compressed()
                next_take = now + 120
            time.sleep(0.2)
        state = self.m.query().state
        self.end_background(grace=60)
        stop = self.m.service("stop")
        return state, stop


def header_text():
    return (f"{'min':>6} {'private':>10} {'working':>10} {'handles':>7} {'threads':>7} {'blocks':>7} {'big':>4}"
            f" {'chunks':>6} {'missed':>7} {'store':>6}")


def row_text(s):
    return (f"{s['t_s'] / 60:6.1f} {s['private_bytes'] / MiB:8.2f}Mi {s['working_set'] / MiB:8.2f}Mi {s['handles']:>7}"
            f" {s['threads']:>7} {s['pool_blocks']:>7} {s['pool_big_chunks']:>4} {s['pool_chunks']:>6}"
            f" {s['missed_messages']:>7} {s['store_files']:>6}")


def load_summary(log_path):
    """The load's JSON lines, or [] when it wrote none."""
    lines = []
    for raw in Path(log_path).read_bytes().splitlines() if Path(log_path).exists() else []:
        try:
            lines.append(json.loads(raw))
        except ValueError:
            continue
    return lines


def markdown(samples, verdicts):
    out = ["| min | private bytes | working set | handles | threads | pool blocks | big chunks | pool chunks |"
           " missed messages | store files |", "|---|---|---|---|---|---|---|---|---|---|"]
    for s in samples:
        out.append(f"| {s['t_s'] / 60:.1f} | {s['private_bytes'] / MiB:.2f} MiB | {s['working_set'] / MiB:.2f} MiB |"
                   f" {s['handles']} | {s['threads']} | {s['pool_blocks']} | {s['pool_big_chunks']} |"
                   f" {s['pool_chunks']} ({s['pool_chunks'] * POOL_CHUNK_BYTES // KiB} KiB) | {s['missed_messages']} |"
                   f" {s['store_files']} |")
    out += ["", "| figure | window levels (least sample) | verdict |", "|---|---|---|"]
    for _, title, medians, grows in verdicts:
        shown = " / ".join(f"{m:,.0f}" for m in medians)
        out.append(f"| {title} | {shown} | {'grows without levelling off' if grows else 'levels off'} |")
    return "\n".join(out) + "\n"


def draw_chart(samples, path):
    """The samples as one PNG: a panel per figure over minutes."""
    try:
        import matplotlib
    except ImportError:
        data = Path(path).with_suffix(".samples.json")
        data.write_text(json.dumps(samples))
        subprocess.run([MATPLOTLIB_PYTHON, __file__, "--chart-from", str(data), "--chart", str(path)], check=True)
        data.unlink()
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    minutes = [s["t_s"] / 60 for s in samples]
    panels = [("private_bytes", "private bytes (MiB)", MiB), ("working_set", "working set (MiB)", MiB),
              ("handles", "handles", 1), ("threads", "threads", 1), ("pool_blocks", "pool blocks in use", 1),
              ("missed_messages", "missed log messages", 1)]
    fig, axes = plt.subplots(2, 3, figsize=(12, 6), sharex=True)
    for ax, (field, title, scale) in zip(axes.flat, panels):
        ax.plot(minutes, [s[field] / scale for s in samples], marker=".")
        ax.set_title(title, fontsize=10)
        ax.grid(True, alpha=0.3)
        ax.set_ylim(bottom=0)
    for ax in axes[1]:
        ax.set_xlabel("minutes")
    fig.suptitle("NVXService soak")
    fig.tight_layout()
    fig.savefig(path, dpi=100)


def interrupted(signum, frame):
    raise KeyboardInterrupt


def main():
    # A termination ends the soak as an interruption does: the samples so far are judged and the
    # machine's processes ended.
    signal.signal(signal.SIGTERM, interrupted)
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--minutes", type=float, default=30)
    parser.add_argument("--sample-s", type=float, default=60, help="time between samples (60)")
    parser.add_argument("--warmup-s", type=float, help="samples left out of the growth rule (default: the"
                        " first sample's time plus one sample period)")
    parser.add_argument("--rate", type=int, default=50, help="Version requests a second (50)")
    parser.add_argument("--build", choices=("sim", "shipped"), default="sim",
                        help="sim (default): the test build, whose WSC client calls start WSCClient.exe")
    parser.add_argument("--seed", type=int)
    parser.add_argument("--out", help="write soak.json and soak.md here")
    parser.add_argument("--chart", help="draw the samples into this PNG")
    parser.add_argument("--chart-from", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.chart_from:
        draw_chart(json.loads(Path(args.chart_from).read_text()), args.chart)
        return 0
    warmup = args.warmup_s if args.warmup_s is not None else args.sample_s
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 32)
    print(f"soak: {args.minutes:g} min, a sample every {args.sample_s:g} s, {args.rate} Version requests a second,"
          f" seed {seed}", flush=True)
    tmp = machine_dir("nvx-soak-")
    machine = SimMachine(Path(tmp) / "machine")
    soak = Soak(machine, args, random.Random(seed))
    problems = []
    try:
        state, stop = soak.run()
        if state != RUNNING:
            problems.append(f"the service was no longer running at the end (state {state})")
        if not stop.statuses or stop.statuses[-1].state != 1 or stop.statuses[-1].exit_code != 0:
            problems.append(f"the stop did not end in STOPPED with exit code 0:\n{stop.run.out}")
        load_log = machine.root / "logs" / "soak-load.log"
        loads = load_summary(load_log)
        if args.out:
            Path(args.out).mkdir(parents=True, exist_ok=True)
            shutil.copy2(load_log, Path(args.out) / "soak-load.log")
        version = next((l for l in loads if l.get("event") == "load" and l["command"].endswith(" Version")), None)
        if version is None:
            text = load_log.read_bytes().decode(errors="replace")[-400:] if load_log.exists() else "(no output)"
            problems.append(f"the driver's load reported nothing (ended by itself: {soak.load_ended}): {text}")
        else:
            print(f"\nload: {version['runs']} Version requests, {version['failed']} without their reply;"
                  f" {soak.written} journals written, {soak.taken_away} compressed files taken away")
            for l in loads:
                if l.get("event") == "load" and not l["command"].endswith(" Version"):
                    print(f"      {l['command']}: {l['runs']} runs, {l['failed']} failed")
            if version["failed"]:
                problems.append(f"{version['failed']} Version requests went without a reply"
                                f" (first: {version.get('first_failure', '').strip()})")
    except (RuntimeError, AssertionError) as e:
        problems.append(f"soak stopped: {e}")
    except KeyboardInterrupt:
        problems.append("soak interrupted")
    finally:
        soak.end_background()
        down = machine.shut_down()
        shutil.rmtree(tmp, ignore_errors=True)
        if down:
            problems.append("machine did not end cleanly: " + "; ".join(down))

    verdicts = growth_verdicts(soak.samples, warmup)
    print("\nlevels after the warm-up (the least sample of the first / second / third window) and the verdict:")
    for _, title, medians, grows in verdicts:
        print(f"  {title:<16} {' / '.join(f'{m:,.0f}' for m in medians):>40}   "
              f"{'GROWS WITHOUT LEVELLING OFF' if grows else 'levels off'}")
        if grows:
            problems.append(f"{title} grows without levelling off: window levels {medians}")
    if len(soak.samples) >= 2 and not verdicts:
        problems.append("too few samples after the warm-up to judge growth (3 needed)")
    if args.out:
        out = Path(args.out)
        out.mkdir(parents=True, exist_ok=True)
        (out / "soak.json").write_text(json.dumps({"seed": seed, "samples": soak.samples,
                                                   "verdicts": [(f, m, g) for f, _, m, g in verdicts],
                                                   "problems": problems}, indent=1))
        (out / "soak.md").write_text(markdown(soak.samples, verdicts))
    if args.chart and soak.samples:
        draw_chart(soak.samples, args.chart)
        print(f"chart: {args.chart}")
    for problem in problems:
        print(f"FAILED: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
