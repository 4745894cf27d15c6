"""nvxsim's commands on the machine, the service, the registry, programs and logs."""

import csv
import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path

from . import driver as drv
from . import logs
from .clitools import EXIT_FAILED, EXIT_OK, Usage, out_json
from .layout import BUILD_SIM, BUILD_TEXT, EXE_NAME, REG_TYPES, SERVICE_KEY, SERVICE_NAME, resolve_key, short_key
from .texts import (CONTROLS, STATE_NAMES, clean, error_text, exit_code_meaning, exit_code_text, parse_record, say,
                    status_text)
from .wine import note


# --------------------------------------------------------------------------------------------
# Machine


def cmd_create(m, a):
    m.create(a.build)


def cmd_install(m, a):
    m.install(a.build)


def machine_source():
    return "$NVXSIM_MACHINE" if os.environ.get("NVXSIM_MACHINE") else "the default; --machine or $NVXSIM_MACHINE"


def gather_status(m):
    """Everything `status` shows, as one dictionary."""
    st = {"machine": str(m.root), "exists": m.exists()}
    if not st["exists"]:
        return st
    info = m.info()
    st["created"] = info.get("created")
    processes = m.processes()
    st["state"] = "down" if not processes else "up" if m.is_up() else "partly up"
    build, source = m.installed_build()
    st["build"] = {"name": build, "installed_from": source, "what": BUILD_TEXT.get(build)}
    log_path = m.log_dir() / "nvxs.log"
    st["log"] = {"path": str(log_path), "exists": log_path.is_file(),
                 "size": log_path.stat().st_size if log_path.is_file() else None}
    st["wsc_client"] = m.wsc_state()
    st["processes"] = [{"pid": p.pid, "name": p.name, "cmdline": p.cmdline} for p in processes]
    if st["state"] != "up":
        return st
    status = m.service_status()
    if status is None:
        st["service"] = {"installed": False}
    else:
        code = int(status["exit_code"], 16)
        st["service"] = {"installed": True, "state": int(status["state"]),
                         "state_name": STATE_NAMES.get(int(status["state"])), "exit_code": code,
                         "exit_code_text": exit_code_text(code), "checkpoint": int(status["checkpoint"]),
                         "accepted": int(status["accepted"], 16)}
    values = m.reg_values(SERVICE_KEY) or {}
    debug = {}
    for name, default, decode in (("DebugFacilities", logs.DEFAULT_FACILITIES, logs.facilities_text),
                                  ("DebugLevel", logs.DEFAULT_LEVEL, logs.level_text)):
        kind, data = values.get(name, (None, None))
        valid = kind == "REG_DWORD"
        value = int(data, 16) if valid else default
        debug[name] = {"value": value, "set": valid, "text": decode(value)}
    st["debug"] = debug
    pid = m.driver_pid()
    st["driver"] = {"loaded": pid is not None}
    if pid is not None:
        rc, records = m.driver_ctl("status")
        status = next((r for r in records if r.get("event") == "status"), None)
        if rc == 0 and status is not None:
            st["driver"].update({"host_pid": pid, "ports_open": status["ports_open"],
                                 "connections": [{"port": c["port"], "conn": c["conn"]} for c in status["connections"]],
                                 "answer_left": status["answer_left"], "answer_status": status["answer_status"],
                                 "answer_hresult": status["answer_hresult"], "answer_length": status["answer_length"]})
    return st


