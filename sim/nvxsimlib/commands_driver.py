"""nvxsim's commands on the driver simulator, the driver file, the early-launch key, the WSC
client and the journal store."""

import contextlib
import json

from . import driver as drv
from .clitools import EXIT_FAILED, EXIT_OK, EXIT_USAGE, Usage, out_json
from .journals import JOURNAL_ROOT_WIN, JOURNAL_TYPES, NAME_GRAMMAR, parse_journal_name
from .layout import (BUILD_TEXT, COUNTERS_WIN, CTL_WIN, DRIVER_FILE_WIN, DRIVER_SERVICE_KEY, KEY_ALIASES,
                     TOOLS_DIR_WIN, WSC_CALLS, WSC_CLIENT_DIR_WIN, WSC_CLIENT_IN_PREFIX, WSC_CLIENT_NAME,
                     WSC_RELEASE_EVENT)
from .texts import say
from .wine import note


# --------------------------------------------------------------------------------------------
# The driver simulator


def driver_answer_error(rc, records):
    """Exit status for a failed ctl call, after saying why."""
    for record in records:
        if record.get("event") == "error":
            note(f"nvxsim: driver: {record['error']}")
    if rc == 3:
        note("nvxsim: start it with `nvxsim driver start`")
        return EXIT_USAGE
    return EXIT_USAGE if rc == 2 else EXIT_FAILED


def raw_records(m, a, rc, records):
    for record in records:
        out_json(record)
    return EXIT_OK if rc == 0 else EXIT_FAILED


def cmd_driver_start(m, a):
    m.driver_start(ports_closed=a.ports_closed)


def cmd_driver_stop(m, a):
    m.driver_stop()


def cmd_driver_disconnect(m, a):
    return driver_simple(m, a, ["disconnect"] + (["--port", a.port] if a.port else []))


def cmd_driver_wait_connect(m, a):
    args = ["wait-connect", "--timeout-ms", str(a.timeout_ms)] + (["--port", a.port] if a.port else [])
    return driver_simple(m, a, args, timeout=max(m.timeout, a.timeout_ms / 1000 + 30))


def driver_simple(m, a, ctl_args, timeout=None):
    m.ensure_up()
    rc, records = m.driver_ctl(*ctl_args, timeout=timeout)
    if m.raw:
        return raw_records(m, a, rc, records)
    if rc != 0:
        return driver_answer_error(rc, records)
    for record in records:
        event = record.get("event")
        if event == "answer":
            count = record["count"]
            say(f"The next {count} send{'s' if count != 1 else ''} of the service get status"
                f" {drv.comm_status_text(record['status'])}.")
        elif event == "disconnected":
            say(f"Driver closed {record['connections']} connection(s) of the service.")
        elif event == "connected":
            say(f"The service is connected to the {record['port']} port (connection {record['conn']}).")
        elif event == "ports":
            say("The driver's ports were already open." if record["already"] else "The driver's ports are open.")
        elif event == "counter":
            where = f"({record['instance']})" if record["instance"] else ""
            say(f"\\{record['set']}{where}\\{record['counter']} = {record['value']}")
    return EXIT_OK


def cmd_driver_version(m, a):
    m.ensure_up()
    if a.remove or a.version is not None:
        m.set_driver_version(None if a.remove else a.version)
    value = m.driver_version()
    if a.json:
        out_json({"key": DRIVER_SERVICE_KEY, "name": "Version", "type": value[0] if value else None,
                  "data": value[1] if value else None})
    elif value is None:
        say(f"{DRIVER_SERVICE_KEY}: no Version (the service's perf logger stays off)")
    else:
        kind, data = value
        major = data.strip().split(".", 1)[0] if kind == "REG_SZ" else ""
        on = kind == "REG_SZ" and major.lstrip("+-").isdigit() and int(major) >= 2
        say(f"{DRIVER_SERVICE_KEY}: Version ({kind}) = {data} (the service's perf logger"
            f" {'runs' if on else 'stays off'}: it runs from a REG_SZ of major 2 on)")
    return EXIT_OK


def read_counter_sets(path):
    """[(set, instance, counter, value)] of a counter-sets file, in its order; None without it."""
    try:
        text = path.read_text(encoding="utf-8", errors="replace")
    except FileNotFoundError:
        return None
    records = []
    for line in text.splitlines():
        fields = line.split("\t")
        if len(fields) == 4 and not line.startswith("#") and fields[1] != "*":
            records.append(tuple(fields))
    return records


