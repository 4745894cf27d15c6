"""nvxsim's command line: one table of commands gives the help (`nvxsim help COMMAND`,
`nvxsim COMMAND --help`) and the dispatch."""

import argparse
import contextlib
import json
import os
import re
import sys
import textwrap
import time

from . import driver as drv
from . import logs
from .journals import JOURNAL_ROOT_WIN, JOURNAL_TYPES, NAME_GRAMMAR, parse_journal_name
from .machine import (BUILD_SHIPPED, BUILD_SIM, BUILD_TEXT, CONTROLS, CTL_WIN, DEFAULT_BUILD, DRIVER_FILE_DEFAULT,
                      DRIVER_FILE_VERSIONS, DRIVER_FILE_WIN, EXE_NAME, EXIT_FAILED, EXIT_OK, EXIT_USAGE, KEY_ALIASES,
                      REG_TYPES, REPO, SERVICE_KEY, SERVICE_NAME, STATE_NAMES, TOOLS_DIR_WIN, WSC_CALLS,
                      WSC_CLIENT_DIR_WIN, WSC_CLIENT_IN_PREFIX, WSC_CLIENT_NAME, WSC_RELEASE_EVENT, Machine, SimError,
                      build_paths, clean, error_text, exit_code_meaning, exit_code_text, parse_record, resolve_key,
                      say, short_key, status_text)
from .wine import note

ESCAPE = "\0"  # marks a word that starts with '-' but is no option (text for the driver, a number)


class Usage(Exception):
    pass


class Parser(argparse.ArgumentParser):
    """argparse in nvxsim's own words: a usage error is one line naming the command's help."""

    def __init__(self, *args, **kwargs):
        kwargs.setdefault("add_help", False)
        kwargs.setdefault("formatter_class", argparse.RawDescriptionHelpFormatter)
        super().__init__(*args, **kwargs)
        self.add_argument("--help", action="help", help="this help")

    def error(self, message):
        command = self.prog.split(" ", 1)[1] if " " in self.prog else ""
        raise Usage(f"{command + ': ' if command else ''}{message.replace(ESCAPE, '')}"
                    f" (see `nvxsim help{' ' + command if command else ''}`)")


# --------------------------------------------------------------------------------------------
# The table of commands: (group, name, summary, arguments, handler). A group command's handler is
# a list of sub-commands of the same form.

GROUPS = {
    "machine": "Machine (a directory: --machine DIR, else $NVXSIM_MACHINE, else build/machine)",
    "service": f'Service "{SERVICE_NAME}" (through the machine\'s SCM)',
    "registry": "Registry",
    "driver": "Driver simulator (nvxdriver.exe in the machine; the service reaches it through fltlib.dll)",
    "other": "The driver file, the early-launch key, the WSC client, event journals",
    "programs": "Programs and logs",
}

BUILD_HELP = (f"--build {BUILD_SIM}: the simulated machine's build ({build_paths()[BUILD_SIM]}), which starts"
              f" WSCClient.exe as an ordinary process; --build {BUILD_SHIPPED}: the shipped build"
              f" ({build_paths()[BUILD_SHIPPED]}), whose protected start of WSCClient.exe Wine refuses (error"
              f" 50), so a WSCClient exec is answered -1. --exe PATH (before the command) installs any file.")


def number(text):
    try:
        return int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text} is no number") from None


def a_json(p):
    p.add_argument("--json", action="store_true", help="one JSON document (or one per line) for scripts")


def a_build(p):
    p.add_argument("--build", choices=(BUILD_SIM, BUILD_SHIPPED), help=BUILD_HELP)


def a_timeout_ms(p):
    p.add_argument("--timeout-ms", type=number, help="how long nvxsimctl waits for the final state")
    a_json(p)