def cmd_status(m, a):
    st = gather_status(m)
    if a.json:
        say(json.dumps(st, indent=2, ensure_ascii=False))
        return EXIT_OK

    def row(label, text):
        say(f"{label:<12}{text}")

    row("Machine", f"{st['machine']}  ({machine_source()})")
    if not st["exists"]:
        row("", "not created (`nvxsim create`)")
        return EXIT_OK
    row("Created", st.get("created") or "?")
    build = st["build"]
    if build["name"]:
        row("Build", f"{build['name']}: {build['what']}")
        if build["installed_from"]:
            row("", f"installed from {build['installed_from']}")
        if build["name"] == BUILD_SIM:
            row("", "(the shipped build, `install --build shipped`, would answer every WSCClient exec -1:"
                    " Wine refuses its protected start, error 50)")
    else:
        row("Build", "no service executable installed (`nvxsim install`)")
    if st["state"] != "up":
        row("State", st["state"] + ("" if st["state"] == "down" else " (run `nvxsim up` or `nvxsim down`)"))
        row("", "(service, driver and registry show once the machine is up: `nvxsim up`)")
    else:
        row("State", "up")
        service = st["service"]
        if not service["installed"]:
            row("Service", "not installed (`nvxsim install`)")
        else:
            row("Service", f"{service['state_name']}, exit code {service['exit_code_text']}")
        driver = st["driver"]
        if not driver["loaded"]:
            row("Driver", "not loaded (`nvxsim driver start`)")
        elif "ports_open" in driver:
            connected = ", ".join(f"{c['port']} (connection {c['conn']})" for c in driver["connections"])
            ports = "open" if driver["ports_open"] else "closed"
            row("Driver", f"loaded (host process {driver['host_pid']}), ports {ports},"
                          + (f" service connected on {connected}" if connected else " no connection"))
            if driver["answer_left"]:
                row("", f"the next {driver['answer_left']} send(s) get " + drv.describe_answer(
                    {"status": driver["answer_status"], "hresult": driver["answer_hresult"],
                     "length": driver["answer_length"]}))
        for label, name in (("Debug log", "DebugFacilities"), ("", "DebugLevel")):
            value = st["debug"][name]
            shown = f"0x{value['value']:08x}" if name == "DebugFacilities" else str(value["value"])
            row(label, f"{name} {shown} ({value['text']})" + ("" if value["set"] else ", not set: the default"))
    wsc = st["wsc_client"]
    behaviour = wsc["behaviour"].replace("exit ", "exits with code ").replace("hang", "never exits (`wsc release`)")
    row("WSC client", ("installed" if wsc["installed"] else "not installed (`nvxsim wsc install`)")
        + f", {behaviour}, {wsc['starts']} starts recorded, "
        + (f"running: {', '.join(map(str, wsc['running']))}" if wsc["running"] else "none running"))
    log = st["log"]
    row("nvxs.log", log["path"] + (f"  ({log['size']} bytes)" if log["exists"] else "  (not written yet)"))
    if st["processes"]:
        row("Processes", "")
        for p in st["processes"]:
            say(f"  {p['pid']:>7}  {p['name']:<16} {p['cmdline']}")
    return EXIT_OK


# --------------------------------------------------------------------------------------------
# Service


def cmd_service(m, a):
    command = a.command
    timeout_ms = getattr(a, "timeout_ms", None)
    if command == "start":
        return service_command(m, a, ["start", SERVICE_NAME], f"Starting {SERVICE_NAME}", timeout_ms)
    if command == "stop":
        return service_command(m, a, ["control", SERVICE_NAME, "stop"], f"Stopping {SERVICE_NAME}", timeout_ms)
    if command == "query":
        return service_command(m, a, ["query", SERVICE_NAME], None, None)
    if command == "control":
        code = a.code
        if code not in CONTROLS and not re.fullmatch(r"(0x[0-9a-fA-F]+|\d+)", code):
            raise Usage(f"control: {code} is no control code (a number, or {', '.join(CONTROLS)})")
        return service_command(m, a, ["control", SERVICE_NAME, code], f"Sending control {code} to {SERVICE_NAME}", None)
    return service_command(m, a, ["control", SERVICE_NAME, command], f"Sending {command} to {SERVICE_NAME}", None)


