"""The Wine layer of the simulated machine: one prefix, its persistent wineserver, the processes
that belong to it, and starting Windows programs in it.

Everything on the host that runs Windows programs for the machine goes through here: nvxsim, the
scenario tests and the benchmarks. The rule for a program that Wine did not bring up lives in one
place (not_started), as does the scan for a prefix's processes (prefix_processes).
"""

import contextlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from collections import namedtuple
from pathlib import Path

# What Wine's loader writes when it could not start a program (it then tries the shell, which
# fails too).
WINE_START_FAILURE = b"Application could not be started, or no application associated with the specified file."

Process = namedtuple("Process", "pid name cmdline")


class WineError(Exception):
    """A Wine call that did not finish, or a prefix that would not end; one line for the user."""


def wine_binaries():
    """(wine, wineserver): $NVXSIM_WINE / $NVXSIM_WINESERVER, else what PATH has."""
    wine = os.environ.get("NVXSIM_WINE") or shutil.which("wine") or "wine"
    server = os.environ.get("NVXSIM_WINESERVER") or shutil.which("wineserver") or "wineserver"
    return wine, server


def note(text):
    print(text, file=sys.stderr, flush=True)


def not_started(rc, output, captured=True):
    """True when a Windows program's run shows that Wine never brought its process up.

    Now and then, on a busy host, the run ends in failure with only the loader's complaint, or
    with nothing written at all. Every Windows program the machine runs writes something before
    it can fail (the machine's tools their records, reg its result, GoogleTest its banner), so
    in both cases nothing of the program ran and it may be started once more. `captured` says
    whether `output` is all the program wrote (False when it went elsewhere).
    """
    return rc != 0 and (WINE_START_FAILURE in output or (captured and not output.strip()))


def prefix_processes(prefix):
    """Every live process started with WINEPREFIX=prefix (Windows programs, the wineserver, and
    any host process given that environment), this process and zombies excepted, by PID."""
    marker = b"WINEPREFIX=" + os.fsencode(str(prefix))
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as f:
                if marker not in f.read().split(b"\0"):
                    continue
            with open(f"/proc/{entry}/stat", "rb") as f:
                if f.read().rsplit(b")", 1)[1].split()[0] == b"Z":
                    continue
            with open(f"/proc/{entry}/comm", "rb") as f:
                name = f.read().decode(errors="replace").strip()
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode(errors="replace").strip()
        except (OSError, IndexError):
            continue  # gone meanwhile
        found.append(Process(int(entry), name, cmdline))
    return sorted(found)


class Background:
    """A Windows program left running in its own session, its output (both streams) in a file."""

    def __init__(self, wine_prefix, argv, log_path, what, append=False):
        self.wine_prefix, self.argv, self.log_path, self.what = wine_prefix, argv, Path(log_path), what
        self.restarted = False
        self._start(append)

    def _start(self, append):
        with open(self.log_path, "ab" if append else "wb") as log:
            self.proc = subprocess.Popen(self.argv, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                         env=self.wine_prefix.env(), start_new_session=True)

    def output(self):
        return self.log_path.read_bytes() if self.log_path.exists() else b""

    def wait(self, ready, failed=None, limit=20):
        """Waits up to `limit` seconds for `ready` in the output: (True, output) once it came,
        (False, output) when `failed` came, the program ended, or the time ran out. A program that
        Wine did not bring up is started once more, with a line on standard error."""
        deadline = time.monotonic() + limit
        while True:
            text = self.output()
            if ready in text:
                return True, text
            rc = self.proc.poll()
            if rc is not None:
                text = self.output()
                if ready in text:
                    return True, text
                if not self.restarted and not_started(rc, text):
                    note(f"{self.what}: Wine could not start the program (exit {rc}); starting it once more")
                    self.restarted = True
                    self._start(False)
                    continue
                return False, text
            if (failed and failed in text) or time.monotonic() > deadline:
                return False, text
            time.sleep(0.05)

    def end(self, timeout=15):
        """Waits for the program to end; kills its session when it does not within `timeout` s."""
        try:
            self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()