MESSAGE_OPTIONS = {
    "--kind": ("KIND", "get, set, call, exec or a number (get)"),
    "--flags": ("N", "the flags field (0x05: request|final)"),
    "--request-id": ("N", "the request ID (counted by the driver)"),
    "--component": ("N", "destination component (30: the service)"),
    "--source-component": ("N", "source component (12)"),
    "--pid": ("P", "the requester's process ID"),
    "--key": ("K", "the requester's key"),
    "--dest-pid": ("P", "destination process ID"),
    "--dest-key": ("K", "destination key"),
    "--format": ("N", "the format field"),
    "--body-version": ("N", "the body's version field"),
    "--hex": ("BYTES", "the payload as hex instead of TEXT"),
    "--conn": ("N", "the connection to send on (default: the service's async one)"),
    "--timeout-ms": ("N", "how long the driver waits to deliver"),
    "--marker": ("N", "the context marker"),
    "--tag": ("N", "the tag"),
}


def a_message(kind):
    """The options of a message to the service; nvxdriver checks their values."""
    options = {
        "send": ("--kind", "--flags", "--request-id", "--component", "--source-component", "--pid", "--key",
                 "--dest-pid", "--dest-key", "--format", "--body-version", "--hex", "--conn", "--timeout-ms"),
        "event": ("--body-version", "--hex", "--conn", "--timeout-ms"),
        "reg": ("--component", "--marker", "--body-version", "--tag", "--conn", "--timeout-ms"),
        "raw": ("--conn", "--timeout-ms"),
    }[kind]

    def add(p):
        for option in options:
            metavar, text = MESSAGE_OPTIONS[option]
            p.add_argument(option, dest="ctl_" + option[2:].replace("-", "_"), metavar=metavar, help=text)
        if kind in ("send", "event"):
            p.add_argument("--no-nul", action="store_true", help="no NUL after the text")
        if kind == "send":
            p.add_argument("--wait-ms", type=number, default=5000, help="wait this long for the final reply (5000)")
            p.add_argument("--no-wait", action="store_true", help="return once the message is sent")
        a_json(p)
        p.add_argument("words", nargs="*", metavar="HEX" if kind == "raw" else "TEXT")
    return add


def a_none(p):
    pass


def a_words(*names, optional=()):
    def add(p):
        for name in names:
            p.add_argument(name.lower(), metavar=name)
        for name in optional:
            p.add_argument(name.lower(), metavar=name, nargs="?")
    return add


def combine(*adders):
    def add(p):
        for adder in adders:
            adder(p)
    return add


