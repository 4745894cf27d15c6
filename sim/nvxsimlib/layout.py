"""Where a simulated machine keeps what: the service's name and files, the tools inside the
machine, the WSC client, the driver file, the registry keys of an installation with their short
names, and the two builds of the service."""

import os
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]

SERVICE_NAME = "Kestro Vantor Service"
SERVICE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services" + "\\" + SERVICE_NAME
INSTALL_DIR_WIN = r"C:\Program Files\Kestro\Vantor"
EXE_NAME = "NVXService.exe"
TOOLS_DIR_WIN = r"C:\nvxsim"
CTL_WIN = TOOLS_DIR_WIN + r"\nvxsimctl.exe"
VOLUME_WIN = TOOLS_DIR_WIN + r"\nvxvolume.exe"
CONSOLE_CMD_WIN = TOOLS_DIR_WIN + r"\console.cmd"
DRIVER_WIN = TOOLS_DIR_WIN + r"\nvxdriver.exe"
REGDEL_WIN = TOOLS_DIR_WIN + r"\nvxregdel.exe"
# Programs a benchmark runs in the machine, copied here so that they load the System32 stand-ins,
# as the service does, and not a copy the build left beside them.
BENCH_DIR_IN_PREFIX = Path("drive_c/nvxsim/bench")
# The stand-ins of the Filter Manager and Performance Data Helper libraries live where Windows keeps
# the real ones: the service loads both from System32 only.
SYSTEM32_WIN = r"C:\windows\system32"
SYSTEM32_IN_PREFIX = Path("drive_c/windows/system32")
FLTLIB_NAME = "fltlib.dll"
PDH_NAME = "pdh.dll"
# The counter sets the driver simulator publishes while it runs, where the pdh.dll stand-in reads them.
COUNTERS_WIN = TOOLS_DIR_WIN + r"\driver\counters.txt"
COUNTERS_IN_PREFIX = Path("drive_c/nvxsim/driver/counters.txt")
# The filter stack it publishes while it runs, where the fltlib.dll stand-in reads it.
FILTER_STACK_WIN = TOOLS_DIR_WIN + r"\driver\filters.txt"
FILTER_STACK_IN_PREFIX = Path("drive_c/nvxsim/driver/filters.txt")
# A description on its way to the driver (`driver filters set`): nvxsim copies the file here, in
# the machine, and the driver reads it and publishes it as its stack.
FILTER_STACK_SET_WIN = TOOLS_DIR_WIN + r"\driver\filters-set-{pid}.txt"
FILTER_STACK_SET_IN_PREFIX = "drive_c/nvxsim/driver/filters-set-{pid}.txt"
# The fltlib.dll stand-in's lie (sim/fltlib_lie.h), beside the filter stack; read at every walk.
FLTLIB_LIE_WIN = TOOLS_DIR_WIN + r"\driver\fltlib-lie.txt"
FLTLIB_LIE_IN_PREFIX = Path("drive_c/nvxsim/driver/fltlib-lie.txt")
# The WSC client the service starts for the driver, where a real installation has it; what it
# records and how it ends live in its own directory of the tools.
WSC_CLIENT_NAME = "WSCClient.exe"
WSC_CLIENT_DIR_WIN = r"C:\Program Files (x86)\Kestro\Kestro Anti-Virus"
WSC_CLIENT_IN_PREFIX = Path("drive_c/Program Files (x86)/Kestro/Kestro Anti-Virus") / WSC_CLIENT_NAME
WSC_DIR_IN_PREFIX = Path("drive_c/nvxsim/wscclient")
WSC_CALLS = "calls.jsonl"
WSC_BEHAVIOUR = "behaviour"
WSC_RELEASE_EVENT = "nvxsim-wscclient-release"
# The NVX driver file the service checks at shutdown: a PE image with a version resource, built in
# each version below beside nvxsimctl (KestroNVX-<version>.sys).
DRIVER_FILE_WIN = r"C:\windows\system32\DRIVERS\KestroNVX.sys"
DRIVER_FILE_IN_PREFIX = Path("drive_c/windows/system32/drivers/KestroNVX.sys")
DRIVER_FILE_VERSIONS = ("1.9.0.0", "2.0.0.0", "3.1.0.0")
DRIVER_FILE_DEFAULT = "2.0.0.0"
KEEPALIVE_EVENT = "nvxsim-keepalive"
# The product's data directory as the installation records it for the driver and the service: an NT
# path, since both open what is below it with the native file calls.
# The driver's own service key holds it (Paths), and the driver's Version, which decides whether
# the service's perf logger runs (major 2 or more); a new machine has no Version.
DRIVER_SERVICE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\Kestro Vantor"
PATHS_KEY = DRIVER_SERVICE_KEY + r"\Paths"
DATA_DIR_NT = r"\??\C:\ProgramData\Kestro\Vantor"