def cmd_driver_counters(m, a):
    words = (a.set, a.instance, a.counter, a.value)
    if (a.action == "set") != (None not in words) or (a.action == "list" and any(w is not None for w in words)):
        raise Usage("driver counters: list, or set SET INSTANCE COUNTER VALUE (see `nvxsim help driver counters`)")
    if a.action == "set":
        return driver_simple(m, a, ["counters", "set", a.set, a.instance, a.counter, a.value])
    m.require()
    records = read_counter_sets(m.counters_path())
    if a.json:
        out_json({"path": COUNTERS_WIN, "host_path": str(m.counters_path()), "published": records is not None,
                  "counters": [{"set": s, "instance": i, "counter": c, "value": int(v)} for s, i, c, v in records or []]})
    elif records is None:
        say(f"{COUNTERS_WIN}: no counter sets published (`nvxsim driver start` publishes them)")
    else:
        say(f"{COUNTERS_WIN}  ({m.counters_path()})")
        for s, i, c, v in records:
            say(f"  \\{s}{f'({i})' if i else ''}\\{c} = {v}")
    return EXIT_OK if records is not None else EXIT_FAILED


def cmd_driver_status(m, a):
    pid = m.driver_pid() if m.exists() and m.processes() else None
    if pid is None:
        if a.json:
            out_json({"running": False})
        else:
            say("Driver simulator: not running")
        return EXIT_FAILED
    rc, records = m.driver_ctl("status")
    status = next((r for r in records if r.get("event") == "status"), None)
    if rc != 0 or status is None:
        return driver_answer_error(rc, records)
    if m.raw or a.json:
        out_json({"running": True, "host_pid": pid, **status} if a.json else status)
        return EXIT_OK
    say(f"Driver simulator: running (host process {pid}, Windows process {status['pid']}),"
        f" ports {'open' if status['ports_open'] else 'closed'}")
    if status["answer_left"]:
        say(f"  the next {status['answer_left']} send(s) get status {drv.comm_status_text(status['answer_status'])}")
    if not status["connections"]:
        say("  no connection")
    for conn in status["connections"]:
        context = conn["context_hex"]
        if context:
            with contextlib.suppress(ValueError):
                context = drv.describe_message(drv.decode_context(bytes.fromhex(context)))
        say(f"  connection {conn['conn']:<3} {conn['port']:<6} " + (f"context {context}" if context else "no context"))
    say(f"  journal {drv.DRIVER_JOURNAL_WIN}: {status['records']} records (`nvxsim driver received`)")
    return EXIT_OK


def cmd_driver_send(m, a):
    """send/event/reg/raw: a message to the service; send waits for its replies."""
    kind = "send" if a.command == "send-command" else a.action
    ctl_args = []
    for key, value in vars(a).items():
        if key.startswith("ctl_") and value is not None:
            ctl_args += ["--" + key[4:].replace("_", "-"), value]
    if getattr(a, "no_nul", False):
        ctl_args.append("--no-nul")
    wait_ms = 0 if kind != "send" or a.no_wait else a.wait_ms
    if wait_ms:
        ctl_args += ["--wait-reply", str(wait_ms)]
    m.ensure_up()
    rc, records = m.driver_ctl(kind, *ctl_args, "--", *a.words, timeout=max(m.timeout, wait_ms / 1000 + 30))
    if m.raw or a.json:
        return raw_records(m, a, rc, records)
    status = EXIT_OK
    for record in records:
        event = record.get("event")
        if event == "sent":
            say(f"Sent  {drv.describe_message(record['msg'])}  ({record['size']} bytes, connection {record['conn']})")
        elif event == "reply":
            msg = record["msg"]
            say(f"Reply {drv.describe_message(msg)}")
            if int(msg.get("flags", "0"), 16) & 0x08:
                status = EXIT_FAILED
        elif event == "timeout":
            say(f"No final reply to request {record['request_id']} within {record['waited_ms']} ms"
                f" ({record['replies']} other repl{'y' if record['replies'] == 1 else 'ies'}).")
            status = EXIT_FAILED
    if rc != 0 and status == EXIT_OK:
        return driver_answer_error(rc, records)
    return status