def command_table():
    """[(group, name, summary, add_arguments, handler or [sub-commands])]"""
    driver = [
        ("start", "load the driver: its two ports appear (--ports-closed: only on `driver open-ports`)",
         lambda p: p.add_argument("--ports-closed", action="store_true"), cmd_driver_start),
        ("stop", "unload it: its ports and the service's connections go", a_none, cmd_driver_stop),
        ("status", "running or not (exit 1), its ports, the service's connections", a_json, cmd_driver_status),
        ("open-ports", "create the ports of a driver started with --ports-closed", a_none,
         lambda m, a: driver_simple(m, a, ["open-ports"])),
        ("send", "send a CommandMsg to the service and show its replies until the final one (exit 1 on an"
                 " error reply or none in time). The service answers: get Version (its version),"
                 " exec WSCClient ARGS (runs WSCClient.exe, answers its exit code)",
         a_message("send"), cmd_driver_send),
        ("event", "an EventMsg to the service", a_message("event"), cmd_driver_send),
        ("reg", "a RegRequestMsg to the service", a_message("reg"), cmd_driver_send),
        ("raw", "any bytes as one message", a_message("raw"), cmd_driver_send),
        ("queue-full", "answer the service's next N sends 0xE0020009 (QueueFull)", a_words("N"),
         lambda m, a: driver_simple(m, a, ["queue-full", a.n])),
        ("answer", "answer the service's next N sends STATUS (a CommStatus such as 0xE0020006)",
         a_words("STATUS", "N"), lambda m, a: driver_simple(m, a, ["answer", a.status, a.n])),
        ("disconnect", "close the service's connections",
         lambda p: p.add_argument("--port", choices=("async", "sync", "all")), cmd_driver_disconnect),
        ("wait-connect", "wait until the service is connected",
         lambda p: (p.add_argument("--port", choices=("async", "sync")),
                    p.add_argument("--timeout-ms", type=number, default=10000)), cmd_driver_wait_connect),
        ("received", "what the driver's ports saw: connections, every message from the service with the"
                     " driver's answer, every message to the service, disconnections",
         lambda p: (a_json(p), p.add_argument("--tail", type=number), p.add_argument("--clear", action="store_true")),
         cmd_driver_received),
    ]
    reg = [
        ("get", "a value: its type and data", combine(a_words("KEY", "VALUE"), a_json), cmd_reg_get),
        ("set", "write a value; without --type it keeps the value's type (a value that does not exist needs"
                " --type)",
         combine(a_words("KEY", "VALUE"),
                 lambda p: (p.add_argument("--type", type=str.upper, choices=REG_TYPES, metavar="TYPE",
                                           help=", ".join(REG_TYPES)),
                            p.add_argument("--data", default="", help="the data (numbers as 42 or 0x2a)"))),
         cmd_reg_set),
        ("delete", "a value, or without VALUE the whole key (an HKLM key with its subkeys and values first,"
                   " so that a service watching it notices, as on Windows)",
         a_words("KEY", optional=("VALUE",)), cmd_reg_delete),
    ]
    wsc = [
        ("set-exit", "the next starts exit with code N (the default is 0)", a_words("N"), cmd_wsc_set_exit),
        ("hang", "the next starts never exit on their own (until `wsc release`)", a_none, cmd_wsc_hang),
        ("release", "let every hanging client exit (code 0)", a_none, cmd_wsc_release),
        ("calls", "every start: its Windows process ID and exact command line",
         lambda p: (a_json(p), p.add_argument("--clear", action="store_true")), cmd_wsc_calls),
        ("status", "behaviour, installed or not, starts recorded, clients running", a_json, cmd_wsc_status),
        ("remove", "take the client away", a_none, cmd_wsc_remove),
        ("install", "put it back", a_none, cmd_wsc_install),
    ]
    journal_words = a_words("DIR", "NAME")
    content = (lambda p: (p.add_argument("--content", choices=("text", "random", "zero"), help="what bytes (text)"),
                          p.add_argument("--seed", type=number, help="the same seed gives the same bytes")))
    journal = [
        ("list", "every directory of the store (missing ones too) with its files and sizes", a_json, cmd_journal_list),
        ("dirs", "make the store's 20 directories, as the driver does when it loads", a_none, cmd_journal),
        ("write", "a file of any name and size, written by the driver simulator (default 4096 bytes of"
                  " journal-like text; the same seed gives the same bytes). A journal's NAME is "
                  + NAME_GRAMMAR + "; for example Dns-1A-2B-3-4.bin in DIR Dns",
         combine(journal_words, content, lambda p: p.add_argument("--size", type=number, help="bytes (4096)")),
         cmd_journal),
        ("grow", "append N bytes, K times every T ms (--background: return at once while the driver"
                 " simulator goes on writing)",
         combine(journal_words, content, lambda p: (p.add_argument("--by", type=number, required=True),
                                                    p.add_argument("--times", type=number),
                                                    p.add_argument("--every-ms", type=number),
                                                    p.add_argument("--background", action="store_true"))),
         cmd_journal),
        ("shrink", "cut a file to N bytes",
         combine(journal_words, lambda p: p.add_argument("--to", type=number, required=True)), cmd_journal),
        ("remove", "delete a file, or an (empty) directory of the store", a_words("DIR", optional=("NAME",)),
         cmd_journal),
    ]
    return [
        ("machine", "create", "new machine (an existing one is reset: it says what it throws away): Wine prefix,"
                              f" the service installed with the SCM ({DEFAULT_BUILD} build unless --build),"
                              " registry keys of a real installation, up", a_build, cmd_create),
        ("machine", "status", "everything at a glance: machine, build, service, driver, WSC client, debug"
                              " settings, nvxs.log", a_json, cmd_status),
        ("machine", "up", "start the machine's wineserver and keep-alive holder", a_none, lambda m, a: m.up()),
        ("machine", "down", "end every process of the machine (the service is stopped first)", a_none,
         lambda m, a: m.down()),
        ("machine", "install", "(re)copy a build into the machine and register the service (the machine's"
                               " build unless --build)", a_build, cmd_install),
        ("machine", "uninstall", "remove the service and its keys (the files stay)", a_none,
         lambda m, a: m.uninstall()),
        ("machine", "destroy", "down, then remove the machine directory", a_none, lambda m, a: m.destroy()),
        ("service", "start", "start and show every status until RUNNING or STOPPED", a_timeout_ms, cmd_service),
        ("service", "stop", "stop and show every status until STOPPED, with the exit code", a_timeout_ms, cmd_service),
        ("service", "pause", "send pause (the service does not take it)", a_json, cmd_service),
        ("service", "continue", "send continue (the service does not take it)", a_json, cmd_service),
        ("service", "interrogate", "ask the service for its status", a_json, cmd_service),
        ("service", "query", "the SCM's status of the service", a_json, cmd_service),
        ("service", "control", "send any control code (for example 128..255)",
         combine(a_words("CODE"), a_json), cmd_service),
        ("registry", "reg", "read and write registry values; KEY is a full key such as HKLM\\SOFTWARE\\... or a"
                            " short name: service, params (or parameters), driver, elam, paths || Short names:\n"
                            + "\n".join(f"  {k:<11} {v}" for k, v in KEY_ALIASES.items()), None, reg),
        ("driver", "driver", "the NVX driver simulator", None, driver),
        ("driver", "send-command", "the same as `driver send`", a_message("send"), cmd_driver_send),
        ("other", "driver-file", f"the driver file {DRIVER_FILE_WIN}, whose version the service checks when it"
                                 " stops", None, [
            ("set-version", f"install the driver file of that version (`create` installs {DRIVER_FILE_DEFAULT})",
             lambda p: p.add_argument("version", choices=DRIVER_FILE_VERSIONS), cmd_driver_file),
            ("show", "its file version (exit 1 when it is not there)", a_json, cmd_driver_file),
            ("remove", "take it away", a_none, cmd_driver_file)]),
        ("other", "elam", f"the early-launch driver service key ({KEY_ALIASES['elam']})", None, [
            ("present", "create it as an installation does (Start=0, Type=1)", a_none, cmd_elam),
            ("absent", "delete it", a_none, cmd_elam),
            ("show", "present or absent, and its Start value", a_json, cmd_elam)]),
        ("other", "wsc", f"the WSC client {WSC_CLIENT_DIR_WIN}\\{WSC_CLIENT_NAME} the service starts", None, wsc),
        ("other", "journal", f"the driver's event-journal store ({JOURNAL_ROOT_WIN}; DIR is one of its"
                             " directories, named after the journal types)", None, journal),
        ("programs", "console", "run NVXService.exe from a console with ARGS (every argument, --help too, goes to"
                                " the program); its output and full exit code", None, cmd_console),
        ("programs", "wine", "run any Windows program in the machine: PROGRAM ARGS (sc, reg, cmd, ...)", None,
         cmd_wine),
        ("programs", "log", "the service's nvxs.log: --follow for new lines as they come, --facility and --level"
                            " to filter (see `nvxsim help log`)", add_log_arguments, cmd_log),
        ("programs", "help", "this overview, or one command's help: help COMMAND [SUBCOMMAND]", None, None),
    ]


