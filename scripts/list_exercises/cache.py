"""What the build takes from outside (system roots, device roots, board
images), made once per machine and kept, shared by every clone.

An entry NAME is a file or a folder in the cache folder, with its lock
beside it (.NAME.lock): a shared lock on it is a run's hold (no prune or
refresh removes the entry meanwhile), an exclusive one is its maker's, or a
remover's. An entry is made at a hidden stage beside its place and moved in
by one rename, so that it is only ever there complete; what a killed maker
left (.NAME.*) is swept by the next one, under the lock. The bash commands
not yet in this package take the same locks the same way (flock).

The cache folder and every entry taken from it must be the user's own and
not writable by group or others: programs built against a root, and roots
entered with chroot, run as the user, often root. Anything else stops the
run (status 2), naming the path and why."""

from __future__ import annotations

import datetime
import email.utils
import fcntl
import os
import shutil
import stat
import sys
from pathlib import Path
from typing import Callable, Iterable

from .processes import Failure, inherited, lock, remove_at_exit, say, try_lock

# Held for the life of the command: a shared lock is a hold.
_held: dict[str, int] = {}


def folder() -> Path:
    home = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.environ.get("HOME", ""), ".cache")
    path = Path(os.environ.get("LISTS_CACHE_DIR") or os.path.join(home, "list-exercises"))
    return path if path.is_absolute() else Path.cwd() / path


def path(name: str) -> Path:
    return folder() / name


def lock_path(name: str) -> Path:
    return folder() / f".{name}.lock"


def not_own(where: Path, follow: bool = False) -> str:
    """Why WHERE is not the user's own alone (a link, not there, another's,
    others may write to it), or "" where it is. FOLLOW: a link is taken for
    what it leads to."""
    try:
        if not follow and where.is_symlink():
            return "it is a symbolic link"
        info = where.stat() if follow else where.lstat()
    except FileNotFoundError:
        return "it is not there"
    except OSError:
        return "it cannot be looked at"
    if info.st_uid != os.getuid():
        return f"it belongs to {_user(info.st_uid)}, not to {_user(os.getuid())}, who runs this"
    if info.st_mode & 0o022:
        return f"others may write to it (mode {stat.S_IMODE(info.st_mode):o})"
    return ""


def _user(uid: int) -> str:
    import pwd
    try:
        return pwd.getpwuid(uid).pw_name
    except KeyError:
        return str(uid)


def _trust(where: Path, what: str) -> None:
    """Stops the run unless WHERE (the cache folder, or an entry) is the
    user's own and writable by nobody else. The folder may be reached
    through a link (a home's .cache often is); an entry never is one."""
    why = not_own(where, follow=what == "cache folder")
    if why:
        raise Failure(f"will not use the {what} {where}: {why}; whoever can change it could run"
                      f" programs as {_user(os.getuid())}. Use a cache folder of your own (LISTS_CACHE_DIR),"
                      " or remove what is there, or make it yours (chown, chmod go-w)", 2)


def record_fetched(stage: Path, release_files: Iterable[Path]) -> None:
    """Writes the newest Date of the archives' signed indexes (Release or
    InRelease files) to STAGE.fetched: the day the entry's packages are of."""
    newest = ""
    for release in release_files:
        try:
            lines = release.read_text(errors="replace").splitlines()
        except OSError:
            continue
        date = next((line[6:] for line in lines if line.startswith("Date: ")), "")
        try:
            day = email.utils.parsedate_to_datetime(date).astimezone(datetime.timezone.utc).date().isoformat()
        except (TypeError, ValueError):
            continue
        newest = max(newest, day)
    if newest:
        Path(f"{stage}.fetched").write_text(newest + "\n")


def fetched(name: str) -> str:
    """The day the entry's packages were fetched (YYYY-MM-DD), or ""."""
    entry = path(name)
    record = entry / ".fetched" if entry.is_dir() else entry.parent / f".{name}.fetched"
    try:
        return record.read_text().strip()
    except OSError:
        return ""