# Short names for the keys people type most.
KEY_ALIASES = {
    "service": SERVICE_KEY,
    "params": SERVICE_KEY + r"\Parameters",
    "parameters": SERVICE_KEY + r"\Parameters",
    "driver": r"HKLM\SYSTEM\CurrentControlSet\Services\KestroNVX",
    "elam": r"HKLM\SYSTEM\CurrentControlSet\Services\Kestro ELAM",
    "paths": PATHS_KEY,
}

# What an installation writes besides the SCM entry itself: (key, [(name, type, data)]).
# The service's own values (DebugFacilities, DebugLevel, Version) are not here: the service
# writes them itself, and that is tested.
INSTALL_KEYS = [
    (SERVICE_KEY + r"\Parameters", []),
    (PATHS_KEY, [("NvxProgramDataDir", "REG_SZ", DATA_DIR_NT)]),
    (KEY_ALIASES["driver"], [("Start", "REG_DWORD", 0), ("Type", "REG_DWORD", 2)]),
    (KEY_ALIASES["elam"], [("Start", "REG_DWORD", 0), ("Type", "REG_DWORD", 1)]),
]
# Values every Windows machine has, in the form Windows keeps them (Wine's own defaults differ
# slightly: it stores ProgramData already expanded).
MACHINE_VALUES = [
    (r"HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList",
     [("ProgramData", "REG_EXPAND_SZ", r"%SystemDrive%\ProgramData")]),
    (r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion",
     [("ProgramFilesDir", "REG_SZ", r"C:\Program Files"),
      ("ProgramFilesDir (x86)", "REG_SZ", r"C:\Program Files (x86)")]),
]

# Wine is told to load the stand-ins in System32 rather than its built-in libraries of those names
# (its own fltlib answers E_NOTIMPL, its PdhEnumObjectItemsA raises an exception), for every program
# of the machine: the prefix has one user hive, which the SCM's services read as well.
DLL_OVERRIDES = [
    (r"HKCU\Software\Wine\DllOverrides",
     [("fltlib", "REG_SZ", "native,builtin"), ("pdh", "REG_SZ", "native,builtin")]),
]

REG_TYPES = ["REG_SZ", "REG_EXPAND_SZ", "REG_MULTI_SZ", "REG_DWORD", "REG_QWORD", "REG_BINARY", "REG_NONE"]

# The two builds of the service a machine can have. The shipped build insists on a protected
# start of WSCClient.exe, which Wine refuses (error 50); the simulated machine's build (the test
# build, service/sim_machine.cpp) then starts it as an ordinary process.
BUILD_SIM, BUILD_SHIPPED = "sim", "shipped"
DEFAULT_BUILD = BUILD_SIM
SIM_BUILD_MARKER = b"Simulated machine: protection level refused"
BUILD_TEXT = {
    BUILD_SIM: "the simulated machine's build: starts WSCClient.exe as an ordinary process",
    BUILD_SHIPPED: "the shipped build: Wine refuses its protected start of WSCClient.exe (error 50),"
                   " so a WSCClient exec is answered -1",
    "other": "a build of its own (--exe)",
}


def resolve_key(key):
    head, sep, tail = key.partition("\\")
    if head.lower() in KEY_ALIASES:
        return KEY_ALIASES[head.lower()] + sep + tail
    for long, short in (("HKEY_LOCAL_MACHINE\\", "HKLM\\"), ("HKEY_CURRENT_USER\\", "HKCU\\")):
        if key.upper().startswith(long):
            return short + key[len(long):]
    return key


def short_key(key):
    """A full key in the short name a user typed for it, when it has one (the first of the names
    of one key: params, not parameters)."""
    for alias, full in KEY_ALIASES.items():
        if key.lower() == full.lower():
            return alias
        if key.lower().startswith(full.lower() + "\\"):
            return alias + key[len(full):]
    return key


def build_paths():
    """{build: path}: the shipped build ($NVXSIM_EXE) and the simulated machine's build built beside
    it ($NVXSIM_FAULTS_EXE, else faults/NVXService.exe next to the shipped one)."""
    shipped = Path(os.environ.get("NVXSIM_EXE") or REPO / "build/mingw/service/NVXService.exe")
    sim = Path(os.environ.get("NVXSIM_FAULTS_EXE") or shipped.parent / "faults" / EXE_NAME)
    return {BUILD_SIM: sim, BUILD_SHIPPED: shipped}


def build_of(data):
    """Which build an executable's bytes are."""
    return BUILD_SIM if SIM_BUILD_MARKER in data else BUILD_SHIPPED