LITERAL = ("console", "wine")  # every argument after these goes to the Windows program


def add_log_arguments(p):
    p.add_argument("--tail", type=number, help="only the last N lines (with --follow: 10 unless given)")
    p.add_argument("--all", action="store_true", help="with the rotated files nvxs4.log .. nvxs1.log, oldest first")
    p.add_argument("--follow", action="store_true", help="then go on showing new lines until interrupted (Ctrl-C)")
    p.add_argument("--facility", action="append", metavar="NAME[,NAME]",
                   help="only these facilities: " + ", ".join(logs.FACILITY_BITS))
    p.add_argument("--level", metavar="LEVEL",
                   help="only this level and above: " + ", ".join(f"{n} {l}" for n, l in enumerate(logs.LEVELS, 1))
                   + " (1 is the most detail, as DebugLevel)")
    a_json(p)


def build_parser():
    root = Parser(prog="nvxsim")
    commands = root.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser, required=True)
    table = {}
    for group, name, summary, add, handler in command_table():
        summary, _, more = summary.partition(" || ")
        parser = commands.add_parser(name, description=wrap(summary) + (f"\n\n{more}" if more else ""))
        table[name] = (group, summary, parser)
        if isinstance(handler, list):
            subs = parser.add_subparsers(dest="action", metavar="ACTION", parser_class=Parser, required=True,
                                         help="one of the above")
            lines = []
            for sub, sub_summary, sub_add, sub_handler in handler:
                sp = subs.add_parser(sub, description=wrap(f"{name} {sub}: {sub_summary}"))
                sub_add(sp)
                sp.set_defaults(handler=sub_handler)
                lines.append(wrap(f"  {name} {sub:<14} {sub_summary}", len(name) + 18))
            parser.description += "\n\n" + "\n".join(lines)
        elif add is not None:
            add(parser)
            parser.set_defaults(handler=handler)
    return root, commands, table


