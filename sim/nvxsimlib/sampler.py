"""A sample of a process of the simulated machine, taken from inside it (nvxprocstat.exe): private
bytes, handle count, thread count; and, for the service, the memory pool's live counts and the debug
log's missed-message count, read out of the running process at the addresses its executable's
debug information gives, as a debugger would read them. The service reports neither while it runs
(the pool logs its totals and the log its missed messages only at shutdown), so nothing is added
to it for this.

What Wine 8 answers for another process, checked against the host's /proc/PID/status of the same
process:
- private bytes: GetProcessMemoryInfo's PrivateUsage is 0, and so is SystemProcessInformation's
  PrivatePageCount; its PagefileUsage (the commit charge, which Windows also reports as
  PrivateUsage) is the Linux process's anonymous resident memory, RssAnon: the private memory the
  process really holds in RAM (not its commit). A sample takes PrivateUsage, else PagefileUsage.
- handles: GetProcessHandleCount answers 0 (and succeeds); SystemProcessInformation's HandleCount
  is the size of the wineserver's handle table for the process (32, 64, 128: it doubles as it
  fills), not the handles open. The process's entries in the system's handle list
  (SystemExtendedHandleInformation) are its open handles one by one: the real figure. A sample
  takes GetProcessHandleCount unless it is 0, else that list's count.
- threads: a Toolhelp snapshot and SystemProcessInformation agree; both count the process's
  Windows threads (Linux shows one more, a thread of Wine's own).
- working set: WorkingSetSize is the resident set, VmRSS.
"""

import functools
import json
import re
import shutil
import struct
import subprocess
from dataclasses import asdict, dataclass
from pathlib import Path

from .layout import EXE_NAME, TOOLS_DIR_WIN
from .texts import SimError, say

PROCSTAT_NAME = "nvxprocstat.exe"
PROCSTAT_WIN = TOOLS_DIR_WIN + "\\" + PROCSTAT_NAME
FLOOR_EVENT = "nvxsim-footprint-floor"

# The service's variables a sample reads: (field of Sample, expression whose address gdb gives).
POOL = "'(anonymous namespace)::g_pool'"
SERVICE_VARIABLES = [
    ("pool_blocks", f"&{POOL}.blocksInUse"),
    ("pool_big_chunks", f"&{POOL}.bigChunksInUse"),
    ("pool_chunks", f"&{POOL}.chunksAllocated"),
    ("pool_no_free_buffer", f"&{POOL}.noFreeBufferFailures"),
    ("pool_bad_magic", f"&{POOL}.badMagicCount"),
    ("missed_messages", "&'(anonymous namespace)::gMissed'"),
]
POOL_CHUNK_BYTES = 0x10000


@dataclass
class Sample:
    pid: int
    image: str
    private_bytes: int
    working_set: int
    handles: int
    threads: int
    # A second source of the same figures (SystemProcessInformation), -1 when it had no entry.
    spi_private_bytes: int = -1
    spi_handles: int = -1
    spi_threads: int = -1
    # The calls' own answers, for the record (see above).
    private_usage: int = -1
    pagefile_usage: int = -1
    handle_count: int = -1
    listed_handles: int = -1
    pool_blocks: int = None
    pool_big_chunks: int = None
    pool_chunks: int = None
    pool_no_free_buffer: int = None
    pool_bad_magic: int = None
    missed_messages: int = None

    def as_dict(self):
        return asdict(self)


def image_base(exe):
    """The preferred load address in a PE32+ executable's optional header."""
    data = Path(exe).read_bytes()[:4096]
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0" or struct.unpack_from("<H", data, pe + 24)[0] != 0x20B:
        raise SimError(f"{exe}: not a 64-bit PE image")
    return struct.unpack_from("<Q", data, pe + 24 + 24)[0]


@functools.lru_cache(maxsize=8)
def _variable_rvas(exe, _stamp):
    if shutil.which("gdb") is None:
        raise SimError("gdb not found: the service's pool and log counters are read at the addresses"
                       " its debug information gives")
    argv = ["gdb", "-batch", "-nx"]
    for _, expression in SERVICE_VARIABLES:
        argv += ["-ex", f"print/x {expression}"]
    run = subprocess.run(argv + [str(exe)], capture_output=True, timeout=300)
    addresses = re.findall(rb"^\$\d+ = (?:\([^)]*\) )?(0x[0-9a-f]+)", run.stdout, re.M)
    if len(addresses) != len(SERVICE_VARIABLES):
        raise SimError(f"{exe}: gdb did not give the address of every counter (an executable without"
                       f" debug information?):\n{(run.stdout + run.stderr).decode(errors='replace')[-800:]}")
    base = image_base(exe)
    return {name: int(address, 16) - base for (name, _), address in zip(SERVICE_VARIABLES, addresses)}


