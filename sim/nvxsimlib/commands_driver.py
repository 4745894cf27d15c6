"""nvxsim's commands on the driver simulator, the driver file, the early-launch key, the WSC
client and the journal store."""

import contextlib
import json
import os

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


def cmd_driver_answer(m, a):
    args = ["answer", a.status, a.n]
    if a.hresult is not None:
        args += ["--hresult", a.hresult]
    if a.length is not None:
        args += ["--length", a.length]
    return driver_simple(m, a, args)


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
            say(f"The next {count} send{'s' if count != 1 else ''} of the service get"
                f" {drv.describe_answer(record)}.")
        elif event == "disconnected":
            say(f"Driver closed {record['connections']} connection(s) of the service.")
        elif event == "connected":
            say(f"The service is connected to the {record['port']} port (connection {record['conn']}).")
        elif event == "ports":
            say("The driver's ports were already open." if record["already"] else "The driver's ports are open.")
        elif event == "counter":
            where = f"({record['instance']})" if record["instance"] else ""
            status = int(record["status"], 16)
            say(f"\\{record['set']}{where}\\{record['counter']} = {record['value']}"
                + (f"  status {status_name(status)}" if status else ""))
        elif event in ("instance_added", "instance_removed"):
            say(f"\\{record['set']}({record['instance']}) {event.split('_')[1]}")
        elif event == "counter_added":
            say(f"\\{record['set']}\\{record['counter']} added (value {record['value']} in every instance)")
        elif event in ("registered", "unregistered"):
            say(f"\\{record['set']} {event}")
        elif event == "reset":
            say(f"The driver's {record['sets']} counter sets are back with their starting values.")
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


# The sets the driver registers, in its order (the order the service samples them in).
DRIVER_COUNTER_SETS = [
    "Kestro.NVX performance", "Kestro.NVX caching", "Kestro.NVX driver state",
    "Kestro.NVX process/thread/image tracking stats", "Kestro.NVX pinned scan stats",
    "Kestro.NVX boot pinned scan stats", "Kestro.NVX scan types stats", "Kestro.NVX communication stats for QMT",
    "Kestro.NVX communication stats for QAV", "Kestro.NVX Event Journal stats",
    "Kestro.NVX Event Journal indexed stats",
]
# Counter statuses (CStatus) by the names `driver counters status` takes.
COUNTER_STATUSES = {
    "valid": 0x0, "new-data": 0x1, "no-machine": 0x800007D0, "no-instance": 0x800007D1,
    "no-object": 0xC0000BB8, "no-counter": 0xC0000BB9, "invalid-data": 0xC0000BBA,
}
COUNTER_ACTIONS = {  # action: its words after the action
    "list": (), "set": ("SET", "INSTANCE", "COUNTER", "VALUE"), "status": ("SET", "INSTANCE", "COUNTER", "STATUS"),
    "add-instance": ("SET", "INSTANCE"), "remove-instance": ("SET", "INSTANCE"), "add-counter": ("SET", "COUNTER"),
    "unregister": ("SET",), "register": ("SET",), "reset": (),
}


def status_name(status):
    return next((name for name, value in COUNTER_STATUSES.items() if value == status), f"0x{status:08X}")


def read_counter_sets(path):
    """The sets of a counter-sets file in its order, None without it: [{"set", "has_instances",
    "instances", "counters", "values": [(instance, counter, value, status)]}]."""
    try:
        text = path.read_text(encoding="utf-8", errors="replace")
    except FileNotFoundError:
        return None
    sets = {}
    for line in text.splitlines():
        fields = line.split("\t")
        if line.startswith("#") or len(fields) not in (4, 5):
            continue
        name, instance, counter, value = fields[:4]
        entry = sets.setdefault(name.lower(), {"set": name, "has_instances": bool(instance), "instances": [],
                                               "counters": [], "values": []})
        if counter not in entry["counters"]:
            entry["counters"].append(counter)
        if instance == "*":
            continue
        if instance and instance not in entry["instances"]:
            entry["instances"].append(instance)
        entry["values"].append((instance, counter, int(value), int(fields[4], 16) if len(fields) == 5 else 0))
    return list(sets.values())


def counter_status(text):
    """A status as `driver counters status` takes it: a name of COUNTER_STATUSES or a 32-bit number."""
    if text.lower() in COUNTER_STATUSES:
        return COUNTER_STATUSES[text.lower()]
    try:
        value = int(text, 0)
    except ValueError:
        value = -1
    if not 0 <= value <= 0xFFFFFFFF:
        raise Usage(f"driver counters status: STATUS is one of {', '.join(COUNTER_STATUSES)} or a 32-bit number,"
                    f" not {text}")
    return value