def wrap(text, indent=0):
    return textwrap.fill(text, 100, subsequent_indent=" " * indent, break_on_hyphens=False)


def overview(table):
    lines = [
        "usage: nvxsim [--machine DIR] [--exe PATH] [--ctl PATH] [--timeout S] [--raw] COMMAND ...",
        "",
        "A simulated Windows machine (a Wine prefix) with the NVXService installed. First steps: nvxsim create;",
        "nvxsim start; nvxsim driver start; nvxsim send-command --kind get Version; nvxsim status.",
        "",
    ]
    for group, title in GROUPS.items():
        lines.append(title)
        for name, (g, summary, parser) in table.items():
            if g == group:
                lines.append(wrap(f"  {name:<14} {summary}", 17))
        lines.append("")
    paths = build_paths()
    lines += [
        wrap(f"Builds (create --build, install --build): {BUILD_SIM}, the default, is the simulated machine's build"
             f" ({paths[BUILD_SIM]}, or $NVXSIM_FAULTS_EXE): it starts WSCClient.exe as an ordinary process."
             f" {BUILD_SHIPPED} is the shipped build ({paths[BUILD_SHIPPED]}, or $NVXSIM_EXE): it insists on a"
             " protected start of WSCClient.exe, which Wine refuses (error 50), so a WSCClient exec is answered -1."
             " `nvxsim status` shows which one a machine has."),
        "",
        "Options (before the command)",
        "  --machine DIR   machine directory (default $NVXSIM_MACHINE or build/machine)",
        "  --exe PATH      install this NVXService.exe (create, install) instead of a build",
        "  --ctl PATH      nvxsimctl.exe ($NVXSIM_CTL, default build/mingw/sim/nvxsimctl.exe)",
        "  --timeout S     bound for every Wine call in seconds ($NVXSIM_TIMEOUT, default 60)",
        "  --raw           service commands print nvxsimctl's key=value lines, driver commands the driver's",
        "                  JSON records; console prints the program's bytes unchanged and ends with EXIT code=0x...",
        "Output for scripts: --json after the command (status, query, reg get, log, driver status, ...).",
        "Exit status: 0 done, 1 Windows answered with an error (or the program exited non-zero), 2 usage or",
        "machine problem.",
    ]
    return "\n".join(lines)


GLOBAL_VALUE_OPTIONS = ("--machine", "--exe", "--ctl", "--timeout")


def take_global_options(args):
    """Splits the leading global options off args: ({option: value or True}, rest)."""
    opts, rest = {}, list(args)
    while rest and rest[0].startswith("-") and rest[0] != "--":
        name, eq, value = rest.pop(0).partition("=")
        if name in GLOBAL_VALUE_OPTIONS:
            if not eq:
                if not rest:
                    raise Usage(f"{name} needs a value")
                value = rest.pop(0)
            opts[name] = value
        elif name in ("--raw", "--help", "-h") and not eq:
            opts[name.lstrip("-")[0] if name == "-h" else name] = True
        else:
            raise Usage(f"unknown option {name} (see `nvxsim help`)")
    return opts, rest


def escape_words(args):
    """Words that start with a single '-' are no options of nvxsim (it has only --options): text for
    the driver, negative numbers. They are marked so that argparse takes them as words."""
    return [ESCAPE + a if a.startswith("-") and not a.startswith("--") and a != "-" else a for a in args]