def service_command(m, a, args, title, timeout_ms):
    m.ensure_up()
    if timeout_ms is not None:
        args = [*args, str(timeout_ms)]
    wait_s = (timeout_ms or 30000) / 1000 + 30
    quiet = m.raw or a.json
    if not quiet and title:
        say(title)
    lines = m.ctl_run(*args, timeout=max(wait_s, m.timeout))
    status = EXIT_OK
    last_status, final_ms = None, None
    for line in lines:
        rec = parse_record(line)
        if rec is None:
            continue
        kind, f, words = rec
        if kind in ("ERROR", "TIMEOUT"):
            status = EXIT_FAILED
        if m.raw:
            say(line)
            continue
        if a.json:
            out_json({"record": kind, **f, **({"words": words} if words else {})})
            continue
        if kind == "STATUS" and "state" in f:
            last_status, final_ms = f, float(f.get("t_ms", 0))
            if f.get("source") == "query":
                say(f"{SERVICE_NAME}: {status_text(f)}")
                code = int(f["exit_code"], 16)
                if code:
                    say(f"  exit code {exit_code_text(code)}")
            else:
                say(f"  {float(f['t_ms']):>9.1f} ms  {status_text(f)}")
        elif kind == "STATUS":
            say("  (no status record came back with the answer)")
        elif kind == "START":
            answer = "returned" if f["result"] == "1" else "failed"
            say(f"  {float(f['t_ms']):>9.1f} ms  start request {answer}")
        elif kind == "CONTROL":
            code = int(f["code"])
            answer = "accepted" if f["result"] == "1" else "refused: " + error_text(int(f["error"]))
            say(f"  {float(f['t_ms']):>9.1f} ms  control {code} {answer}")
        elif kind == "ERROR":
            say(f"Failed: {error_text(int(f['error']))} [{f.get('name', '-')}]")
        elif kind == "TIMEOUT":
            say(f"Timed out after {float(f['t_ms']):.0f} ms, still {words[-1] if words else '?'}.")
    if not quiet and status == EXIT_OK and last_status and args[0] != "query":
        state = STATE_NAMES.get(int(last_status["state"]), last_status["state"])
        say(f"{SERVICE_NAME} is {state} ({final_ms:.1f} ms after the request),"
            f" exit code {exit_code_text(int(last_status['exit_code'], 16))}.")
    return status


# --------------------------------------------------------------------------------------------
# Registry

REG_MESSAGES = [  # Wine's reg in nvxsim's terms: (what reg says, what nvxsim says)
    (re.compile(r"unable to find the specified registry key or value", re.I), "no such key or value"),
    (re.compile(r"unable to find the specified registry value", re.I), "no such value"),
    (re.compile(r"unable to find the specified registry key", re.I), "no such key"),
    (re.compile(r"\[?/d\]?"), "--data"),
    (re.compile(r"\[?/t\]?"), "--type"),
    (re.compile(r"\[?/v\]?"), "VALUE"),
    (re.compile(r"invalid system key.*|invalid key name.*", re.I),
     "no such key: a key starts with HKLM\\ or HKCU\\, or is a short name (service, params, driver, elam, paths)"),
    (re.compile(r"^reg: ", re.I), ""),
]


def reg_message(text):
    for pattern, replacement in REG_MESSAGES:
        text = pattern.sub(replacement, text)
    return text


def value_name(key, name):
    return short_key(key) + (f"\\{name}" if name else "")


def cmd_reg_get(m, a):
    key = resolve_key(a.key)
    m.ensure_up()
    value, problem = m.reg_get(key, a.value)
    if value is None:
        note(f"nvxsim: reg get: {value_name(key, a.value)}: {reg_message(problem)}")
        return EXIT_FAILED
    kind, data = value
    if a.json:
        out_json({"key": key, "name": a.value, "type": kind, "data": data})
        return EXIT_OK
    if kind in ("REG_DWORD", "REG_QWORD"):
        say(f"{a.value} ({kind}) = {data} ({int(data, 16)})")
        if key.lower() == SERVICE_KEY.lower() and a.value.lower() == "debuglevel":
            say(f"  {logs.level_text(int(data, 16))}; 1 Debug .. 8 Emerg")
        if key.lower() == SERVICE_KEY.lower() and a.value.lower() == "debugfacilities":
            say(f"  {logs.facilities_text(int(data, 16))}")
    else:
        say(f"{a.value} ({kind}) = {data}")
    return EXIT_OK