def cmd_driver_counters(m, a):
    wanted = COUNTER_ACTIONS[a.action]
    optional_value = a.action == "add-counter" and len(a.words) == len(wanted) + 1
    if len(a.words) != len(wanted) and not optional_value:
        shape = " ".join((a.action,) + wanted) + (" [VALUE]" if a.action == "add-counter" else "")
        raise Usage(f"driver counters {shape} (see `nvxsim help driver counters`)")
    if a.action != "list":
        words = list(a.words)
        if a.action == "status":
            words[3] = str(counter_status(words[3]))
        return driver_simple(m, a, ["counters", a.action, *words])
    m.require()
    sets = read_counter_sets(m.counters_path())
    registered = {s["set"].lower() for s in sets or []}
    unregistered = [name for name in DRIVER_COUNTER_SETS if name.lower() not in registered]
    if a.json:
        out_json({"path": COUNTERS_WIN, "host_path": str(m.counters_path()), "published": sets is not None,
                  "counters": [{"set": s["set"], "instance": i, "counter": c, "value": v, "status": st}
                               for s in sets or [] for i, c, v, st in s["values"]],
                  "sets": sets or [], "unregistered": unregistered if sets is not None else []})
    elif sets is None:
        say(f"{COUNTERS_WIN}: no counter sets published (`nvxsim driver start` publishes them)")
    else:
        say(f"{COUNTERS_WIN}  ({m.counters_path()})")
        for s in sets:
            if s["has_instances"] and not s["instances"]:
                say(f"  \\{s['set']}: no instances now (counters: {', '.join(s['counters'])})")
            for i, c, v, st in s["values"]:
                say(f"  \\{s['set']}{f'({i})' if i else ''}\\{c} = {v}"
                    + (f"  status {status_name(st)}" if st else ""))
        for name in unregistered:
            say(f"  \\{name}: not registered")
    return EXIT_OK if sets is not None else EXIT_FAILED


# --------------------------------------------------------------------------------------------
# The pdh.dll stand-in's quirks

PDH_QUIRK_NAME = "pdh-quirk.txt"  # beside the counter-sets file; read by the stand-in at every call
PDH_QUIRK_WIN = COUNTERS_WIN.rsplit("\\", 1)[0] + "\\" + PDH_QUIRK_NAME
PDH_QUIRKS = {  # kind: (argument, what the stand-in then does)
    "slow-collect": ("MS", "PdhCollectQueryData takes MS milliseconds (0 to 600000) before collecting"),
    "length-past-buffer": (None, "PdhEnumObjectItemsA's size query asks for 8 characters less than a counter list"
                                 " needs; the call with that buffer gets the list's first part (its last name cut)"
                                 " and a length larger than the buffer given"),
    "no-terminator": (None, "every list that holds a name comes without its terminators (no zero after the last"
                            " name, no empty string ending it), filling its buffer exactly"),
    "empty-list": ("[zero]", "every counter list is empty: just its terminator (length 1); with zero the size"
                             " query answers length 0"),
    "more-data": (None, "the call with buffers large enough answers PDH_MORE_DATA again, asking for more"),
    "past-terminator": (None, "the lengths count 16 characters past a counter list's terminator, which the call"
                              " fills with non-zero characters"),
}


def pdh_quirk_path(m):
    return m.counters_path().parent / PDH_QUIRK_NAME


def read_pdh_quirk(m):
    """(kind, arg or None) of the machine's quirk file, or None without a quirk."""
    try:
        text = pdh_quirk_path(m).read_text(encoding="utf-8", errors="replace")
    except FileNotFoundError:
        return None
    line = next((ln.strip() for ln in text.splitlines() if ln.strip() and not ln.startswith("#")), None)
    if line is None:
        return None
    kind, _, arg = line.partition(" ")
    return kind, arg or None


def cmd_pdh(m, a):
    m.require()
    path = pdh_quirk_path(m)
    if a.action == "quirk":
        if a.clear == (a.kind is not None):
            raise Usage("pdh quirk KIND [ARG], or pdh quirk --clear (see `nvxsim help pdh`)")
        if a.clear:
            with contextlib.suppress(FileNotFoundError):
                path.unlink()
        else:
            if a.kind not in PDH_QUIRKS:
                raise Usage(f"pdh quirk: KIND is one of {', '.join(PDH_QUIRKS)}, not {a.kind}")
            takes = PDH_QUIRKS[a.kind][0]  # the argument the kind takes, as its help shows it
            if takes == "MS" and (a.arg is None or not a.arg.isdigit() or int(a.arg) > 600000):
                raise Usage("pdh quirk slow-collect MS: MS is 0 to 600000 milliseconds")
            if takes is None and a.arg is not None or takes == "[zero]" and a.arg not in (None, "zero"):
                raise Usage(f"pdh quirk {a.kind}: " + ("takes no argument" if takes is None else "ARG is zero or none"))
            path.parent.mkdir(parents=True, exist_ok=True)
            new = path.with_name(PDH_QUIRK_NAME + ".new")
            new.write_text(f"{a.kind}{' ' + a.arg if a.arg else ''}\n", encoding="utf-8")
            new.replace(path)  # one rename: the stand-in reads the old quirk or the new one
    elif a.kind is not None or a.clear:
        raise Usage("pdh: show takes no KIND or --clear (see `nvxsim help pdh`)")
    quirk = read_pdh_quirk(m)
    if a.json:
        out_json({"path": PDH_QUIRK_WIN, "host_path": str(path), "quirk": quirk[0] if quirk else None,
                  "arg": quirk[1] if quirk else None})
    elif quirk is None:
        say(f"pdh.dll stand-in: no quirk ({PDH_QUIRK_WIN} absent): it answers as documented")
    else:
        kind, arg = quirk
        say(f"pdh.dll stand-in quirk: {kind}{' ' + arg if arg else ''}  ({PDH_QUIRK_WIN})")
        if kind in PDH_QUIRKS:
            say(f"  {PDH_QUIRKS[kind][1]}")
    return EXIT_OK


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
        say(f"  the next {status['answer_left']} send(s) get " + drv.describe_answer(
            {"status": status["answer_status"], "hresult": status["answer_hresult"],
             "length": status["answer_length"]}))
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


