"""nvxsim's command line: one table of commands gives the help (`nvxsim help COMMAND`,
`nvxsim COMMAND --help`) and the dispatch."""

import argparse
import os
import sys
import textwrap

from . import logs
from .clitools import EXIT_FAILED, EXIT_OK, EXIT_USAGE, Usage
from .commands_driver import (cmd_driver_start, cmd_driver_stop, cmd_driver_disconnect, cmd_driver_wait_connect,
                              cmd_driver_answer, driver_simple, cmd_driver_status, cmd_driver_send, cmd_driver_received,
                              cmd_driver_version, cmd_driver_counters, cmd_driver_file, cmd_pdh,
                              COUNTER_ACTIONS, COUNTER_STATUSES, PDH_QUIRKS, PDH_QUIRK_WIN,
                              cmd_elam, cmd_wsc_set_exit, cmd_wsc_hang, cmd_wsc_release, cmd_wsc_calls, cmd_wsc_status,
                              cmd_wsc_remove, cmd_wsc_install, cmd_journal, cmd_journal_list)
from .commands_driver import cmd_driver_flood
from .commands_filters import LIE_ERRORS, LIE_KINDS, cmd_driver_filters, cmd_fltlib
from .commands_machine import (cmd_create, cmd_install, cmd_status, cmd_service, cmd_reg_get, cmd_reg_set,
                               cmd_reg_delete, cmd_console, cmd_wine, cmd_log, cmd_perf,
                               cmd_telemetry)
from .journals import JOURNAL_ROOT_WIN, NAME_GRAMMAR
from .layout import (BUILD_SHIPPED, BUILD_SIM, DEFAULT_BUILD, DRIVER_FILE_DEFAULT, DRIVER_FILE_VERSIONS, DRIVER_FILE_WIN,
                     KEY_ALIASES, REG_TYPES, REPO, SERVICE_NAME, WSC_CLIENT_DIR_WIN, WSC_CLIENT_NAME, build_paths)
from .machine import Machine
from .sampler import cmd_sample
from .texts import SimError, say
from .wine import note