def cmd_reg_set(m, a):
    key = resolve_key(a.key)
    m.ensure_up()
    kind = a.type
    if kind is None:
        # The value keeps its type: a DWORD stays a DWORD whatever the data looks like.
        value, problem = m.reg_get(key, a.value)
        if value is None:
            raise Usage(f"reg set: {value_name(key, a.value)} does not exist ({reg_message(problem)}):"
                        f" give its type with --type ({', '.join(REG_TYPES[:5])})")
        kind = value[0]
    ok, text = m.reg_set(key, a.value, kind, a.data)
    if not ok:
        note(f"nvxsim: reg set: {value_name(key, a.value)} ({kind}) --data {a.data!r}: {reg_message(text)}")
        return EXIT_FAILED
    say(f"{key}: {a.value} ({kind}) set")
    return EXIT_OK


def cmd_reg_delete(m, a):
    key = resolve_key(a.key)
    m.ensure_up()
    ok, text = m.reg_delete(key, a.value)
    if not ok:
        note(f"nvxsim: reg delete: {value_name(key, a.value)}: {reg_message(text)}")
        return EXIT_FAILED
    say(f"{key}: {a.value + ' ' if a.value else ''}deleted")
    return EXIT_OK


# --------------------------------------------------------------------------------------------
# Programs and logs


def cmd_console(m, args):
    output, code = m.console(args)
    if m.raw:
        sys.stdout.buffer.write(output)
        sys.stdout.buffer.write(f"EXIT code=0x{code:08X}\n".encode())
        sys.stdout.flush()
    else:
        sys.stdout.write(output.decode(errors="replace").replace("\r", ""))
        meaning = exit_code_meaning(code) if code else None
        say(f"--- {EXE_NAME} exit code 0x{code:08X} ({code})" + (f": {meaning}" if meaning else ""))
    return EXIT_OK if code == 0 else EXIT_FAILED


def cmd_wine(m, args):
    if not args:
        raise Usage("wine needs a program (see `nvxsim help wine`)")
    m.ensure_up()
    rc, out, err = m.wine(*args)
    text = out.decode(errors="replace").replace("\r\n", "\n")
    sys.stdout.write(text + ("" if not text or text.endswith("\n") else "\n"))
    sys.stdout.flush()
    if rc != 0 and err.strip():
        note(clean(err))
    return rc


def log_filter(a):
    """A predicate on log lines from --facility and --level; None when nothing is filtered."""
    try:
        names = {logs.facility_name(n.strip()) for value in a.facility or [] for n in value.split(",") if n.strip()}
        level = logs.level_number(a.level) if a.level else None
    except ValueError as e:
        raise Usage(f"log: {e}") from None
    if not names and level is None:
        return None

    def keep(line):
        parsed = logs.parse_log_line(line)
        return (parsed is not None and (not names or parsed.facility in names)
                and (level is None or logs.LEVELS.index(parsed.level) + 1 >= level))
    return keep


def show_log_line(line, as_json):
    if not as_json:
        say(line)
        return
    parsed = logs.parse_log_line(line)
    if parsed is None:
        out_json({"text": line})
    else:
        out_json({"time": line[:24], "facility": parsed.facility, "level": parsed.level, "text": parsed.text})


def cmd_log(m, a):
    keep = log_filter(a)
    path = m.log_dir() / logs.LOG_FILES[-1]
    names = logs.LOG_FILES if a.all else logs.LOG_FILES[-1:]
    files = [m.log_dir() / name for name in names if (m.log_dir() / name).is_file()]
    if not files and not a.follow:
        note(f"nvxsim: no debug log yet: {path} does not exist")
        return EXIT_FAILED
    lines = []
    for file in files:
        lines.extend(file.read_bytes().decode(errors="replace").splitlines())
    if keep:
        lines = [line for line in lines if keep(line)]
    tail = a.tail if a.tail is not None else (10 if a.follow else None)
    if tail is not None:
        lines = lines[-tail:] if tail > 0 else []
    for line in lines:
        show_log_line(line, a.json)
    if a.follow:
        try:
            follow_log(path, keep, a.json)
        except KeyboardInterrupt:
            pass
    return EXIT_OK