def _held_paths() -> list[str]:
    return [line for line in os.environ.get("LISTS_CACHE_HELD", "").split("\n") if line]


def _mark_held(entry: Path) -> None:
    held = _held_paths()
    if str(entry) not in held:
        os.environ["LISTS_CACHE_HELD"] = "\n".join(held + [str(entry)])


def _touch(entry: Path) -> None:
    try:
        os.utime(entry, follow_symlinks=False)
    except OSError:
        pass


def sweep(name: str) -> None:
    """What stopped runs left beside the entry, under its exclusive lock. A
    refresh stopped between its two renames left the old entry aside,
    whole: it is put back."""
    entry, aside = path(name), folder() / f".{name}.old"
    if not entry.exists() and aside.exists():
        say(f"putting back {name}, which a refresh that was stopped had moved aside")
        os.replace(aside, entry)
    for leftover in folder().iterdir():
        if not leftover.name.startswith(f".{name}."):
            continue
        suffix = leftover.name[len(name) + 1:]
        if suffix == ".lock" or (suffix == ".fetched" and entry.exists()):
            continue
        say(f"removing {leftover.name}, left by a run that was stopped")
        _remove_tree(leftover)


def _remove_tree(where: Path) -> None:
    """Removes WHERE, never into what is mounted below it (a maker's /proc)."""
    if not where.is_dir() or where.is_symlink():
        where.unlink(missing_ok=True)
        return
    dev = where.lstat().st_dev
    for root, dirs, _ in os.walk(where):
        for each in dirs:
            if os.lstat(os.path.join(root, each)).st_dev != dev:
                raise Failure(f"cannot remove {where}: something is mounted at {os.path.join(root, each)}")
    try:
        shutil.rmtree(where)
    except OSError as error:
        raise Failure(f"cannot remove {where}: {error}") from error


def discard(entry: Path) -> None:
    """Renamed first, so that a removal stopped half-way never leaves a part
    of an entry under a name that is taken for whole."""
    name = entry.name
    aside = entry.with_name(f"{name}.removing.{os.getpid()}" if name.startswith(".")
                            else f".{name}.removing.{os.getpid()}")
    os.replace(entry, aside)
    _remove_tree(aside)


def _writable_folder() -> bool:
    where = folder()
    if not where.exists():
        try:
            where.mkdir(parents=True)
            where.chmod(where.stat().st_mode & ~0o022)
        except OSError:
            pass
    if where.exists():
        _trust(where, "cache folder")
    return where.is_dir() and os.access(where, os.W_OK | os.X_OK)


def take(name: str, make: Callable[[Path], None]) -> Path:
    """The complete entry NAME, made by MAKE(stage) where it is not there
    (or where LISTS_CACHE_REFRESH names it), held until the command ends.
    One maker at a time; another run waits, then takes what the first made.
    MAKE may write the day of its packages (record_fetched); a run that made
    an entry prunes the cache to its limit."""
    entry = path(name)
    # A run that holds the entry made or refreshed it already.
    refresh = os.environ.get("LISTS_CACHE_REFRESH") == name and str(entry) not in _held_paths()
    if not _writable_folder():
        # A cache of one's own that cannot be written (mounted read-only)
        # still serves what it holds; nothing can remove it.
        if entry.exists() and not refresh:
            _trust(entry, "cache entry")
            return entry
        raise Failure(f"cannot write to the cache folder {folder()}: set LISTS_CACHE_DIR to one that can be written")
    fd = _hold_or_lock_to_make(name) if not refresh else lock(
        lock_path(name), waiting=f"another run holds {name}; waiting for it to end")
    if fd is None:
        return entry
    try:
        sweep(name)
        made = not entry.exists() or refresh
        if made:
            _make(name, make, fd)
        else:
            _trust(entry, "cache entry")
        _touch(entry)
        # Exclusive to shared: the hold, without letting another in between.
        fcntl.flock(fd, fcntl.LOCK_SH)
    except BaseException:
        os.close(fd)
        raise
    _keep(name, fd)
    if made:
        from .tending import prune_after_making
        prune_after_making()
    return entry