ESCAPE = "\0"  # marks a word that starts with '-' but is no option (text for the driver, a number)


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
        if kind == "raw":
            p.add_argument("--frame", action="store_true",
                           help="HEX is the whole frame the service's FilterGetMessage gets (the Filter Manager's"
                                " 16-byte header included, or cut short), 0 to 0x40010 bytes")
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
        ("raw", "any bytes as one message behind the driver's 16-byte FILTER_MESSAGE_HEADER; with --frame"
                " the bytes are the whole frame the service receives (a frame of 16 bytes or fewer, a cut"
                " header, a size field that disagrees with the bytes), as a faulty driver could deliver it",
         a_message("raw"), cmd_driver_send),
        ("queue-full", "answer the service's next N sends 0xE0020009 (QueueFull)", a_words("N"),
         lambda m, a: driver_simple(m, a, ["queue-full", a.n])),
        ("answer", "answer the service's next N sends STATUS (a CommStatus such as 0xE0020006);"
                   " --hresult HR makes FilterSendMessage return HR instead of S_OK (the status bytes still"
                   " come back), --length L hands back L output bytes instead of 4 (the status cut short, or"
                   " zero-padded; never more than the service's buffer takes). `answer 0 0` ends it",
         combine(a_words("STATUS", "N"),
                 lambda p: (p.add_argument("--hresult", metavar="HR", help="FilterSendMessage's result (S_OK)"),
                            p.add_argument("--length", metavar="L", help="output bytes handed back (4)"))),
         cmd_driver_answer),
        ("disconnect", "close the service's connections",
         lambda p: p.add_argument("--port", choices=("async", "sync", "all")), cmd_driver_disconnect),
        ("wait-connect", "wait until the service is connected",
         lambda p: (p.add_argument("--port", choices=("async", "sync")),
                    p.add_argument("--timeout-ms", type=number, default=10000)), cmd_driver_wait_connect),
        ("flood", "round trips of one command (Version by default): each Get command is sent once the final"
                  " reply to the one before it is in, for --seconds (10) after --warmup-ms (500); prints round"
                  " trips per second and p50/p99 latency (exit 1 when a reply does not come in --timeout-ms); --beside"
                  " compares two connections under the same load of the host",
         lambda p: (p.add_argument("--seconds", type=number, default=10),
                    p.add_argument("--warmup-ms", type=number, default=500),
                    p.add_argument("--conn", type=number, help="the connection (default: the newest async one)"),
                    p.add_argument("--beside", type=number, metavar="CONN",
                                   help="flood this connection too, in turns with --conn, each for --seconds"),
                    p.add_argument("--slice-ms", type=number, default=100, help="the length of a turn"),
                    p.add_argument("--timeout-ms", type=number, default=5000,
                                   help="how long a reply may take"),
                    a_json(p), p.add_argument("words", nargs="*", metavar="TEXT")), cmd_driver_flood),
        ("received", "what the driver's ports saw: connections, every message from the service with the"
                     " driver's answer, every message to the service, disconnections",
         lambda p: (a_json(p), p.add_argument("--tail", type=number), p.add_argument("--clear", action="store_true")),
         cmd_driver_received),
        ("version", "the driver's Version (REG_SZ in HKLM\\...\\Services\\Kestro Vantor): show it, set it (for"
                    " example 2.1.0.0) or --remove it. The service's perf logger runs from major 2 on; a new"
                    " machine has none",
         lambda p: (p.add_argument("version", nargs="?", metavar="VERSION"),
                    p.add_argument("--remove", action="store_true", help="delete the value"), a_json(p)),
         cmd_driver_version),
        ("counters", "the performance-counter sets the running driver publishes (for the service's perf"
                     " logger, through the pdh.dll stand-in), changed as the driver would: `counters` lists"
                     " every set, instance and counter with its value and status, and the sets not registered;"
                     " `counters set SET INSTANCE COUNTER VALUE` changes a value (INSTANCE \"\" for a set"
                     " without instances); `status SET INSTANCE COUNTER STATUS` gives it a counter status the"
                     " stand-in answers as its CStatus (" + ", ".join(COUNTER_STATUSES) + " or a number; valid"
                     " clears it); `add-instance SET INSTANCE` and `remove-instance SET INSTANCE` make an"
                     " instance appear and go; `add-counter SET COUNTER [VALUE]` adds a counter (any name but"
                     " for '\\', TAB and line ends) to every instance; `unregister SET` takes a set out"
                     " (not registered yet), `register SET` puts one of the driver's sets back; `reset`"
                     " restores the driver's sets and starting values",
         lambda p: (p.add_argument("action", nargs="?", choices=tuple(COUNTER_ACTIONS), default="list"),
                    p.add_argument("words", nargs="*", metavar="WORD"), a_json(p)), cmd_driver_counters),
        ("filters", "the filter stack the running driver publishes (the Filter Manager's filters and instances"
                    " that the service's telemetry walks through the fltlib.dll stand-in): `filters` shows it,"
                    " `filters set FILE` publishes the description in FILE instead (checked whole by the"
                    " driver; the format is in sim/filter_stack.h: minifilter, legacy and instance lines of"
                    " TAB-separated fields), `filters reset` the driver's own stack again. The driver's"
                    " stack goes when it unloads, and a new load publishes its own",
         lambda p: (p.add_argument("action", nargs="?", choices=("show", "set", "reset"), default="show"),
                    p.add_argument("file", nargs="?", metavar="FILE"), a_json(p)), cmd_driver_filters),
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
                              " registry keys of a real installation, up; with $NVXSIM_PREFIX_TEMPLATE=DIR the"
                              " prefix is a copy of one booted once in DIR", a_build, cmd_create),
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
        ("driver", "pdh", f"the pdh.dll stand-in in System32: `pdh` shows its quirk, `pdh quirk KIND [ARG]`"
                          f" makes it misbehave from its next call on (kept in {PDH_QUIRK_WIN}, which it reads"
                          " at every call), `pdh quirk --clear` ends that || Quirks:\n"
                          + "\n".join(wrap(f"  {k + (' ' + v[0] if v[0] else ''):<24} {v[1]}", 27)
                                      for k, v in PDH_QUIRKS.items()),
         lambda p: (p.add_argument("action", nargs="?", choices=("show", "quirk"), default="show"),
                    p.add_argument("kind", nargs="?", metavar="KIND"), p.add_argument("arg", nargs="?", metavar="ARG"),
                    p.add_argument("--clear", action="store_true", help="no quirk"), a_json(p)), cmd_pdh),
        ("driver", "fltlib", "the fltlib.dll stand-in's lie in the filter and instance walks, for bad-input"
                             " checks of the service: `fltlib` shows it, `fltlib lie KIND` sets it (read at the"
                             " next FindFirst), `fltlib lie --clear` ends it || Kinds (--walk filters or"
                             " instances: whose entries lie, filters unless the kind has its own walk):\n"
                             + "\n".join(f"  {k:<21} {w + ' only: ' if w else ''}{t}" for k, (w, t) in LIE_KINDS.items()),
         add_fltlib_arguments, cmd_fltlib),
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
        ("programs", "perf", "the service's perf log NvxPerformance.csv: its paths, header and last rows",
         lambda p: (p.add_argument("--tail", type=number, default=5, help="the last N rows (5; 0 for all)"),
                    p.add_argument("--chart", metavar="DIR", help="instead, a chart per counter set of the file and"
                                   " its copies into DIR (tools/nvxperfchart)"),
                    a_json(p)), cmd_perf),
        ("programs", "telemetry", "the service's telemetry snapshot telemetry.log (from the filter stack the driver"
                                  " simulator publishes): its paths and its line", a_json, cmd_telemetry),
        ("programs", "sample", "private bytes, handles and threads of the service (or PROCESS, an image name or PID) as"
                               " the machine's own calls answer them, and the service's pool and missed-message"
                               " counts read out of it", lambda p: (p.add_argument("process", nargs="?"), a_json(p)),
         cmd_sample),
        ("programs", "help", "this overview, or one command's help: help COMMAND [SUBCOMMAND]", None, None),
    ]


LITERAL = ("console", "wine")  # every argument after these goes to the Windows program


def add_fltlib_arguments(p):
    p.add_argument("action", nargs="?", choices=("show", "lie"), default="show")
    p.add_argument("kind", nargs="?", choices=tuple(LIE_KINDS), metavar="KIND", help=", ".join(LIE_KINDS))
    p.add_argument("--clear", action="store_true", help="tell the truth again")
    p.add_argument("--walk", choices=("filters", "instances"), help="whose entries lie")
    p.add_argument("--after", type=number, metavar="N",
                   help="the first N entries of each walk are told truly (0; at least 1 for *-next-fails)")
    p.add_argument("--error", metavar="CODE", help="the Win32 error of *-next-fails: a number or "
                   + " or ".join(f"{k} ({v})" for k, v in LIE_ERRORS.items()) + " (87)")
    a_json(p)


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
    except (Usage, SimError) as e:
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
