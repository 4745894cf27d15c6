"""A booted Wine prefix kept as a template, so that a new machine is a copy of it rather than a boot.

A first boot of a prefix (`wineboot --init`) costs about ten seconds of processor time, most of it
Wine's setup installing some 700 MB of its own DLLs and registering them. The scenario tests make
a machine per test class, so with $NVXSIM_PREFIX_TEMPLATE naming a directory, the first machine
boots a prefix there and every later one is copied from it:

- Wine's own program files (DLLs, executables, drivers) under drive_c/windows are hard links to
  the template's: Wine only ever reads them. Everything else (registry files, ini files, the
  user's folders) is a copy of its own, and symbolic links stay links.
- The template records the Wine it was booted by (Wine's version and its setup file); another
  Wine boots a new template. A copy made by the same Wine never runs Wine's prefix update, the
  one thing that would write to the linked files.
- The machine itself never writes into a file it did not create: the files it installs replace
  what is there (install_file), so a linked file is never opened for writing.
- The prefix's wineserver tag file is not copied: each prefix's server makes its own.

A host where the template cannot be linked to (another file system) boots each machine as before.
"""

import contextlib
import errno
import fcntl
import json
import os
import shutil
import subprocess
from pathlib import Path

TEMPLATE_VARIABLE = "NVXSIM_PREFIX_TEMPLATE"
# Wine's program files: only read once the prefix has booted.
LINKED_SUFFIXES = frozenset((".dll", ".exe", ".drv", ".sys", ".ocx", ".cpl", ".acm", ".ax", ".ds", ".tlb", ".com"))
NOT_COPIED = frozenset(("wineserver",))  # a prefix's server tag, made by its own wineserver
WINE_SETUP_FILES = ("/usr/share/wine/wine.inf", "/usr/lib/wine/wine.inf")


def install_file(source, target):
    """Copies `source` to `target` by replacing whatever is at `target`, never by writing into it:
    a file of the prefix may be shared with the template and with other machines."""
    target = Path(target)
    staging = target.with_name(target.name + ".nvxsim-new")
    shutil.copy2(source, staging)
    os.replace(staging, target)


def wine_identity(wine_bin):
    """What a template must have been booted by to serve: Wine's version and its setup file's
    size and time (a new Wine package changes one or the other)."""
    version = subprocess.run([wine_bin, "--version"], capture_output=True, timeout=60).stdout.decode().strip()
    setup = next((Path(p) for p in WINE_SETUP_FILES if Path(p).is_file()), None)
    stat = setup.stat() if setup else None
    return {"wine": version, "setup": str(setup), "setup_size": stat.st_size if stat else None,
            "setup_mtime_ns": stat.st_mtime_ns if stat else None}


class PrefixTemplate:
    def __init__(self, directory):
        self.directory = Path(directory).resolve()
        self.prefix = self.directory / "prefix"
        self.record = self.directory / "template.json"

    @staticmethod
    def from_environment():
        directory = os.environ.get(TEMPLATE_VARIABLE)
        return PrefixTemplate(directory) if directory else None

    @contextlib.contextmanager
    def _lock(self):
        self.directory.mkdir(parents=True, exist_ok=True)
        with open(self.directory / "template.lock", "w") as handle:
            fcntl.flock(handle, fcntl.LOCK_EX)
            yield

    def _serves(self, identity):
        with contextlib.suppress(OSError, ValueError):
            return json.loads(self.record.read_text()) == identity and (self.prefix / "system.reg").is_file()
        return False

    def copy_to(self, prefix, wine_bin, boot):
        """Makes `prefix` (an empty directory) a copy of the template, booting the template first
        with boot(template_prefix) when there is none for this Wine. Returns False, with `prefix`
        emptied again, when the template's files cannot be linked from there."""
        identity = wine_identity(wine_bin)
        with self._lock():
            if not self._serves(identity):
                self.record.unlink(missing_ok=True)
                shutil.rmtree(self.prefix, ignore_errors=True)
                self.prefix.mkdir(parents=True)
                boot(self.prefix)
                self.record.write_text(json.dumps(identity, indent=2) + "\n")
            try:
                self._copy_tree(self.prefix, Path(prefix))
            except OSError as e:
                if e.errno not in (errno.EXDEV, errno.EPERM, errno.EMLINK):
                    raise
                shutil.rmtree(prefix)
                Path(prefix).mkdir()
                return False
        return True

    def _copy_tree(self, source, target):
        windows = source / "drive_c" / "windows"
        for directory, subdirectories, files in os.walk(source):
            here = Path(directory)
            there = target / here.relative_to(source)
            there.mkdir(exist_ok=True)
            shutil.copystat(here, there)
            for name in subdirectories + files:
                path = here / name
                if path.is_symlink():
                    os.symlink(os.readlink(path), there / name)  # os.walk does not enter it
                elif name in files and not (here == source and name in NOT_COPIED):
                    if path.suffix.lower() in LINKED_SUFFIXES and windows in path.parents:
                        os.link(path, there / name)
                    else:
                        shutil.copy2(path, there / name)
