#!/usr/bin/env python3
"""Kill campaign: the service's process killed without warning (SIGKILL, as a crash or a power cut
would end it) at random moments, then started again; after every kill the store and the logs are
checked.

    scripts/kill-campaign.py [--kills 200] [--seed S] [--max-size 64MiB] [--build shipped|sim] [-v]

One simulated machine of its own (sim/nvxsim), DebugLevel 1, the driver simulator loaded with a 2.x
version so that the perf logger samples every second. Each round aims its kill at one activity, in
turn (the order shuffled by the seed):

  compress    new journals of mixed sizes (most small, some of several MiB, now and then one of
              --max-size) are put in the store while the service is down; the kill comes while the pass
              compresses one of them, chosen by size, at a random point of the time its bytes take
  log         nvxs.log is filled (with copies of its own whole lines) to up to 4 KiB under its 1 MiB
              rotation size; the kill comes while the service's start-up pushes it over: at a
              random size in the last 4 KiB before the limit, or up to 0.5 s after the rotation
              into nvxs1.log .. nvxs4.log
  csv         NvxPerformance.csv is filled (with copies of its last row) to just under its
              1,000,000-byte rotation size; the kill comes around the sample that rotates it into
              NvxPerformance.csv.1 .. .10: at a random size in its last two rows, or up to 0.5 s
              after the rotation

After the kill (before the restart) and again once the next pass of the restarted service is done:
  - no journal lost or truncated: each journal written is either still its .bin with its exact bytes
    or its .xz, and after the next pass every one is an .xz;
  - every .xz decodes (Python's lzma) to exactly its journal's bytes;
  - no journal compressed twice: no completed compression (its "Compressed ..." line) of a journal
    whose .xz was already seen complete; a journal found beside its complete .xz after a kill
    (killed between the rename and the delete) is compressed again by design and counted apart;
  - no .tmp left after the next pass;
  - nvxs.log and its copies hold whole lines only, every one a log line; NvxPerformance.csv and its
    copies hold whole rows, a header first.
Checked .xz files are then taken away (as the uploader does), so the store stays small.

The seed is printed first; `--seed S` replays the same journals, activities and kill moments (the
host's timing still varies). Exit status 1 when any check failed, with each failure named.
A SIGKILL on the host ends the process as a crash does; it does not drop what the process had
written but the disk had not stored yet, as a power cut can.
"""

import argparse
import collections
import hashlib
import lzma
import os
import random
import re
import shutil
import signal
import sys
import threading
import time
from datetime import datetime, timezone
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "scenario"))

from simtest import ERROR_SERVICE_ALREADY_RUNNING, RUNNING, SERVICE_KEY, STOPPED, SimMachine, machine_dir  # noqa: E402
from nvxsimlib.logs import LOG_FILES, LOG_LINE, LOGS_DIR_IN_PREFIX, PERF_LOG_IN_PREFIX, parse_log_line  # noqa: E402

STORE = Path("drive_c/ProgramData/Kestro/Vantor/Data/Event Journals/KestroNVX")
TYPES = ["System", "DirectoryChanges", "FileBinaryChanges", "FileDataChanges", "FileOtherChanges",
         "FileBinaryReads", "FileDataReads", "FileOtherReads", "FileHashes", "FileProperties",
         "ProcessProperties", "Process", "Thread", "Image", "Registry", "Dns", "Http", "Ip", "Network", "Url"]
LOG_ROTATE_BYTES = 1 << 20
CSV_ROTATE_BYTES = 1000000
PHASES = ("compress", "log", "csv")
SUMMARY = re.compile(r"^Compressed \d+ files, deleted \d+ files, and ignored \d+ files$")
COMPRESSED = re.compile(r"^Compressed \d+ bytes to \d+ bytes in -?\d+ usecs percentage: \d+ (?P<path>.*)$")
COMPRESSED_FIGURES = re.compile(r"^Compressed (\d+) bytes to \d+ bytes in (-?\d+) usecs")
KiB, MiB = 1024, 1 << 20


def size_argument(text):
    m = re.fullmatch(r"(\d+)(KiB|MiB)?", text)
    if m is None:
        raise argparse.ArgumentTypeError(f"{text}: a size is N, NKiB or NMiB")
    return int(m.group(1)) * {None: 1, "KiB": 1024, "MiB": MiB}[m.group(2)]