# A Windows command line holds at most 32767 characters; longer hex is handed over in a file.
HEX_ON_COMMAND_LINE_MAX = 16384
DRIVER_DIR_WIN = r"C:\nvxsim\driver"


def cmd_driver_send(m, a):
    """send/event/reg/raw: a message to the service; send waits for its replies."""
    kind = "send" if a.command == "send-command" else a.action
    ctl_args = []
    for key, value in vars(a).items():
        if key.startswith("ctl_") and value is not None:
            ctl_args += ["--" + key[4:].replace("_", "-"), value]
    if getattr(a, "no_nul", False):
        ctl_args.append("--no-nul")
    if getattr(a, "frame", False):
        ctl_args.append("--frame")
    wait_ms = 0 if kind != "send" or a.no_wait else a.wait_ms
    if wait_ms:
        ctl_args += ["--wait-reply", str(wait_ms)]
    m.ensure_up()
    words = list(a.words)
    with contextlib.ExitStack() as cleanup:
        # The hex goes through a file when it is longer than a command line of the machine takes.
        hex_text = " ".join(words) if kind == "raw" else getattr(a, "ctl_hex", None)
        if hex_text is not None and len(hex_text) > HEX_ON_COMMAND_LINE_MAX:
            name = f"hex-{os.getpid()}.txt"
            host = m.drive_c("nvxsim", "driver", name)
            host.parent.mkdir(parents=True, exist_ok=True)
            host.write_text(hex_text, encoding="ascii")
            cleanup.callback(host.unlink, missing_ok=True)
            if kind == "raw":
                words = []
            else:
                at = ctl_args.index("--hex")
                del ctl_args[at:at + 2]
            ctl_args += ["--hex-file", DRIVER_DIR_WIN + "\\" + name]
        rc, records = m.driver_ctl(kind, *ctl_args, "--", *words, timeout=max(m.timeout, wait_ms / 1000 + 30))
    if m.raw or a.json:
        return raw_records(m, a, rc, records)
    status = EXIT_OK
    for record in records:
        event = record.get("event")
        if event == "sent":
            what = "frame of" if record.get("frame") else ""
            say(f"Sent  {drv.describe_message(record['msg'])}  ({what + ' ' if what else ''}{record['size']} bytes,"
                f" connection {record['conn']})")
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


def cmd_driver_flood(m, a):
    ctl_args = ["flood", "--seconds", str(a.seconds), "--warmup-ms", str(a.warmup_ms), "--slice-ms", str(a.slice_ms),
                "--timeout-ms", str(a.timeout_ms)] + (["--conn", str(a.conn)] if a.conn is not None else [])
    sides = 1
    if a.beside is not None:
        ctl_args += ["--beside", str(a.beside)]
        sides = 2
    m.ensure_up()
    budget = sides * ((a.warmup_ms + a.timeout_ms) / 1000 + a.seconds) + 30
    rc, records = m.driver_ctl(*ctl_args, "--", *a.words, timeout=max(m.timeout, budget))
    if m.raw or a.json:
        return raw_records(m, a, rc, records)
    if rc != 0:
        return driver_answer_error(rc, records)
    for record in records:
        if record.get("event") != "flood":
            continue
        say(f"{record['round_trips']} round trips of {record['command']!r} on connection {record['conn']} in"
            f" {record['span_s']} s (after {record['warmup_round_trips']} to warm up): {record['per_second']}/s,"
            f" latency p50 {record['p50_us']} µs, p99 {record['p99_us']} µs, max {record['max_us']} µs")
        if "reply" in record:
            say(f"  reply: {drv.describe_message(record['reply']['msg'])}")
    return EXIT_OK


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