def variable_rvas(exe):
    """{field: RVA} of the service's counters in this executable (cached per file version)."""
    exe = Path(exe).resolve()
    stat = exe.stat()
    return _variable_rvas(str(exe), (stat.st_size, stat.st_mtime_ns))


def install_procstat(machine):
    """Puts nvxprocstat.exe (built beside nvxsimctl) among the machine's tools when it is missing
    or older than the build."""
    built = machine.ctl.parent / PROCSTAT_NAME
    if not built.is_file():
        raise SimError(f"{PROCSTAT_NAME} not found at {built} (build first: cmake --build --preset mingw)")
    target = machine.drive_c("nvxsim", PROCSTAT_NAME)
    if not target.is_file() or target.stat().st_mtime_ns < built.stat().st_mtime_ns:
        shutil.copy2(built, target)


def parse_records(text):
    """nvxprocstat's lines -> [(keyword, {field: text})]."""
    records = []
    for line in text.splitlines():
        parts = line.split()
        if parts and parts[0].isupper():
            records.append((parts[0], dict(p.split("=", 1) for p in parts[1:] if "=" in p)))
    return records


def sample_process(machine, which, peeks=()):
    """(Sample, {rva: bytes}) of the process `which` (an image name or a PID) of the machine."""
    install_procstat(machine)
    args = [PROCSTAT_WIN, str(which)]
    for rva, length in peeks:
        args += ["--peek", f"0x{rva:x}:{length}"]
    rc, out, err = machine.wine(*args, timeout=60)
    records = parse_records(out.decode(errors="replace"))
    process = next((fields for kind, fields in records if kind == "PROCESS"), None)
    if rc != 0 or process is None:
        error = next((fields for kind, fields in records if kind == "ERROR"), None)
        raise SimError(f"nvxprocstat {which}: " + (f"{error.get('op')} failed with error {error.get('error')}"
                                                  if error else (out + err).decode(errors="replace").strip()))
    figures = {key: int(value) for key, value in process.items() if key not in ("image", "image_base")}
    sample = Sample(pid=figures["pid"], image=process["image"],
                    private_bytes=figures["private_usage"] or figures["pagefile_usage"],
                    working_set=figures["working_set"], handles=figures["handle_count"] or figures["listed_handles"],
                    threads=figures["threads"], spi_private_bytes=figures["spi_private_bytes"],
                    spi_handles=figures["spi_handles"], spi_threads=figures["spi_threads"],
                    private_usage=figures["private_usage"], pagefile_usage=figures["pagefile_usage"],
                    handle_count=figures["handle_count"], listed_handles=figures["listed_handles"])
    peeked = {int(fields["rva"], 16): bytes.fromhex(fields["bytes"]) for kind, fields in records if kind == "PEEK"}
    return sample, peeked


def sample_service(machine, exe=None):
    """A Sample of the running service with its pool and log counters; SimError when it does not
    run. `exe` is the executable the service runs (by default the machine's installed copy)."""
    rvas = variable_rvas(exe or machine.installed_exe())
    sample, peeked = sample_process(machine, EXE_NAME, [(rva, 8) for rva in rvas.values()])
    for name, rva in rvas.items():
        setattr(sample, name, struct.unpack("<Q", peeked[rva])[0])
    return sample


def cmd_sample(m, a):
    """`nvxsim sample [PROCESS]`: the service (or another process of the machine) as a sample sees it."""
    m.ensure_up()
    if a.process is None:
        sample = sample_service(m)
    else:
        sample, _ = sample_process(m, a.process)
    if a.json:
        print(json.dumps(sample.as_dict()), flush=True)
        return 0
    say(f"{sample.image} (pid {sample.pid})")
    say(f"  private bytes   {sample.private_bytes:>12,}  (PrivateUsage {sample.private_usage}, PagefileUsage"
        f" {sample.pagefile_usage})")
    say(f"  working set     {sample.working_set:>12,}")
    say(f"  handles         {sample.handles:>12}  (GetProcessHandleCount {sample.handle_count}, handle list"
        f" {sample.listed_handles}, SystemProcessInformation's table size {sample.spi_handles})")
    say(f"  threads         {sample.threads:>12}")
    if sample.pool_blocks is not None:
        say(f"  pool            {sample.pool_blocks} blocks and {sample.pool_big_chunks} big chunks in use,"
            f" {sample.pool_chunks} chunks ({sample.pool_chunks * POOL_CHUNK_BYTES // 1024} KiB) made;"
            f" faults: {sample.pool_no_free_buffer} no free buffer, {sample.pool_bad_magic} bad magic")
        say(f"  nvxs.log        {sample.missed_messages} missed messages so far")
    return 0
