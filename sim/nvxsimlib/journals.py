"""The driver's event-journal store as the service reads it: its directories and the grammar of
a journal's file name."""

from pathlib import Path

JOURNAL_ROOT_WIN = r"C:\ProgramData\Kestro\Vantor\Data\Event Journals\KestroNVX"
JOURNAL_ROOT_IN_PREFIX = Path("drive_c/ProgramData/Kestro/Vantor/Data/Event Journals/KestroNVX")
# One directory per journal type, in type order; a name's type is the first of these it starts
# with followed by '-' ("ProcessProperties" comes before its prefix "Process").
JOURNAL_TYPES = ["System", "DirectoryChanges", "FileBinaryChanges", "FileDataChanges", "FileOtherChanges",
                 "FileBinaryReads", "FileDataReads", "FileOtherReads", "FileHashes", "FileProperties",
                 "ProcessProperties", "Process", "Thread", "Image", "Registry", "Dns", "Http", "Ip", "Network", "Url"]
MAX_PART = 21  # characters of one numeric part, sign included

NAME_GRAMMAR = ("TYPE-HEX-DEC.EXT or TYPE-HEX-HEX-DEC-DEC.EXT, TYPE one of the store's directory names, each"
                " number an optional '+' and 1 to 21 digits; .bin is a journal the service compresses to .xz,"
                " .tmp the leftover of an interrupted compression (deleted), anything else is left alone")


def _number(part, hex_digits):
    digits = part[1:] if part.startswith("+") else part
    base = "0123456789abcdefABCDEF" if hex_digits else "0123456789"
    return bool(digits) and all(c in base for c in digits)


def parse_journal_name(name):
    """(type, extension) when the service takes `name` for a journal, else None."""
    kind = next((t for t in JOURNAL_TYPES if name.startswith(t + "-")), None)
    if kind is None:
        return None
    rest = name[len(kind) + 1:]
    parts = []
    while True:
        cut = min((i for i in (rest.find("-"), rest.find(".")) if i >= 0), default=-1)
        if cut <= 0 or cut > MAX_PART:
            return None
        parts.append((rest[:cut], rest[cut]))
        rest = rest[cut + 1:]
        if parts[-1][1] == ".":
            break
        if len(parts) == 4:
            return None
    terminators = "".join(t for _, t in parts)
    if terminators == "-.":
        kinds = (True, False)  # short form: HEX-DEC
    elif terminators == "---.":
        kinds = (True, True, False, False)  # long form: HEX-HEX-DEC-DEC
    else:
        return None
    if not all(_number(part, hex_digits) for (part, _), hex_digits in zip(parts, kinds)):
        return None
    return kind, rest