def follow_log(path, keep, as_json):
    """New whole lines of nvxs.log as the service writes them, across rotations and renames."""
    if not path.is_file():
        note(f"(waiting for {path})")
    try:
        stat = path.stat()
        identity, position = stat.st_ino, stat.st_size
    except FileNotFoundError:
        identity, position = None, 0
    pending = b""
    while True:
        try:
            stat = path.stat()
        except FileNotFoundError:
            time.sleep(0.2)
            continue
        if stat.st_ino != identity or stat.st_size < position:
            identity, position, pending = stat.st_ino, 0, b""  # a new nvxs.log after a rotation
        if stat.st_size > position:
            with open(path, "rb") as f:
                f.seek(position)
                data = f.read()
            position += len(data)
            pending += data
            *whole, pending = pending.split(b"\n")
            for raw in whole:
                line = raw.decode(errors="replace").rstrip("\r")
                if keep is None or keep(line):
                    show_log_line(line, as_json)
        time.sleep(0.2)


def cmd_perf(m, a):
    """The perf logger's CSV: where it is, its header and its last rows."""
    m.require()
    path = m.prefix / logs.PERF_LOG_IN_PREFIX
    try:
        data = path.read_bytes()
    except FileNotFoundError:
        data = None
    if a.chart is not None and data is not None:
        # The operator tool charts the current file and its numbered copies, and says what it wrote.
        tool = Path(__file__).resolve().parents[2] / "tools" / "nvxperfchart"
        return subprocess.run([str(tool), "-o", a.chart, str(path.parent)], check=False).returncode
    lines = data.decode("utf-8", errors="replace").splitlines() if data is not None else []
    rows = lines[1:][-a.tail:] if a.tail else lines[1:]
    rotated = sorted((p.name for p in path.parent.glob(path.name + ".*")), key=lambda n: int(n.rsplit(".", 1)[1])
                     if n.rsplit(".", 1)[1].isdigit() else 0)
    if a.json:
        out_json({"path": logs.PERF_LOG_WIN, "host_path": str(path), "exists": data is not None,
                  "header": next(csv.reader(lines[:1]), None), "rows": max(len(lines) - 1, 0),
                  "last": list(csv.reader(rows)), "rotated": rotated})
    elif data is None:
        say(f"{logs.PERF_LOG_WIN}: not written (the perf logger runs for a driver Version of 2 or more:"
            " `nvxsim driver version`)")
    else:
        say(f"{logs.PERF_LOG_WIN}  ({path}, {len(data)} bytes, {max(len(lines) - 1, 0)} rows"
            + (f"; rotated: {', '.join(rotated)}" if rotated else "") + ")")
        for line in lines[:1] + rows:
            say(line)
    return EXIT_OK if data is not None else EXIT_FAILED


def cmd_telemetry(m, a):
    """The service's telemetry snapshot: where it is and its one line."""
    m.require()
    path = m.prefix / logs.TELEMETRY_IN_PREFIX
    try:
        text = path.read_bytes().decode("utf-8", errors="replace")
    except FileNotFoundError:
        text = None
    if a.json:
        out_json({"path": logs.TELEMETRY_WIN, "host_path": str(path), "exists": text is not None, "content": text})
    elif text is None:
        say(f"{logs.TELEMETRY_WIN}: not written (the service writes it as it starts, then hourly)")
    else:
        say(f"{logs.TELEMETRY_WIN}  ({path})")
        say(text)
    return EXIT_OK if text is not None else EXIT_FAILED