class WinePrefix:
    """One Wine prefix: its environment, bounded Wine calls, its processes and its server."""

    def __init__(self, prefix, timeout=60):
        self.prefix = Path(prefix)
        self.timeout = timeout
        self.wine_bin, self.server_bin = wine_binaries()

    def env(self, **extra):
        env = dict(os.environ)
        env["WINEPREFIX"] = str(self.prefix)
        env["WINEDEBUG"] = os.environ.get("NVXSIM_WINEDEBUG", "-all")
        env.pop("WINEARCH", None)
        env.update(extra)
        return env

    def run(self, argv, timeout=None, stdout=None, stderr=None, env=None, what=None):
        """Runs a host command in its own session, bounded in time; returns (rc, out, err). A Wine
        program that Wine did not bring up (see not_started) is started once more.

        Output goes through files, not pipes: a Wine program can start processes (the
        wineserver, services.exe) that would otherwise hold a pipe open long after it ended.
        """
        timeout = timeout or self.timeout
        what = what or " ".join(str(a) for a in argv[:3])
        rc, out, err = self._run_once(argv, timeout, stdout, stderr, env, what)
        captured = stdout is None and stderr is None
        if argv[0] == self.wine_bin and not_started(rc, out + err, captured):
            note(f"{what}: Wine could not start the program (exit {rc}); starting it once more")
            rc, out, err = self._run_once(argv, timeout, stdout, stderr, env, what)
        return rc, out, err

    def _run_once(self, argv, timeout, stdout, stderr, env, what):
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=stdout or out, stderr=stderr or err,
                                    env=env or self.env(), start_new_session=True)
            try:
                rc = proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
                raise WineError(f"{what}: no answer within {timeout:g} s (ended)") from None
            out.seek(0)
            err.seek(0)
            return rc, out.read(), err.read()

    def wine(self, *args, timeout=None, env=None):
        """A Windows program (or Wine tool such as reg, sc, cmd) in the prefix: (rc, out, err)."""
        return self.run([self.wine_bin, *args], timeout=timeout, env=env, what="wine " + " ".join(args[:2]))

    def wineserver(self, *args, timeout=30):
        return self.run([self.server_bin, *args], timeout=timeout, what="wineserver " + " ".join(args))

    def background(self, *args, log_path, what=None, append=False):
        """A Windows program left running (see Background)."""
        return Background(self, [self.wine_bin, *args], log_path, what or " ".join(args[:2]), append)

    def processes(self):
        return prefix_processes(self.prefix)

    def server_pid(self):
        return next((p.pid for p in self.processes() if p.name.startswith("wineserver")), None)

    def start_server(self, log_path):
        """The persistent wineserver, then one Wine process (which brings up the prefix's own
        background processes). Returns the first process's (rc, out, err)."""
        with open(log_path, "ab") as log:
            # The server daemonises; its standard streams go to a file so it holds no pipe open.
            proc = subprocess.Popen([self.server_bin, "-p"], stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                    env=self.env(), start_new_session=True)
            try:
                proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
                raise WineError("wineserver -p did not start within 30 s") from None
        return self.wine("cmd", "/c", "ver")

    def kill_left(self, grace, match=None):
        """Waits up to `grace` seconds for the prefix's processes (those `match` takes, or all) to
        end; kills those still alive then and returns them (empty when all ended on their own)."""
        def left():
            return [p for p in self.processes() if match is None or match(p)]
        deadline = time.monotonic() + grace
        found = left()
        while found and time.monotonic() < deadline:
            time.sleep(0.05)
            found = left()
        for process in found:
            with contextlib.suppress(ProcessLookupError):
                os.kill(process.pid, signal.SIGKILL)
        return found

    def end(self, grace=5):
        """Ends the wineserver and with it every program of the prefix; what is still alive after
        `grace` seconds is killed. Returns the processes that had to be killed (empty when the
        server took everything down); WineError when some would not end even then."""
        if self.prefix.is_dir():
            with contextlib.suppress(WineError):
                self.wineserver("-k")
                self.wineserver("-w", timeout=60)
        # Programs notice the server's end asynchronously.
        left = self.kill_left(grace)
        if left:
            time.sleep(0.2)
            still = self.processes()
            if still:
                raise WineError(f"processes of {self.prefix} would not end: {still}")
        return left
