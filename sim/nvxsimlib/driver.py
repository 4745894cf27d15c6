"""The NVX driver simulator as nvxsim shows it: messages it decoded, the records of its journal
(received.jsonl) and the status words of its answers, by name."""

import json
import re

DRIVER_JOURNAL_IN_PREFIX = "drive_c/nvxsim/driver/received.jsonl"
DRIVER_JOURNAL_WIN = r"C:\nvxsim\driver\received.jsonl"

# The 4-byte status the driver answers each send with, and the one an error reply carries.
COMM_STATUS = {
    0x00000000: ("Success", "accepted"),
    0xE0020001: ("GeneralFailure", "general failure"),
    0xE0020002: ("InvalidMessage", "the message is malformed"),
    0xE0020003: ("NotRegistered", "the sender has not registered"),
    0xE0020004: ("UnsupportedMessage", "no such message type"),
    0xE0020005: ("UnknownProcess", "no such destination process"),
    0xE0020006: ("UnknownComponent", "no such destination component"),
    0xE0020007: ("UnknownCommand", "no such command"),
    0xE0020008: ("RequestFailed", "the request failed"),
    0xE0020009: ("QueueFull", "destination queue full"),
}

# Journal events, in words a reader cannot take the wrong way round.
EVENT_LABELS = {
    "from_service": "service->driver",
    "to_service": "driver->service",
    "reply-message": "driver->service reply",
}


def comm_status_name(value):
    """"QueueFull: destination queue full" for 0xE0020009 (an int or its text), None when unknown."""
    try:
        number = int(value, 16) if isinstance(value, str) else int(value)
    except ValueError:
        return None
    known = COMM_STATUS.get(number)
    return f"{known[0]}: {known[1]}" if known else None


def comm_status_text(value):
    """"0xE0020009 (QueueFull: destination queue full)"; the bare value when unknown."""
    name = comm_status_name(value)
    return f"{value} ({name})" if name else str(value)


def describe_message(msg):
    """One line for a message decoded by the driver."""
    name = msg.get("name", "?")
    if name == "CommandMsg" and "flags" in msg:
        text = (f"CommandMsg {msg['kind_name']} request {msg['request_id']} flags {msg['flags']}"
                f" ({msg['flag_names'] or 'none'}) component {msg['source_component']} ->"
                f" {msg['destination_component']}")
        for key in ("source_pid", "source_key", "destination_pid", "destination_key"):
            if msg.get(key):
                text += f" {key.replace('_', ' ')} {msg[key]}"
        text += f": {json.dumps(msg['text'], ensure_ascii=False)}"
        if not msg["nul_terminated"]:
            text += " (no final NUL)"
        # An error reply carries a status word as its text: named like the driver's answers.
        m = re.fullmatch(r"ERROR: (0x[0-9a-fA-F]{8})", msg.get("text", ""))
        if m and comm_status_name(m.group(1)):
            text += f" ({comm_status_name(m.group(1))})"
        return text
    if name == "EventMsg" and "payload_size" in msg:
        return f"EventMsg {json.dumps(msg['text'], ensure_ascii=False)} ({msg['payload_size']} payload bytes)"
    if name == "RegRequestMsg" and "component" in msg:
        return (f"RegRequestMsg tag 0x{msg['tag']:02x} marker {msg['context_marker']}"
                f" component {msg['component']}")
    if name == "SyncRequestMsg" and "process_id" in msg:
        return f"SyncRequestMsg process {msg['process_id']} block 0x{msg['block_address']:x}"
    if name == "short":
        return "fewer bytes than a header"
    return f"{name} (type {msg.get('type')}, size field {msg.get('size')})"


def describe_answer(record):
    """How the driver answers a send: "status 0xE0020006 (UnknownComponent: ...)", with the
    HRESULT and the output length when they are not S_OK and 4 bytes."""
    text = f"status {comm_status_text(record['status'])}"
    if int(record.get("hresult", "0"), 16):
        text += f", HRESULT {record['hresult']}"
    if record.get("length", 4) != 4:
        text += f", {record['length']} output bytes"
    return text


def decode_context(data):
    """A connection context as the driver's journal decodes it (only RegRequestMsg is expected)."""
    if len(data) >= 16 and data[2] == 3:
        return {"name": "RegRequestMsg", "tag": data[3], "context_marker": data[9],
                "component": int.from_bytes(data[12:16], "little")}
    return {"name": "bytes", "type": data[2] if len(data) > 2 else None, "size": len(data)}


def describe_record(r):
    """One line for a record of the driver's journal."""
    event = r["event"]
    head = f"{r['seq']:>5}  {r['time'][11:23]}  {EVENT_LABELS.get(event, event):<22}"
    where = f"{r['port']:<5} #{r['conn']:<3} " if "conn" in r else ""
    if event == "load":
        store = (f", event journals at {r['event_journals']}" if "event_journals" in r
                 else f", no event journals: {r['event_journals_error']}" if "event_journals_error" in r else "")
        return f"{head}Windows process {r['pid']}, ports {'open' if r['ports_open'] else 'closed'}{store}"
    if event == "connect":
        context = describe_message(r["context"]) if "context" in r else "no context"
        return f"{head}{where}context {context}"
    if event == "from_service":
        answer = f"driver answered {comm_status_text(r['status'])}" if "status" in r else "driver answered"
        if "hresult" in r:
            answer += f", HRESULT {r['hresult']}"
        if r["port"] == "async" and r.get("out_count", 4) != 4:
            answer += f" ({r['out_count']} output bytes)"
        return f"{head}{where}{r['size']} bytes {describe_message(r['msg'])} -> {answer}"
    if event == "to_service":
        frame = "whole frame of " if r.get("frame") else ""
        return f"{head}{where}{frame}{r['size']} bytes {describe_message(r['msg'])}"
    if event == "disconnect":
        return f"{head}{where}closed by the {r['by']}"
    if event == "answer":
        return f"{head}next {r['count']} send(s) get {describe_answer(r)}"
    if event == "ports-open":
        return f"{head}ports created"
    if event == "reply-message":
        return f"{head}{where}{r['size']} bytes -> HRESULT {r['hresult']}"
    if event == "unload":
        return f"{head}Windows process {r['pid']}"
    return f"{head}{where}".rstrip()


def journal_lines(path):
    """A JSON-lines file's whole lines, empty ones left out (the last line may still be being
    written: the driver's journal, the WSC client's calls)."""
    return [line for line in path.read_bytes().decode("utf-8", errors="replace").split("\n")[:-1] if line]