def _hold_or_lock_to_make(name: str) -> int | None:
    """Holds the entry where it is there or once another run has made it
    (None), else gives the lock to make it under. (A run that waits for a
    maker waits for its making, not for the whole of its run, which holds
    what it made.)"""
    waiting = (f"another run is refreshing or removing {name}; waiting for it" if path(name).exists()
               else f"another run is making {name}; waiting for it")
    while True:
        if _take_made(name, waiting=waiting):
            return None
        fd = try_lock(lock_path(name))
        if fd is not None:
            return fd
        # Another run took it first to make the entry: wait for that.
        waiting = f"another run is making {name}; waiting for it"


def _take_made(name: str, said: bool = True, waiting: str = "") -> bool:
    """Holds the entry where it is there (waiting for a refresh or a removal
    under way); False where it went meanwhile. SAID: says it took it."""
    fd = lock(lock_path(name), shared=True,
              waiting=waiting or f"another run is refreshing or removing {name}; waiting for it")
    entry = path(name)
    if not entry.exists():
        os.close(fd)
        return False
    _trust(entry, "cache entry")
    _touch(entry)
    _keep(name, fd)
    if not said:
        return True
    day = fetched(name)
    say(f"took {name} from the cache, {folder()}" + (f" (packages of {day})" if day else ""))
    return True


def _keep(name: str, fd: int) -> None:
    old = _held.pop(name, None)
    if old is not None:
        os.close(old)
    _held[name] = fd
    _mark_held(path(name))


def _make(name: str, make: Callable[[Path], None], fd: int) -> None:
    entry = path(name)
    stage = folder() / f".{name}.{os.getpid()}"
    record = Path(f"{stage}.fetched")
    remove_at_exit(stage)
    remove_at_exit(record)
    try:
        # (The maker's children hold the lock too: where this run is killed
        # outright while they go on writing, the next one waits for them.)
        with inherited(fd):
            make(stage)
    except BaseException:
        _remove_tree(stage)
        record.unlink(missing_ok=True)
        raise
    if not stage.exists():
        record.unlink(missing_ok=True)
        raise Failure(f"making {name} left nothing")
    if stage.is_dir() and record.exists():
        os.replace(record, stage / ".fetched")
    # What a maker writes takes its mode from the umask, which may let the
    # group write: the entry would then not be trusted.
    stage.chmod(stat.S_IMODE(stage.lstat().st_mode) & ~0o022)
    # A refresh: the old entry aside, the new one in, the old one gone;
    # stopped between the renames, the next run puts the old one back.
    aside = folder() / f".{name}.old"
    if entry.exists():
        os.replace(entry, aside)
    os.replace(stage, entry)
    if record.exists():
        os.replace(record, folder() / f".{name}.fetched")
    if aside.exists():
        discard(aside)


def hold(name: str) -> bool:
    """Holds the entry NAME, made before (by a child, whose hold ended with
    it), until the command ends; False where it is not there."""
    if not path(name).exists():
        return False
    _trust(folder(), "cache folder")
    return name in _held or _take_made(name, said=False)


def maker_words(argv: list[str], usage: str, description: str, least: int, *, more: bool = False) -> list[str]:
    """The words of a maker's own command, whose target comes last (as the
    cache hands it to its makers): --help prints USAGE and DESCRIPTION (exit
    0); fewer than LEAST words, or more where not MORE, print USAGE (exit 2)."""
    if argv[:1] in (["-h"], ["--help"]):
        print(f"usage: {usage}\n\n{description}")
        raise SystemExit(0)
    if len(argv) < least or (len(argv) > least and not more):
        print(f"usage: {usage}", file=sys.stderr)
        raise SystemExit(2)
    return argv