class Campaign:
    def __init__(self, machine, rng, max_size, verbose):
        self.m = machine
        self.rng = rng
        self.max_size = max_size
        self.verbose = verbose
        self.store = machine.prefix / STORE
        self.logs = machine.prefix / LOGS_DIR_IN_PREFIX
        self.csv = machine.prefix / PERF_LOG_IN_PREFIX
        self.journals = {}        # (type, stem) -> (size, sha256) of every journal written
        self.done = set()         # journals whose .xz was checked and taken away
        self.failures = []        # (kill number, phase, text)
        self.outcomes = collections.Counter()
        self.kills_by_phase = collections.Counter()
        self.survived_by_phase = collections.Counter()
        self.recompressed = 0
        self.serial = 0
        self.starts = 0
        self.compress_rounds = 0
        self.big_written = False
        self.whole_logs = set()  # (name, size, digest) of log files found whole, not read again
        self.throughput = 3 * MiB  # bytes a second the pass compresses, learnt as the campaign goes
        self.csv_row_bytes = 100

    # ---- helpers

    def say(self, text):
        if self.verbose:
            print(text, flush=True)

    def fail(self, kill, phase, text):
        self.failures.append((kill, phase, text))
        print(f"kill {kill} ({phase}): FAILED: {text}", flush=True)

    def service_pid(self):
        pids = [pid for pid, cmd in self.m.processes() if "nvxservice.exe" in cmd.lower()]
        return pids[0] if len(pids) == 1 else None

    def start(self):
        """Starts the service; after a kill Wine's SCM refuses a start (1056) until it has seen the
        process end, so the start is made again until it is taken."""
        deadline = time.monotonic() + 60
        while True:
            answer = self.m.service("start")
            self.starts += 1
            if answer.error != ERROR_SERVICE_ALREADY_RUNNING or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        reached = answer.run.rc == 0 and answer.error is None and not answer.timed_out
        if not reached or not answer.statuses or answer.statuses[-1].state != RUNNING:
            raise RuntimeError(f"the service did not start (exit status {answer.run.rc}):\n{answer.run.out}"
                               f"{answer.run.err}\nlast lines of nvxs.log:\n{self.log_tail()}")
        started = time.monotonic()
        while (pid := self.service_pid()) is None:
            if time.monotonic() > started + 30:
                raise RuntimeError("the running service has no process")
            time.sleep(0.05)
        return pid

    def log_tail(self, count=8):
        try:
            lines = (self.logs / "nvxs.log").read_bytes().decode("utf-8", errors="replace").splitlines()
        except FileNotFoundError:
            return "(no nvxs.log)"
        return "\n".join(lines[-count:])

    def kill(self, pid):
        os.kill(pid, signal.SIGKILL)
        deadline = time.monotonic() + 30
        while any(p == pid for p, _ in self.m.processes()):
            if time.monotonic() > deadline:
                raise RuntimeError(f"process {pid} still there after SIGKILL")
            time.sleep(0.02)

    # ---- journals

    def journal_size(self):
        """Most journals small, some of a few MiB, and one of --max-size in every 12th compress
        round (its first journal), as the driver's own mix goes."""
        if self.compress_rounds % 12 == 0 and not self.big_written:
            self.big_written = True
            return self.max_size
        pick = self.rng.random()
        if pick < 0.10:
            return self.rng.randint(min(4 * MiB, self.max_size), min(16 * MiB, self.max_size))
        if pick < 0.40:
            return self.rng.randint(min(256 * KiB, self.max_size), min(4 * MiB, self.max_size))
        return self.rng.randint(0, min(256 * KiB, self.max_size))

    def journal_bytes(self, size):
        if self.rng.random() < 0.5:
            return self.rng.randbytes(size)
        # Text like a journal's records: compresses well, as most real journals do.
        words = [b"process", b"file", b"\\Device\\HarddiskVolume1\\Windows", b"read", b"write", b"0x1F",
                 b"registry", b"dns", b"12345"]
        line = b" ".join(self.rng.choice(words) for _ in range(12)) + b"\r\n"
        return (line * (size // len(line) + 1))[:size]

    def write_journals(self, count):
        for _ in range(count):
            self.serial += 1
            kind = self.rng.choice(TYPES)
            stem = f"{kind}-{self.serial:X}-{self.rng.randint(0, 0xFFFF):X}-{self.serial}-0"
            data = self.journal_bytes(self.journal_size())
            (self.store / kind / (stem + ".bin")).write_bytes(data)
            self.journals[(kind, stem)] = (len(data), hashlib.sha256(data).digest())

    def pending_bytes(self):
        return sum(size for key, (size, _) in self.journals.items()
                   if key not in self.done and (self.store / key[0] / (key[1] + ".bin")).exists())

    def check_store(self, kill, phase, after_pass):
        """The journals' state; after a pass every journal must be an .xz and no .tmp be left."""
        temps = sorted(str(p.relative_to(self.store)) for p in self.store.rglob("*.tmp"))
        if after_pass and temps:
            self.fail(kill, phase, f".tmp left after the next pass: {temps}")
        beside = set()
        for (kind, stem), (size, digest) in self.journals.items():
            if (kind, stem) in self.done:
                for ext in (".bin", ".xz"):
                    if (self.store / kind / (stem + ext)).exists():
                        self.fail(kill, phase, f"{stem}{ext} is back after its .xz was taken away")
                continue
            journal, packed = self.store / kind / (stem + ".bin"), self.store / kind / (stem + ".xz")
            if journal.exists():
                data = journal.read_bytes()
                if len(data) != size or hashlib.sha256(data).digest() != digest:
                    self.fail(kill, phase, f"{stem}.bin changed: {len(data)} bytes, was {size}")
                if after_pass:
                    self.fail(kill, phase, f"{stem}.bin not compressed by the next pass")
            if packed.exists():
                try:
                    data = lzma.decompress(packed.read_bytes(), format=lzma.FORMAT_XZ)
                except lzma.LZMAError as e:
                    self.fail(kill, phase, f"{stem}.xz does not decode: {e}")
                    continue
                if len(data) != size or hashlib.sha256(data).digest() != digest:
                    self.fail(kill, phase, f"{stem}.xz decodes to {len(data)} other bytes (journal: {size})")
                if journal.exists():
                    beside.add(stem)
            elif not journal.exists():
                self.fail(kill, phase, f"{stem} lost: neither its .bin nor its .xz exists")
        return beside

    def take_away_compressed(self):
        for (kind, stem) in list(self.journals):
            packed = self.store / kind / (stem + ".xz")
            if (kind, stem) not in self.done and packed.exists() and not (self.store / kind / (stem + ".bin")).exists():
                packed.unlink()
                self.done.add((kind, stem))

    # ---- logs

    def log_files(self):
        return [self.logs / name for name in LOG_FILES if (self.logs / name).exists()]

    def check_logs(self, kill, phase, when):
        for path in self.log_files():
            data = path.read_bytes()
            if data and not data.endswith(b"\r\n"):
                self.fail(kill, phase, f"{path.name} ends in a part of a line {when}: {data[-60:]!r}")
                data = data[:data.rfind(b"\r\n") + 2]
            key = (path.name, len(data), hashlib.sha256(data).digest())
            if key in self.whole_logs:
                continue
            self.whole_logs.add(key)
            for number, raw in enumerate(data.split(b"\r\n")[:-1], 1):
                if LOG_LINE.match(raw.decode("utf-8", errors="replace")) is None:
                    self.fail(kill, phase, f"{path.name} line {number} is not a whole log line {when}: {raw[:80]!r}")
                    break

    def csv_files(self):
        paths = [self.csv] + [self.csv.with_name(f"{self.csv.name}.{n}") for n in range(1, 11)]
        return [p for p in paths if p.exists()]

    def check_csv(self, kill, phase, when):
        for path in self.csv_files():
            data = path.read_bytes()
            if not data:
                continue  # created, its header not written yet
            if not data.endswith(b"\r\n"):
                self.fail(kill, phase, f"{path.name} ends in a part of a row {when}: {data[-60:]!r}")
                continue
            rows = data.split(b"\r\n")[:-1]
            if not rows[0].startswith(b"timestamp,"):
                self.fail(kill, phase, f"{path.name} does not start with its header {when}")
                continue
            width = rows[0].count(b",")
            bad = [i for i, row in enumerate(rows[1:], 2) if row.count(b",") != width]
            if bad:
                self.fail(kill, phase, f"{path.name} rows {bad[:5]} do not have the header's fields {when}")

    def compressions_in_log(self):
        """Paths of journals whose compression the logs record, each with its count."""
        seen = collections.Counter()
        for path in self.log_files():
            for raw in path.read_bytes().split(b"\r\n"):
                if b" usecs percentage: " not in raw:
                    continue
                line = parse_log_line(raw.decode("utf-8", errors="replace"))
                if line is not None and (m := COMPRESSED.match(line.text)):
                    seen[m.group("path").rsplit("\\", 1)[-1]] += 1
        return seen

    def learn_throughput(self, since):
        """The pass's compression speed: bytes over time of the largest journal compressed since
        `since`, as its "Compressed ..." line gives them (journals of less than 1 MiB say little)."""
        best = None
        for raw in (self.logs / "nvxs.log").read_bytes().split(b"\r\n") if (self.logs / "nvxs.log").exists() else []:
            if b" usecs percentage: " not in raw:
                continue
            line = parse_log_line(raw.decode("utf-8", errors="replace"))
            if line is None or line.time < since or not (m := COMPRESSED_FIGURES.match(line.text)):
                continue
            size, usecs = int(m.group(1)), int(m.group(2))
            if size >= MiB and usecs > 0 and (best is None or size > best[0]):
                best = (size, usecs)
        if best is not None:
            self.throughput = max(256 * KiB, best[0] / (best[1] / 1e6))

    def pass_done_since(self, since):
        """Whether the logs hold a pass summary written at `since` (UTC) or later (in nvxs.log, or
        in nvxs1.log when a rotation came after it)."""
        for name in ("nvxs.log", "nvxs1.log"):
            try:
                data = (self.logs / name).read_bytes()
            except FileNotFoundError:
                continue
            for raw in data.split(b"\r\n"):
                if b" files, deleted " not in raw:
                    continue
                line = parse_log_line(raw.decode("utf-8", errors="replace"))
                if line is not None and line.time >= since and SUMMARY.match(line.text):
                    return True
        return False

    def wait_for_pass(self, since, timeout):
        deadline = time.monotonic() + timeout
        while not self.pass_done_since(since):
            if time.monotonic() > deadline:
                return False
            time.sleep(0.2)
        return True

    # ---- filling the rotating files up to just under their limits

    def fill_log(self):
        path = self.logs / "nvxs.log"
        data = path.read_bytes() if path.exists() else b""
        lines = [raw + b"\r\n" for raw in data.split(b"\r\n")[:-1]]
        if not lines:
            return
        # The start-up alone writes a few KiB at DebugLevel 1.
        target = LOG_ROTATE_BYTES - self.rng.randint(0, 4 * 1024)
        with open(path, "ab") as f:
            size = len(data)
            while size < target:
                line = self.rng.choice(lines)
                f.write(line)
                size += len(line)

    def fill_csv(self):
        data = self.csv.read_bytes() if self.csv.exists() else b""
        rows = data.split(b"\r\n")[:-1]
        if len(rows) < 2:
            return
        row = rows[-1] + b"\r\n"
        self.csv_row_bytes = len(row)
        # At the limit, the first sample (as the perf logger starts) rotates; a row or two below
        # it, the second or third, a second apart.
        target = CSV_ROTATE_BYTES - self.rng.randint(0, 2) * len(row)
        with open(self.csv, "ab") as f:
            size = len(data)
            while size < target:
                f.write(row)
                size += len(row)

    # ---- one round

    def round(self, kill, phase):
        self.t0 = time.monotonic()
        if phase == "compress":
            self.compress_rounds += 1
            self.big_written = False
            self.write_journals(self.rng.randint(1, 4))
        elif phase == "log":
            self.fill_log()
        else:
            self.fill_csv()
        rotations_before = (self.mtime(self.logs / "nvxs1.log"), self.mtime(self.csv.with_name(self.csv.name + ".1")))
        compressions_before = self.compressions_in_log()
        # The kill's moment, drawn before the start so that the seed replays it.
        delay = self.rng.random()
        since = now_utc()
        starter = None
        if phase == "compress":
            pid = self.start()
            self.await_compression(delay, since)
        else:
            pid, starter = self.await_rotation(phase, delay, rotations_before)
        state = self.moment(phase, rotations_before)
        self.kill(pid)
        if starter is not None:
            starter.join(timeout=90)  # the start's tool ends once the SCM has seen the process end
        self.kills_by_phase[phase] += 1
        self.outcomes[(phase, state)] += 1
        failed = len(self.failures)
        self.say(f"kill {kill}: {phase}, {delay:.3f} of its window, {state} ({time.monotonic() - self.t0:.1f} s"
                 f" into the round, {self.starts} starts so far)")

        # As the kill left things.
        beside = self.check_store(kill, phase, after_pass=False)
        self.check_logs(kill, phase, "after the kill")
        self.check_csv(kill, phase, "after the kill")

        # The next pass.
        pending = self.pending_bytes()
        since = now_utc()
        self.start()
        if not self.wait_for_pass(since, timeout=60 + pending / (256 * 1024)):
            self.fail(kill, phase, "the restarted service did not finish its first pass")
        else:
            self.learn_throughput(since)
        self.check_store(kill, phase, after_pass=True)
        self.check_logs(kill, phase, "after the next pass")
        self.check_csv(kill, phase, "after the next pass")
        # A journal found beside its complete .xz is compressed again by design (the pass cannot
        # tell how it came there); any other second compression is a fault.
        self.recompressed += len(beside)
        twice = [name for name, n in (self.compressions_in_log() - compressions_before).items()
                 if name.rsplit(".", 1)[0] not in beside
                 and (n > 1 or any(name.startswith(stem + ".") for _, stem in self.done))]
        if twice:
            self.fail(kill, phase, f"compressed twice: {twice}")
        self.take_away_compressed()
        self.say(f"  checked {time.monotonic() - self.t0:.1f} s into the round")
        stop = self.m.service("stop")
        if stop.error is not None or not stop.statuses or stop.statuses[-1].state != STOPPED \
                or stop.statuses[-1].exit_code != 0:
            self.fail(kill, phase, f"the stop after the next pass did not end in STOPPED with exit code 0:\n"
                                   f"{stop.run.out}{stop.run.err}")
            self.m.ensure_stopped()
        if len(self.failures) == failed:
            self.survived_by_phase[phase] += 1

    def await_compression(self, delay, since):
        """Returns at a moment inside the compression of one of the pending journals, chosen by
        size (so the long compressions, where a kill is most likely to find the pass, get most
        kills): `delay` of the way through the time its bytes take at the pass's learnt speed,
        counted from its .tmp's appearance. Returns at once when the pass got past it unseen."""
        pending = [(key, size) for key, (size, _) in self.journals.items()
                   if key not in self.done and (self.store / key[0] / (key[1] + ".bin")).exists()]
        if not pending:
            return
        (kind, stem), size = self.rng.choices(pending, weights=[size + 1 for _, size in pending])[0]
        temp, packed = self.store / kind / (stem + ".tmp"), self.store / kind / (stem + ".xz")
        deadline = time.monotonic() + 60 + self.pending_bytes() / (256 * KiB)
        while not temp.exists():
            if packed.exists() or time.monotonic() > deadline or self.pass_done_since(since):
                return
            time.sleep(0.005)
        time.sleep(delay * min(30.0, size / self.throughput))

    def await_rotation(self, phase, delay, rotations_before):
        """Starts the service and returns its PID at a moment around the rotation the phase
        aims at: while the file fills its last bytes before the limit (a random threshold of up
        to 4 KiB for nvxs.log, 2 rows for the CSV), or a random time of up to 0.5 s after the
        copy was made. The file's size and its first copy's time are polled from the host."""
        outcome = {}

        def start():
            try:
                outcome["pid"] = self.start()
            except RuntimeError as e:  # a kill before RUNNING ends the start in failure
                outcome["error"] = e

        starter = threading.Thread(target=start, daemon=True)
        starter.start()
        if phase == "log":
            path, first_copy, limit, before = self.logs / "nvxs.log", self.logs / "nvxs1.log", LOG_ROTATE_BYTES, 4 * KiB
            was = rotations_before[0]
        else:
            path, first_copy, limit = self.csv, self.csv.with_name(self.csv.name + ".1"), CSV_ROTATE_BYTES
            before, was = 2 * self.csv_row_bytes, rotations_before[1]
        after = delay >= 0.5
        threshold = None if after else limit - int(before * delay * 2)
        wait_after = delay - 0.5 if after else 0
        deadline = time.monotonic() + 60
        pid = None
        while time.monotonic() < deadline and "error" not in outcome:
            if pid is None and (pid := self.service_pid()) is not None:
                # The start-up writes past the limit within seconds, the perf logger samples every
                # second: a rotation not seen by then will not come in this round.
                deadline = time.monotonic() + 10
            if pid is not None:
                if self.mtime(first_copy) != was:
                    time.sleep(wait_after)
                    break
                try:
                    if threshold is not None and path.stat().st_size >= threshold:
                        break
                except FileNotFoundError:
                    pass
            time.sleep(0.002)
        if pid is None:
            starter.join()
            raise RuntimeError(f"the service's process did not appear: {outcome.get('error')}")
        return pid, starter

    def moment(self, phase, rotations_before):
        """What was going on just before the kill: a compression (a .tmp there), or whether the log
        or the perf log had rotated since the round began."""
        parts = []
        if any(self.store.rglob("*.tmp")):
            parts.append("mid-compression")
        if self.mtime(self.logs / "nvxs1.log") != rotations_before[0]:
            parts.append("log rotated")
        if self.mtime(self.csv.with_name(self.csv.name + ".1")) != rotations_before[1]:
            parts.append("csv rotated")
        if not parts:
            return "before the rotation" if phase != "compress" else "no compression running"
        return ", ".join(parts)

    @staticmethod
    def mtime(path):
        try:
            return path.stat().st_mtime_ns
        except FileNotFoundError:
            return None


def now_utc():
    # Log times have milliseconds; a line written in the same millisecond as this counts as after.
    now = datetime.now(timezone.utc)
    return now.replace(microsecond=now.microsecond // 1000 * 1000)


def prepare(machine, build):
    machine.checked("create", "--build", build)
    machine.reg_set(SERVICE_KEY, "DebugLevel", "REG_DWORD", 1)
    machine.reg_set("params", "PerfCollectionPeriodSec", "REG_DWORD", 1)
    machine.checked("driver", "version", "2.1.0.0")
    machine.checked("driver", "start")


def report(campaign, kills, seed, elapsed):
    sys.stdout.flush()
    print(f"\nseed {seed}: {kills} kills in {elapsed:.0f} s\n")
    print(f"{'activity':<10} {'kills':>6} {'survived':>9}   moments of the kills")
    for phase in PHASES:
        moments = ", ".join(f"{state} {n}" for (p, state), n in sorted(campaign.outcomes.items()) if p == phase)
        print(f"{phase:<10} {campaign.kills_by_phase[phase]:>6} {campaign.survived_by_phase[phase]:>9}   {moments}")
    total = sum(campaign.survived_by_phase.values())
    print(f"{'all':<10} {kills:>6} {total:>9}")
    print(f"\njournals written {len(campaign.journals)} ({sum(s for s, _ in campaign.journals.values()) / MiB:.1f} MiB),"
          f" compressed and checked {len(campaign.done)}; found beside their complete .xz after a kill and"
          f" compressed again: {campaign.recompressed}")
    for kill, phase, text in campaign.failures:
        print(f"FAILED kill {kill} ({phase}): {text}")


def interrupted(signum, frame):
    raise KeyboardInterrupt


def main():
    # A termination ends the campaign as an interruption does: the figures so far, and the
    # machine's processes ended.
    signal.signal(signal.SIGTERM, interrupted)
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--kills", type=int, default=200)
    parser.add_argument("--seed", type=int, help="replay a campaign (default: a new seed, printed)")
    parser.add_argument("--max-size", type=size_argument, default=64 * MiB, help="the largest journal (64MiB)")
    parser.add_argument("--build", choices=("shipped", "sim"), default="shipped")
    parser.add_argument("-v", "--verbose", action="store_true", help="a line per kill")
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 32)
    print(f"kill campaign: seed {seed} (replay with --seed {seed}), {args.kills} kills, journals up to"
          f" {args.max_size / MiB:g} MiB", flush=True)
    rng = random.Random(seed)
    tmp = machine_dir("nvx-kills-")
    machine = SimMachine(Path(tmp) / "machine")
    started = time.monotonic()
    campaign = None
    status = 1
    try:
        prepare(machine, args.build)
        campaign = Campaign(machine, rng, args.max_size, args.verbose)
        phases = []
        for kill in range(1, args.kills + 1):
            if not phases:
                phases = list(PHASES)
                rng.shuffle(phases)
            campaign.round(kill, phases.pop())
        status = 1 if campaign.failures else 0
    except (RuntimeError, AssertionError) as e:
        print(f"campaign stopped: {e}", file=sys.stderr)
    except KeyboardInterrupt:
        print("campaign interrupted", file=sys.stderr)
    finally:
        if campaign is not None:
            report(campaign, sum(campaign.kills_by_phase.values()), seed, time.monotonic() - started)
        problems = machine.shut_down()
        shutil.rmtree(tmp, ignore_errors=True)
        if problems:
            print("machine did not end cleanly: " + "; ".join(problems), file=sys.stderr)
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
