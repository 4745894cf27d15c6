"""What nvxsim reads from the machine's tools and how it words it: its output line and its
one-line error, Wine's output cleaned, nvxsimctl's records, the SCM's states, accepted controls
and error codes, the service's own exit codes, and the registry's value forms (reg query's answer,
a .reg file's data)."""

import re

STATE_NAMES = {1: "STOPPED", 2: "START_PENDING", 3: "STOP_PENDING", 4: "RUNNING",
               5: "CONTINUE_PENDING", 6: "PAUSE_PENDING", 7: "PAUSED"}
ACCEPT_NAMES = [(0x1, "STOP"), (0x2, "PAUSE_CONTINUE"), (0x4, "SHUTDOWN"), (0x8, "PARAMCHANGE"),
                (0x10, "NETBINDCHANGE"), (0x20, "HARDWAREPROFILECHANGE"), (0x40, "POWEREVENT"),
                (0x80, "SESSIONCHANGE"), (0x100, "PRESHUTDOWN")]
ERROR_TEXT = {
    2: "the file or event was not found",
    5: "access denied",
    50: "not supported",
    87: "invalid parameter",
    120: "the service does not implement this control",
    1052: "the requested control is not valid for this service",
    1053: "the service did not respond in time",
    1056: "an instance of the service is already running",
    1058: "the service is disabled",
    1060: "the service is not installed",
    1061: "the service cannot accept control messages now",
    1062: "the service has not been started",
    1067: "the process terminated unexpectedly",
    1072: "the service has been marked for deletion",
    1073: "the service already exists",
    1077: "the service has never been started",
}
# The exit codes the service itself ends with when its start fails (service/exit_codes.h).
SERVICE_EXIT_TEXT = {
    0xF000001: "the debug log could not start", 0xF000002: "OS symbols could not be loaded",
    0xF000003: "the memory pool could not start", 0xF000004: "path management failed (no data directory?)",
    0xF000008: "the WSC client set-up failed", 0xF000009: "OS notifications could not start",
    0xF000013: "the OS notification thread did not start", 0xF000018: "the command table could not be made",
    0xF000020: "the communications thread did not start", 0xF000021: "no service manager",
    0xF000022: "no service entry", 0xF000024: "the service dispatcher failed",
    0xF000025: "started from a console, not by the SCM", 0xF000027: "the event-journal thread did not start",
    0xF000028: "event-journal management could not start", 0xF000029: "the main-loop thread object could not be made",
    0xF00002A: "the control handler could not be registered",
}
CONTROLS = {"stop": 1, "pause": 2, "continue": 3, "interrogate": 4}


class SimError(Exception):
    """A problem with the machine or the tools, reported as one line and exit status 2."""


def say(text=""):
    print(text, flush=True)


def error_text(code):
    text = ERROR_TEXT.get(code)
    return f"error {code}" + (f" ({text})" if text else "")


def exit_code_meaning(code):
    """What a Win32 error or one of the service's own exit codes means; None when unknown."""
    return ERROR_TEXT.get(code) or SERVICE_EXIT_TEXT.get(code)


def exit_code_text(code):
    """A service's exit code, explained."""
    meaning = exit_code_meaning(code) if code else None
    shown = f"0x{code:X}" if code > 0xFFFF else str(code)
    return shown + (f" ({meaning})" if meaning else "")


def accepted_text(mask):
    names = [name for bit, name in ACCEPT_NAMES if mask & bit]
    rest = mask & ~sum(bit for bit, _ in ACCEPT_NAMES)
    if rest:
        names.append(f"0x{rest:x}")
    return "|".join(names) if names else "nothing"


def parse_record(line):
    """One nvxsimctl line -> (keyword, {key: value}, [bare words]); None for other text."""
    parts = line.split()
    if not parts or not parts[0].isupper():
        return None
    fields, words = {}, []
    for token in parts[1:]:
        if "=" in token:
            key, value = token.split("=", 1)
            fields[key] = value
        else:
            words.append(token)
    return parts[0], fields, words


def status_text(fields):
    state = int(fields["state"])
    text = (f"{STATE_NAMES.get(state, f'state {state}'):<14} checkpoint {fields['checkpoint']:<3}"
            f" wait hint {int(fields['wait_hint']):>5} ms   exit code {fields['exit_code']}"
            f"   accepts {accepted_text(int(fields['accepted'], 16))}")
    specific = int(fields.get("specific", "0"), 16)
    if specific:
        text += f"   service-specific 0x{specific:08X}"
    return text


def clean(data):
    """Wine's output without its start-up noise, on one line."""
    text = data.decode(errors="replace") if isinstance(data, bytes) else data
    keep = [line.strip() for line in text.splitlines()
            if line.strip() and "wine32" not in line and "multiarch" not in line
            and "dpkg --add-architecture" not in line and "apt-get install wine32" not in line]
    return " | ".join(keep) or "(no output)"


def format_data(kind, data):
    return f"0x{data:x}" if kind in ("REG_DWORD", "REG_QWORD") else str(data)


def reg_file_data(kind, data):
    if kind == "REG_DWORD":
        return f"dword:{data:08x}"
    if kind == "REG_SZ":
        return '"' + data.replace("\\", "\\\\").replace('"', '\\"') + '"'
    if kind == "REG_EXPAND_SZ":
        return "hex(2):" + ",".join(f"{b:02x}" for b in (data + "\0").encode("utf-16-le"))
    raise ValueError(kind)



# One value of `reg query`'s answer: four spaces, the name, the type, the data (none when empty).
REG_QUERY_VALUE = re.compile(r"^    (.*?)    (REG_[A-Z_]+)(?:    (.*))?$")


def reg_query_values(out):
    """`reg query` output -> {name: (type, data text)}, in its order."""
    values = {}
    for line in out.decode(errors="replace").splitlines():
        m = REG_QUERY_VALUE.match(line.rstrip("\r"))
        if m:
            values[m.group(1)] = (m.group(2), m.group(3) or "")
    return values

