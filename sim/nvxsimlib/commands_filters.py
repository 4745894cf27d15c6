"""nvxsim's commands on the machine's filter stack: the stack the driver simulator publishes
(`driver filters`), and the lie the fltlib.dll stand-in tells in its walks (`fltlib`)."""

import contextlib
import os
from pathlib import Path

from .clitools import EXIT_FAILED, EXIT_OK, Usage, out_json
from .commands_driver import driver_answer_error, raw_records
from .layout import (FILTER_STACK_IN_PREFIX, FILTER_STACK_SET_IN_PREFIX, FILTER_STACK_SET_WIN, FILTER_STACK_WIN,
                     FLTLIB_LIE_IN_PREFIX, FLTLIB_LIE_WIN)
from .texts import say

# --------------------------------------------------------------------------------------------
# The published filter stack (its format: sim/filter_stack.h)


def read_filter_stack(path):
    """[{kind, name, frame, altitude, instances}] of a published description in its order (each
    minifilter with its instances), or None without one. The driver writes it, so its lines are
    taken as they are; a line of another shape is passed over."""
    try:
        text = path.read_text(encoding="utf-8", errors="replace")
    except FileNotFoundError:
        return None
    filters, instances = [], []
    for line in text.splitlines():
        fields = line.split("\t")
        if fields[0] == "minifilter" and len(fields) == 4 and fields[2].isdigit():
            filters.append({"kind": "minifilter", "name": fields[1], "frame": int(fields[2]),
                            "altitude": fields[3], "instances": []})
        elif fields[0] == "legacy" and len(fields) == 3:
            filters.append({"kind": "legacy", "name": fields[1], "altitude": fields[2]})
        elif fields[0] == "instance" and len(fields) in (5, 6):
            instances.append(fields)
    for fields in instances:
        owner = next((f for f in filters if f["kind"] == "minifilter" and f["name"].lower() == fields[1].lower()),
                     None)
        if owner is not None:
            frame = int(fields[5]) if len(fields) == 6 and fields[5].isdigit() else owner["frame"]
            owner["instances"].append({"name": fields[2], "altitude": fields[3], "volume": fields[4],
                                       "frame": frame})
    return filters


def cmd_driver_filters(m, a):
    if (a.action == "set") != (a.file is not None):
        raise Usage("driver filters: show, set FILE or reset (see `nvxsim help driver filters`)")
    if a.action in ("set", "reset"):
        return change_filter_stack(m, a)
    m.require()
    path = m.prefix / FILTER_STACK_IN_PREFIX
    filters = read_filter_stack(path)
    if a.json:
        out_json({"path": FILTER_STACK_WIN, "host_path": str(path), "published": filters is not None,
                  "filters": filters or []})
    elif filters is None:
        say(f"{FILTER_STACK_WIN}: no filter stack published (`nvxsim driver start` publishes one)")
    else:
        instances = sum(len(f.get("instances", ())) for f in filters)
        say(f"{FILTER_STACK_WIN}  ({path}): {len(filters)} filter{'s' if len(filters) != 1 else ''},"
            f" {instances} instance{'s' if instances != 1 else ''}, in the order the walks give them")
        for f in filters:
            if f["kind"] == "legacy":
                say(f"  legacy      {f['name']:<36} altitude {f['altitude']}")
                continue
            say(f"  minifilter  {f['name']:<36} altitude {f['altitude']:<12} frame {f['frame']}")
            for i in f["instances"]:
                say(f"    instance  {i['name']:<36} altitude {i['altitude']:<12} frame {i['frame']:<3} on {i['volume']}")
    return EXIT_OK if filters is not None else EXIT_FAILED


def change_filter_stack(m, a):
    """`set FILE` hands the description to the running driver through a copy in the machine (the
    driver reads a path: a description is longer and has more TABs and line ends than a command
    line carries well); `reset` asks for the driver's own stack."""
    m.ensure_up()
    if a.action == "reset":
        rc, records = m.driver_ctl("filters", "reset")
    else:
        try:
            text = Path(a.file).read_bytes()
        except OSError as e:
            raise Usage(f"driver filters set: cannot read {a.file}: {e.strerror}") from None
        staging_win = FILTER_STACK_SET_WIN.format(pid=os.getpid())
        staging = m.prefix / FILTER_STACK_SET_IN_PREFIX.format(pid=os.getpid())
        staging.parent.mkdir(parents=True, exist_ok=True)
        staging.write_bytes(text)
        try:
            rc, records = m.driver_ctl("filters", "set", staging_win)
        finally:
            with contextlib.suppress(FileNotFoundError):
                staging.unlink()
        for record in records:  # a rejected description is named as the user named it
            if "error" in record:
                record["error"] = record["error"].replace(staging_win, a.file)
    if m.raw:
        return raw_records(m, a, rc, records)
    if rc != 0:
        return driver_answer_error(rc, records)
    for record in records:
        if record.get("event") == "filters":
            source = "the driver's own stack" if a.action == "reset" else a.file
            say(f"Filter stack published from {source}: {record['filters']} filters, {record['instances']}"
                " instances (the service's next snapshot walks it: at its start, then hourly)")
    return EXIT_OK


