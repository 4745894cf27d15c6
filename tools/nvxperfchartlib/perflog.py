"""Reading NvxPerformance.csv and its numbered copies into one timeline (standard library only).

A file is CSV with CR LF line ends: a header "timestamp" followed by counter paths, then one row per
sample, the UTC time ("YYYY-MM-DDTHH:MM:SS.mmmZ") and each counter's raw value as an unsigned 64-bit
decimal number. The service rotates the current file to NvxPerformance.csv.1 (and .1 to .2, ...) when
the columns change or the file grows too large, so the highest number is the oldest copy.

Nothing here stops at bad input: an unreadable file or line is reported through `warn` and left out.
"""

import csv
import math
import re
from dataclasses import dataclass, field
from datetime import datetime, timezone
from pathlib import Path

BASE_NAME = "NvxPerformance.csv"
COPY_NAME = re.compile(re.escape(BASE_NAME) + r"\.(\d+)$")
TIMESTAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$", re.ASCII)
VALUE = re.compile(r"\d{1,20}$", re.ASCII)
U64_LIMIT = 1 << 64
SIGN_BIT = 1 << 63


@dataclass
class PerfFile:
    """One file as read: its columns (without "timestamp") and its well-formed rows."""
    path: Path
    columns: list
    times: list = field(default_factory=list)  # datetime, UTC
    rows: list = field(default_factory=list)  # [int] per row, in the order of columns


@dataclass
class Timeline:
    """Every row of every file in time order. values[column][i] is the column's value at times[i], or
    None where the file holding row i has no such column (a gap in the line, not a zero)."""
    files: list  # PerfFile, oldest first
    times: list
    columns: list  # counter paths, in the order they first appear
    values: dict


def copy_number(path):
    """0 for NvxPerformance.csv (or any name without a numeric suffix), N for a name ending in ".N"."""
    match = re.search(r"\.(\d+)$", Path(path).name)
    return int(match.group(1)) if match else 0


def numbering_order(path):
    """Sort key: the highest copy number (the oldest) first, the current file last."""
    return -copy_number(path), str(path)


def find_log_files(directory):
    """NvxPerformance.csv and its numbered copies in a directory."""
    directory = Path(directory)
    return [p for p in directory.iterdir() if p.is_file() and (p.name == BASE_NAME or COPY_NAME.match(p.name))]


def parse_timestamp(text):
    """A datetime in UTC, or None when the text is not the log's time format or no valid date."""
    if not TIMESTAMP.match(text):
        return None
    try:
        return datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=timezone.utc)
    except ValueError:
        return None


def parse_counter_path(path):
    """(set, instance, counter) of "\\Set\\Counter" or "\\Set(Instance)\\Counter"; instance is "" for a
    set without instances. None for a text of neither form. No name holds a backslash, and set names
    hold no parenthesis, so the instance is what lies between the first "(" and the final ")"."""
    parts = path.split("\\")
    if len(parts) != 3 or parts[0] or not parts[1] or not parts[2]:
        return None
    head, counter = parts[1], parts[2]
    if head.endswith(")") and "(" in head:
        name, instance = head[:-1].split("(", 1)
        return (name, instance, counter) if name else None
    return head, "", counter


def read_file(path, warn):
    """The file's header and well-formed rows, or None when it has no usable header. Every line left
    out is reported as "FILE:LINE: reason"."""
    path = Path(path)
    try:
        text = path.read_bytes().decode("utf-8", errors="replace")
    except OSError as e:
        warn(f"{path}: cannot be read ({e.strerror or e}); skipped")
        return None
    if not text:
        warn(f"{path}: empty; skipped")
        return None
    complete = text.rfind("\n") + 1
    if complete < len(text):
        # The service writes each row with its line end in one append: a row without one was cut short.
        warn(f"{path}:{text.count(chr(10)) + 1}: half-written last line (no line end); skipped")
        text = text[:complete]
        if not text:
            return None

    # Row by row: no field holds a line end, so a broken quote costs its own line and no more.
    header = None
    result = None
    for line, text_line in enumerate(text.split("\n")[:-1], start=1):
        try:
            fields = next(csv.reader([text_line.removesuffix("\r")], strict=True), [])
        except csv.Error as e:
            warn(f"{path}:{line}: not a CSV row ({e}); " + ("skipped" if header else "file skipped"))
            if header is None:
                return None
            continue
        if header is None:
            if not fields or fields[0] != "timestamp":
                warn(f"{path}:{line}: the header does not begin with \"timestamp\"; file skipped")
                return None
            header = fields
            result = PerfFile(path, fields[1:])
            continue
        problem = row_problem(fields, len(header))
        if problem:
            warn(f"{path}:{line}: {problem}; skipped")
            continue
        result.times.append(parse_timestamp(fields[0]))
        result.rows.append([int(v) for v in fields[1:]])
    return result


def row_problem(fields, count):
    """Why a data row cannot be used, or None."""
    if len(fields) != count:
        return f"{len(fields)} fields where the header has {count}"
    if parse_timestamp(fields[0]) is None:
        return f"bad timestamp {fields[0]!r}"
    for value in fields[1:]:
        if not VALUE.match(value) or int(value) >= U64_LIMIT:
            return f"bad value {value!r}"
    return None


def order_files(files, warn):
    """Oldest first: by the numbering (highest copy number first, the current file last), unless the
    files' own first timestamps say otherwise, which then win (and a warning says so). Files without
    rows keep their place by number among the others."""
    by_number = sorted(files, key=lambda f: numbering_order(f.path))
    dated = [f for f in by_number if f.times]
    by_time = sorted(dated, key=lambda f: f.times[0])
    if by_time == dated:
        return by_number
    warn("the files' first timestamps disagree with their numbering; ordered by time: "
         + ", ".join(f"{f.path.name} ({f.times[0]:%Y-%m-%d %H:%M:%S}Z)" for f in by_time))
    slots = iter(by_time)
    return [next(slots) if f.times else f for f in by_number]


def expand_inputs(inputs, warn):
    """Directories stand for the log files they hold; other paths are taken as they are."""
    paths = []
    for item in inputs:
        item = Path(item)
        if item.is_dir():
            found = find_log_files(item)
            if not found:
                warn(f"{item}: holds no {BASE_NAME} nor numbered copies of it")
            paths.extend(found)
        else:
            paths.append(item)
    return list(dict.fromkeys(paths))


def read_timeline(inputs, warn, signed=True):
    """All rows of the given files and directories in time order. With `signed`, a value of 2^63 or
    more is shown as the negative number whose two's complement it is (the driver's counters are
    signed 64-bit)."""
    paths = sorted(expand_inputs(inputs, warn), key=numbering_order)  # warnings come oldest file first
    files = [f for f in (read_file(p, warn) for p in paths) if f is not None]
    files = order_files(files, warn)
    columns = list(dict.fromkeys(c for f in files for c in f.columns))
    times = [t for f in files for t in f.times]
    values = {c: [] for c in columns}
    for f in files:
        index = {c: i for i, c in enumerate(f.columns)}
        for c in columns:
            i = index.get(c)
            if i is None:
                values[c].extend([None] * len(f.rows))
            else:
                values[c].extend(to_signed(r[i]) if signed else r[i] for r in f.rows)
    return Timeline(files, times, columns, values)


def to_signed(value):
    return value - U64_LIMIT if value >= SIGN_BIT else value


def as_floats(values):
    """For drawing: gaps become NaN, so that a line breaks there."""
    return [math.nan if v is None else float(v) for v in values]