def cmd_driver_received(m, a):
    m.require()
    path = m.driver_journal()
    if a.clear:
        if m.driver_pid() is not None:
            rc, records = m.driver_ctl("clear")
            if rc != 0:
                return driver_answer_error(rc, records)
        else:
            with contextlib.suppress(FileNotFoundError):
                path.unlink()
        say("Driver journal cleared.")
        return EXIT_OK
    if not path.is_file():
        note(f"nvxsim: nothing recorded yet: {path} does not exist (`nvxsim driver start`)")
        return EXIT_FAILED
    lines = drv.journal_lines(path)
    if a.tail is not None:
        lines = lines[-a.tail:] if a.tail > 0 else []
    for line in lines:
        if a.json:
            say(line)
            continue
        try:
            say(drv.describe_record(json.loads(line)))
        except (ValueError, KeyError):
            say(line)
    return EXIT_OK


# --------------------------------------------------------------------------------------------
# The driver file, the ELAM key, the WSC client


def cmd_driver_file(m, a):
    m.require()
    if a.action == "set-version":
        m.driver_file_install(a.version)
        say(f"{DRIVER_FILE_WIN} installed, file version {m.driver_file_version()}.")
    elif a.action == "remove":
        with contextlib.suppress(FileNotFoundError):
            m.driver_file_path().unlink()
        say(f"{DRIVER_FILE_WIN} removed.")
    else:
        version = m.driver_file_version()
        if a.json:
            out_json({"path": DRIVER_FILE_WIN, "installed": version is not None, "version": version})
        elif version is None:
            say(f"{DRIVER_FILE_WIN}: not installed")
        else:
            say(f"{DRIVER_FILE_WIN}: file version {version or '(none: no version resource)'}")
        return EXIT_OK if version is not None else EXIT_FAILED
    return EXIT_OK


def cmd_elam(m, a):
    m.ensure_up()
    if a.action != "show":
        m.elam_present(a.action == "present")
    start = m.elam_start()
    key = KEY_ALIASES["elam"]
    if getattr(a, "json", False):
        out_json({"key": key, "present": start is not False, "start": None if start is False else start})
    elif start is False:
        say(f"{key}: absent")
    else:
        say(f"{key}: present, Start " + ("not set" if start is None else f"= {start}"))
    return EXIT_OK


def cmd_wsc_set_exit(m, a):
    m.require()
    try:
        code = int(a.n, 0)
    except ValueError:
        raise Usage("wsc set-exit needs a number") from None
    if not -0x80000000 <= code <= 0xFFFFFFFF:
        raise Usage("wsc set-exit needs a 32-bit exit code")
    m.wsc_set_behaviour(f"exit {code}")
    say(f"{WSC_CLIENT_NAME} exits with code {code} from its next start.")


def cmd_wsc_hang(m, a):
    m.require()
    m.wsc_set_behaviour("hang")
    say(f"{WSC_CLIENT_NAME} never exits on its own from its next start (`nvxsim wsc release`).")


def cmd_wsc_release(m, a):
    m.ensure_up()
    rc, _, _ = m.wine(CTL_WIN, "release", WSC_RELEASE_EVENT)
    if rc != 0:
        say("No WSC client is waiting.")
        return EXIT_FAILED
    say("Every waiting WSC client may exit now.")
    return EXIT_OK


def cmd_wsc_calls(m, a):
    m.require()
    if a.clear:
        with contextlib.suppress(FileNotFoundError):
            (m.wsc_dir() / WSC_CALLS).unlink()
        say("WSC client calls cleared.")
        return EXIT_OK
    for call in m.wsc_calls():
        if a.json:
            out_json(call)
        else:
            say(f"process {call['pid']:<6} {call['behaviour']:<8} {call['command_line']}")
    return EXIT_OK


def cmd_wsc_status(m, a):
    m.require()
    build, _ = m.installed_build()
    st = {**m.wsc_state(), "service_build": build}
    if a.json:
        out_json(st)
        return EXIT_OK
    say(f"{WSC_CLIENT_NAME}: {'installed' if st['installed'] else 'not installed'} in {WSC_CLIENT_DIR_WIN}")
    say(f"  behaviour   {st['behaviour']}")
    say(f"  starts      {st['starts']} recorded in {TOOLS_DIR_WIN}\\wscclient\\{WSC_CALLS}")
    say(f"  running     {', '.join(map(str, st['running'])) if st['running'] else 'none'}")
    if build:
        say(f"  service     {build} build: {BUILD_TEXT[build]}")
    return EXIT_OK


