"""The service's debug log as the host reads it: the line format, the facility bits of
DebugFacilities and the level scale of DebugLevel (1 is the most detail)."""

import re
from dataclasses import dataclass
from datetime import datetime, timezone
from pathlib import Path

LOGS_DIR_WIN = r"C:\ProgramData\Kestro\Vantor\Logs"
LOGS_DIR_IN_PREFIX = Path("drive_c/ProgramData/Kestro/Vantor/Logs")
LOG_FILES = ["nvxs4.log", "nvxs3.log", "nvxs2.log", "nvxs1.log", "nvxs.log"]  # oldest first
# The perf logger's CSV (header line, then one row per sample; rotated to .1 .. .10, .1 the newest).
PERF_LOG_WIN = LOGS_DIR_WIN + r"\Perf\NvxPerformance.csv"
PERF_LOG_IN_PREFIX = LOGS_DIR_IN_PREFIX / "Perf" / "NvxPerformance.csv"
# The telemetry snapshot: one line of "key":number pairs, replaced at start and then hourly.
TELEMETRY_WIN = r"C:\ProgramData\Kestro\Vantor\telemetry.log"
TELEMETRY_IN_PREFIX = Path("drive_c/ProgramData/Kestro/Vantor/telemetry.log")

# DebugFacilities: one bit per facility, as the log names it.
FACILITY_BITS = {
    "Init": 0x1, "Shutdown": 0x2, "Sys": 0x4, "Win": 0x8, "Mem": 0x10, "Proc": 0x20, "Thread": 0x40,
    "File": 0x80, "Policy": 0x100, "Etw": 0x200, "Path": 0x400, "Net": 0x800, "Reg": 0x1000, "Obj": 0x2000,
    "Crypto": 0x4000, "FileFlt": 0x8000, "Comms": 0x10000, "Notify": 0x20000, "FileScan": 0x40000,
    "FileHash": 0x80000, "Ravel": 0x100000, "EvtJrn": 0x200000, "Telemetry": 0x400000, "Assert": 0x80000000,
}
ALL_FACILITIES = 0xFFFFFFFF
# DebugLevel: a line is written when its level is at least this; 1 (Debug) is the most detail.
LEVELS = ["Debug", "Info", "Notice", "Warning", "Error", "Crit", "Alert", "Emerg"]
DEFAULT_FACILITIES, DEFAULT_LEVEL = ALL_FACILITIES, 2  # what the service writes when a value is missing

LOG_LINE = re.compile(r"^(?P<time>\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z) NVXS "
                      rf"(?P<facility>{'|'.join(FACILITY_BITS)}) (?P<level>{'|'.join(LEVELS)}) (?P<text>.*)$")


@dataclass
class LogLine:
    time: datetime
    facility: str
    level: str
    text: str


def parse_log_line(line):
    """A debug-log line (without its line end) -> LogLine, or None when it is not one."""
    m = LOG_LINE.match(line)
    if m is None:
        return None
    stamp = datetime.strptime(m.group("time"), "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=timezone.utc)
    return LogLine(stamp, m.group("facility"), m.group("level"), m.group("text"))


def level_number(name):
    """1..8 for a level name (any case) or number; ValueError otherwise."""
    if name.isdigit() and 1 <= int(name) <= len(LEVELS):
        return int(name)
    for number, level in enumerate(LEVELS, start=1):
        if level.lower() == name.lower():
            return number
    raise ValueError(f"{name} is no level: {', '.join(f'{n} {l}' for n, l in enumerate(LEVELS, 1))}")


def facility_name(name):
    """The log's spelling of a facility name given in any case; ValueError otherwise."""
    for facility in FACILITY_BITS:
        if facility.lower() == name.lower():
            return facility
    raise ValueError(f"{name} is no facility: {', '.join(FACILITY_BITS)}")


def facilities_text(mask):
    """DebugFacilities decoded: "all", "none", or the names of its bits (unknown bits in hex)."""
    if mask & ALL_FACILITIES == ALL_FACILITIES:
        return "all"
    names = [name for name, bit in FACILITY_BITS.items() if mask & bit]
    rest = mask & ~sum(FACILITY_BITS.values())
    if rest:
        names.append(f"0x{rest:x}")
    return "|".join(names) if names else "none"


def level_text(level):
    """DebugLevel decoded: the least level written and what that means."""
    if 1 <= level <= len(LEVELS):
        detail = ": the most detail" if level == 1 else ""
        return f"{LEVELS[level - 1]} and above{detail}"
    return "out of range 1..8"