def unescape(namespace):
    for key, value in vars(namespace).items():
        if isinstance(value, str):
            setattr(namespace, key, value.replace(ESCAPE, "", 1) if value.startswith(ESCAPE) else value)
        elif isinstance(value, list):
            setattr(namespace, key, [v[1:] if isinstance(v, str) and v.startswith(ESCAPE) else v for v in value])
    return namespace


def main(argv):
    try:
        opts, rest = take_global_options(argv)
        root, commands, table = build_parser()
        if opts.get("--help") or opts.get("h") or not rest or rest[0] == "help":
            words = rest[1:] if rest and rest[0] == "help" else []
            return show_help(table, words) if words else (say(overview(table)) or
                                                          (EXIT_OK if rest or opts else EXIT_USAGE))
        command = rest[0]
        if command not in table:
            raise Usage(f"unknown command {command} (see `nvxsim help`)")
        machine = make_machine(opts)
        if command in LITERAL:
            return table_handler(command)(machine, rest[1:])
        # Text for the driver may be "-h"; everywhere else it asks for help.
        message = command == "send-command" or (command == "driver" and rest[1:2] in (["send"], ["event"],
                                                                                      ["reg"], ["raw"]))
        words = rest if message else ["--help" if a == "-h" else a for a in rest]
        args, extra = root.parse_known_args(escape_words(words))
        args = unescape(args)
        if extra:
            path = " ".join(w for w in (args.command, getattr(args, "action", None)) if w)
            hint = " (the data goes after --data)" if path == "reg set" else ""
            raise Usage(f"{path}: unexpected {' '.join(extra).replace(ESCAPE, '')}{hint} (see `nvxsim help {path}`)")
        return args.handler(machine, args) or EXIT_OK
    except Usage as e:
        note(f"nvxsim: {e}")
        return EXIT_USAGE
    except SimError as e:
        note(f"nvxsim: {e}")
        return EXIT_USAGE
    except BrokenPipeError:
        # The reader went away (`nvxsim log | head`): nothing more to say.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED
    except KeyboardInterrupt:
        note("nvxsim: interrupted (`nvxsim down` ends whatever the machine still runs)")
        return 130


def table_handler(name):
    return next(handler for _, n, _, _, handler in command_table() if n == name)


def show_help(table, words):
    if words[0] not in table:
        raise Usage(f"no command {words[0]} (see `nvxsim help`)")
    parser = table[words[0]][2]
    if words[0] in LITERAL:
        say(f"usage: nvxsim {words[0]} {'[ARGS...]' if words[0] == 'console' else 'PROGRAM [ARGS...]'}\n\n"
            + table[words[0]][1])
        return EXIT_OK
    if len(words) > 1:
        subs = next((a for a in parser._actions if isinstance(a, argparse._SubParsersAction)), None)
        if subs is None or words[1] not in subs.choices:
            raise Usage(f"{words[0]} has no command {words[1]} (see `nvxsim help {words[0]}`)")
        parser = subs.choices[words[1]]
    say(parser.format_help().rstrip())
    return EXIT_OK


def make_machine(opts):
    root = opts.get("--machine") or os.environ.get("NVXSIM_MACHINE") or REPO / "build" / "machine"
    return Machine(root=root, exe=opts.get("--exe"),
                   ctl=opts.get("--ctl") or os.environ.get("NVXSIM_CTL") or REPO / "build/mingw/sim/nvxsimctl.exe",
                   timeout=float(opts.get("--timeout") or os.environ.get("NVXSIM_TIMEOUT") or 60),
                   raw=bool(opts.get("--raw")))


def out_json(value):
    say(json.dumps(value, ensure_ascii=False))


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
    st["wsc_client"] = {"installed": m.wsc_installed(), "behaviour": m.wsc_behaviour(), "starts": len(m.wsc_calls()),
                        "running": m.wsc_pids()}
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
                                 "answer_left": status["answer_left"], "answer_status": status["answer_status"]})
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
                row("", f"the next {driver['answer_left']} send(s) get status"
                        f" {drv.comm_status_text(driver['answer_status'])}")
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
    st = {"installed": m.wsc_installed(), "behaviour": m.wsc_behaviour(), "starts": len(m.wsc_calls()),
          "running": m.wsc_pids(), "service_build": build}
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