def cmd_wsc_remove(m, a):
    m.require()
    with contextlib.suppress(FileNotFoundError):
        (m.prefix / WSC_CLIENT_IN_PREFIX).unlink()
    say(f"{WSC_CLIENT_DIR_WIN}\\{WSC_CLIENT_NAME} removed.")


def cmd_wsc_install(m, a):
    m.require()
    m.wsc_install()
    say(f"{WSC_CLIENT_DIR_WIN}\\{WSC_CLIENT_NAME} installed (from {m.ctl.parent / WSC_CLIENT_NAME}).")


# --------------------------------------------------------------------------------------------
# The driver's event journals


def journal_warnings(directory, name):
    """What the service will make of a file written here, when it is not a journal it reads."""
    if directory.lower() not in (t.lower() for t in JOURNAL_TYPES):
        note(f"nvxsim: warning: {directory} is not a directory of the store: the service looks only in"
             f" {', '.join(JOURNAL_TYPES)}")
    if name is not None and parse_journal_name(name) is None:
        note(f"nvxsim: warning: {name} is not a journal name, the service logs it as invalid and leaves it;"
             f" a journal name is {NAME_GRAMMAR.split(', TYPE')[0]} (see `nvxsim help journal write`)")


def cmd_journal(m, a):
    words = [w for w in (getattr(a, "dir", None), getattr(a, "name", None)) if w is not None]
    if any("\\" in w or "/" in w or w in (".", "..") for w in words):
        raise Usage("journal: DIR and NAME are single names below the store")
    if a.action in ("write", "grow"):
        journal_warnings(a.dir, a.name)
    argv = [a.action, *words]
    for option in ("size", "content", "seed", "by", "times", "every_ms", "to"):
        value = getattr(a, option, None)
        if value is not None:
            argv += ["--" + option.replace("_", "-"), str(value)]
    m.ensure_up()
    if getattr(a, "background", False):
        pid, log_path = m.journal_writer_background(*argv)
        say(f"Growing {a.dir}\\{a.name} in the background (host process {pid}; answers in {log_path})")
        return EXIT_OK
    times = getattr(a, "times", None) or 1
    every = getattr(a, "every_ms", None) or 1000
    rc, records = m.journal_writer(*argv, timeout=max(m.timeout, times * every / 1000 + 60))
    if m.raw:
        return raw_records(m, a, rc, records)
    for record in records:
        event = record.get("event")
        if event == "error":
            note(f"nvxsim: journal: {record['error']}")
        elif event == "store":
            say(f"Event-journal store at {record['root']}: {record['directories']} directories")
        elif event == "removed":
            say(f"Removed {record['path']}")
        elif event in ("written", "grown", "shrunk"):
            say(f"{event.capitalize():<7} {record['path']}  {record['size']} bytes")
    return EXIT_OK if rc == 0 else (EXIT_USAGE if rc == 2 else EXIT_FAILED)


def cmd_journal_list(m, a):
    m.require()
    root = m.journal_root()
    present = sorted(p.name for p in root.iterdir() if p.is_dir()) if root.is_dir() else []
    # The 20 type directories in type order, then whatever else is there.
    names = JOURNAL_TYPES + [name for name in present if name not in JOURNAL_TYPES]
    total = 0
    if not a.json:
        say(f"Event journals in {JOURNAL_ROOT_WIN}" + ("" if root.is_dir() else "  (no store yet)"))
    for name in names:
        directory = root / name
        if not directory.is_dir():
            if a.json:
                out_json({"dir": name, "missing": True})
            elif root.is_dir():
                say(f"  {name}\\  (missing)")
            continue
        for entry in sorted(directory.iterdir(), key=lambda p: p.name):
            with contextlib.suppress(FileNotFoundError):
                size = entry.stat().st_size
                total += 1
                if a.json:
                    out_json({"dir": name, "name": entry.name, "size": size,
                              "journal": parse_journal_name(entry.name) is not None})
                else:
                    shown = name + "\\" + entry.name
                    remark = "" if parse_journal_name(entry.name) else "  (no journal name)"
                    say(f"  {shown:<60} {size:>12}{remark}")
    if not a.json:
        say(f"{total} file{'s' if total != 1 else ''}")
    return EXIT_OK
