"""What lets a board's run find again what a run killed outright left: a
record of each run, in a folder of the user's own that no one else may
change (the runtime folder's, else the cache home's), and the qemu that a
run's folder names.

A record, board.XXXXXXXX as its run's folder: that folder, then the run's
process and when it started (which tells it from a later process of the
same number). Where that process is gone, its qemu is stopped and its
folder removed: only a folder of the user's own (not a link), named as the
record is."""

from __future__ import annotations

import os
import select
import shutil
import signal
import stat
import time
from pathlib import Path

from . import cache
from .processes import Failure, say

RECORDS = "list-exercises-boards"


def records_folder() -> Path:
    runtime = os.environ.get("XDG_RUNTIME_DIR", "")
    if runtime and Path(runtime).is_dir() and not cache.not_own(Path(runtime)):
        return Path(runtime) / RECORDS
    home = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.environ.get("HOME", ""), ".cache")
    return Path(home) / RECORDS


def _user(uid: int) -> str:
    import pwd
    try:
        return pwd.getpwuid(uid).pw_name
    except KeyError:
        return str(uid)


def _parent_not_safe(parent: Path) -> str:
    """Why others could put another folder in the records' place in PARENT,
    or "". (Taken for what a link there leads to: a home's .cache often is
    one. A sticky folder, as /tmp, lets them not.)"""
    try:
        info = parent.stat()
    except OSError:
        return f"{parent}, where it is, cannot be looked at"
    if info.st_uid not in (os.getuid(), 0):
        return f"it is in {parent}, which belongs to {_user(info.st_uid)}"
    if info.st_mode & 0o022 and not info.st_mode & stat.S_ISVTX:
        return f"others may write to {parent}, where it is (mode {stat.S_IMODE(info.st_mode):o})"
    return ""


def ready() -> Path:
    """The records' folder, made where it is not there; refused (exit 1)
    where it is not the user's own alone, mode 700."""
    records = records_folder()
    if not records.exists() and not records.is_symlink():
        # (Another run may make it at the same moment. What it makes, none
        # other may write to, whatever the umask.)
        umask = os.umask(0o077)
        try:
            records.mkdir(parents=True, exist_ok=True)
        except OSError:
            pass
        finally:
            os.umask(umask)
    why = cache.not_own(records) or ("" if records.is_dir() else "it is not a folder")
    why = why or _parent_not_safe(records.parent)
    if why:
        raise Failure(f"refusing {records}, where board keeps a record of each run to sweep what a killed"
                      f" one left: {why}; remove it, or set XDG_RUNTIME_DIR to a folder of"
                      f" {_user(os.getuid())}'s own", 1)
    records.chmod(0o700)
    return records


def started_at(pid: int) -> str:
    """When process PID started (in the kernel's ticks since boot), "" where
    it is not there."""
    try:
        text = Path(f"/proc/{pid}/stat").read_text(errors="replace")
    except OSError:
        return ""
    fields = text.rsplit(") ", 1)[-1].split()
    return fields[19] if len(fields) > 19 else ""


def write(records: Path, run: Path) -> Path:
    """The record of this process's run, whose folder is RUN."""
    record = records / run.name
    new = records / f".{run.name}.new"
    new.write_text(f"{run}\n{os.getpid()} {started_at(os.getpid())}\n")
    os.replace(new, record)
    return record


def qemu_of(folder: Path) -> int | None:
    """The process of the qemu that FOLDER's run started, where it still
    runs (its command line names the folder)."""
    try:
        pid = int((folder / "qemu.pid").read_text().strip())
        command_line = Path(f"/proc/{pid}/cmdline").read_bytes()
    except (OSError, ValueError):
        return None
    return pid if f"{folder}/".encode() in command_line.replace(b"\0", b" ") else None


def wait_gone(pid: int, limit: float | None) -> bool:
    """Waits until process PID (not a child) ends, LIMIT seconds at most
    (None: however long); whether it did."""
    try:
        handle = os.pidfd_open(pid)
    except ProcessLookupError:
        return True
    except OSError:
        handle = -1
    if handle < 0:
        # (A kernel without pidfd: looked at, to the deadline.)
        deadline = None if limit is None else time.monotonic() + limit
        while _alive(pid):
            if deadline is not None and time.monotonic() >= deadline:
                return False
            time.sleep(0.1)
        return True
    try:
        return bool(select.select([handle], [], [], limit)[0])
    finally:
        os.close(handle)


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    try:
        state = Path(f"/proc/{pid}/stat").read_text(errors="replace").rsplit(") ", 1)[-1]
    except OSError:
        return False
    return not state.startswith("Z")


def stop_qemu(folder: Path) -> None:
    """Ends the qemu of FOLDER's run, however it is: SIGTERM, after 5 s
    SIGKILL."""
    pid = qemu_of(folder)
    if pid is None:
        return
    for signum, limit in ((signal.SIGTERM, 5.0), (signal.SIGKILL, 5.0)):
        try:
            os.kill(pid, signum)
        except ProcessLookupError:
            return
        if wait_gone(pid, limit):
            return


def sweep(records: Path) -> None:
    """Stops the qemu of each run whose process is gone, and removes its
    folder and its record."""
    for record in sorted(records.glob("board.*")):
        if record.is_symlink() or not record.is_file():
            continue
        try:
            lines = record.read_text(errors="replace").splitlines()
        except OSError:
            continue
        folder = Path(lines[0]) if lines and lines[0] else None
        owner, _, since = (lines[1] if len(lines) > 1 else "").partition(" ")
        if owner.isdigit() and since and started_at(int(owner)) == since:
            continue
        if (folder is not None and folder.name == record.name and folder.is_absolute()
                and folder.is_dir() and not cache.not_own(folder)):
            pid = qemu_of(folder)
            if pid is not None:
                say(f"stopping the board (qemu {pid}) that run {owner} left")
                stop_qemu(folder)
            shutil.rmtree(folder, ignore_errors=True)
        record.unlink(missing_ok=True)