# --------------------------------------------------------------------------------------------
# The fltlib.dll stand-in's lie (its format: sim/fltlib_lie.h)

# kind: (the only walk it concerns, or None for either; what the stand-in does)
LIE_KINDS = {
    "name-length": (None, "the entry's name length runs past the bytes returned"),
    "name-offset": (None, "the entry's name offset lies past the bytes returned"),
    "odd-name-length": (None, "the entry's name length is odd (one byte short)"),
    "returned-past-buffer": (None, "more bytes returned than the buffer holds, the name beyond the buffer"),
    "unknown-type": (None, "the entry's Flags is 4: neither minifilter nor legacy filter"),
    "no-instance-name": ("instances", "the instance entry's name length is 0"),
    "filter-next-fails": ("filters", "FilterFindNext fails with ERROR once AFTER entries were given"),
    "instance-next-fails": ("instances", "FilterInstanceFindNext fails likewise"),
}
LIE_ERRORS = {"invalid-parameter": 87, "not-enough-memory": 8}


def read_lie(path):
    """{kind, walk, after, error} of the lie file, or None when there is none."""
    try:
        text = path.read_text(encoding="utf-8", errors="replace")
    except FileNotFoundError:
        return None
    words = dict(w.split("=", 1) for line in text.splitlines() if line and not line.startswith("#")
                 for w in line.split() if "=" in w)
    return {"kind": words.get("kind"), "walk": words.get("walk", "filters"),
            "after": int(words.get("after", "0"), 0), "error": int(words.get("error", "87"), 0)}


def lie_text(lie):
    kind = str(lie["kind"])
    what = LIE_KINDS.get(kind, (None, "(a kind the stand-in does not know: its walks fail)"))[1]
    if kind.endswith("-next-fails"):
        return f"{kind}: {what.replace('ERROR', str(lie['error'])).replace('AFTER', str(lie['after']))}"
    return f"{kind} in the {lie['walk']} walk from each walk's entry {lie['after'] + 1} on: {what}"


def cmd_fltlib(m, a):
    m.require()
    path = m.prefix / FLTLIB_LIE_IN_PREFIX
    if a.action == "lie":
        if a.clear == (a.kind is not None):
            raise Usage("fltlib lie: KIND, or --clear (see `nvxsim help fltlib`)")
        if a.clear:
            with contextlib.suppress(FileNotFoundError):
                path.unlink()
        else:
            write_lie(path, make_lie(a))
    elif a.kind is not None or a.clear:
        raise Usage("fltlib: show, or lie KIND | lie --clear (see `nvxsim help fltlib`)")
    lie = read_lie(path)
    if a.json:
        out_json({"path": FLTLIB_LIE_WIN, "host_path": str(path), "lie": lie})
    elif lie is None:
        say(f"fltlib.dll stand-in: tells the truth ({FLTLIB_LIE_WIN} absent)")
    else:
        say(f"fltlib.dll stand-in lies from its next FindFirst on: {lie_text(lie)}  ({FLTLIB_LIE_WIN})")
    return EXIT_OK


def make_lie(a):
    own, _ = LIE_KINDS[a.kind]
    walk = a.walk or own or "filters"
    if own is not None and walk != own:
        raise Usage(f"fltlib lie: {a.kind} concerns the {own} walk only")
    after = 0 if a.after is None else a.after
    if after < 0 or after > 0xFFFFFFFF:
        raise Usage("fltlib lie: --after takes an unsigned 32-bit number")
    if a.kind.endswith("-next-fails") and after < 1:
        raise Usage(f"fltlib lie: {a.kind} needs --after N of at least 1 (FindFirst gives the first entry)")
    error = LIE_ERRORS.get(a.error) if a.error in LIE_ERRORS else None
    if error is None:
        try:
            error = int(a.error or "87", 0)
        except ValueError:
            raise Usage(f"fltlib lie: --error is a Win32 error number or one of {', '.join(LIE_ERRORS)}") from None
    if a.error is not None and not a.kind.endswith("-next-fails"):
        raise Usage("fltlib lie: --error goes with filter-next-fails and instance-next-fails")
    if not 1 <= error <= 0xFFFF:
        raise Usage("fltlib lie: --error is a Win32 error (1 to 65535)")
    return {"kind": a.kind, "walk": walk, "after": after, "error": error}


def write_lie(path, lie):
    """The lie file in one rename, so that a walk reads the old lie or the new one."""
    path.parent.mkdir(parents=True, exist_ok=True)
    staging = path.with_name(path.name + f".{os.getpid()}.tmp")
    staging.write_text(f"kind={lie['kind']} walk={lie['walk']} after={lie['after']} error={lie['error']}\n",
                       encoding="utf-8")
    os.replace(staging, path)
