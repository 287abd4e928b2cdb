"""How the build machine's commands run their children and end.

Every command's entry point is `command(main)`: however the command ends
(its own end, an error said in words, Ctrl-C, a CI job's time-out, a
hang-up), the child it runs at that moment ends with it, its whole process
tree, and what it registered with `at_exit` is done before it exits. A
signal ends it with the shell's status for that signal (130, 143, 129), and
it says so: "CALLER: stopped by SIGTERM".

Children run by `run` lead a process group of their own (a new session), so
that mmdebstrap, apt, a build, ctest or a virtual machine is stopped with
everything it started, and a terminal's Ctrl-C reaches this command, which
stops them, rather than each of them on its own."""

from __future__ import annotations

import contextlib
import fcntl
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import IO, Any, Callable, Iterator, NoReturn, Sequence

CALLER = Path(sys.argv[0]).name if sys.argv and sys.argv[0] else "list-exercises"
SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
# A stopped child's group gets this long after SIGTERM, then SIGKILL.
STOP_GRACE = 30.0

_cleanups: list[Callable[[], None]] = []
_inherited: set[int] = set()


class Failure(Exception):
    """An error said to the user in words, with the command's exit status."""

    def __init__(self, message: str = "", status: int = 1) -> None:
        super().__init__(message)
        self.message = message
        self.status = status


class Stopped(BaseException):
    """A signal to the command (a BaseException, as KeyboardInterrupt is:
    no `except Exception` takes it for an error of its own)."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum

    @property
    def status(self) -> int:
        return 128 + self.signum


class TimeLimit(Exception):
    """A child that ran out of its time limit, stopped."""

    def __init__(self, args: Sequence[str], limit: float) -> None:
        super().__init__(f"{args[0]} ran out of its {limit:g} s")
        self.limit = limit


def say(message: str) -> None:
    """A message of the command's own, on standard error."""
    print(f"{CALLER}: {message}", file=sys.stderr, flush=True)


def at_exit(cleanup: Callable[[], None]) -> None:
    """CLEANUP is called when the command ends, in the order given."""
    _cleanups.append(cleanup)


def remove_at_exit(path: Path) -> None:
    """PATH (a file or a folder) is removed when the command ends."""
    at_exit(lambda: remove(path))


def remove(path: Path) -> None:
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path, ignore_errors=True)
    else:
        path.unlink(missing_ok=True)


def _raise_stopped(signum: int, _frame: Any) -> None:
    for each in SIGNALS:
        signal.signal(each, signal.SIG_IGN)
    raise Stopped(signum)


def _ending() -> None:
    for each in SIGNALS:
        signal.signal(each, signal.SIG_IGN)
    while _cleanups:
        cleanup = _cleanups.pop(0)
        try:
            cleanup()
        except Exception as error:  # one failed clean-up must not skip the rest
            say(f"could not clean up: {error}")


def command(main: Callable[[list[str]], int | None], name: str | None = None) -> NoReturn:
    """The whole body of an entry point: runs MAIN with the arguments."""
    global CALLER
    if name:
        CALLER = name
    # Children of the shell kind name the command in their messages.
    os.environ["LISTS_CALLER"] = CALLER
    # (A signal ignored from the start, as in a background job of a script,
    # stays ignored, as a shell's trap leaves it.)
    for each in SIGNALS:
        if signal.getsignal(each) is not signal.SIG_IGN:
            signal.signal(each, _raise_stopped)
    try:
        status = main(sys.argv[1:]) or 0
    except Stopped as stopped:
        say(f"stopped by {signal.Signals(stopped.signum).name}")
        status = stopped.status
    except Failure as failure:
        if failure.message:
            say(failure.message)
        status = failure.status
    except BrokenPipeError:
        status = 1
    finally:
        _ending()
    # (None where the command was started with its standard output closed.)
    if sys.stdout is not None:
        sys.stdout.flush()
    sys.exit(status)


def stop(child: subprocess.Popen[Any], grace: float = STOP_GRACE) -> None:
    """Ends CHILD's whole process group: SIGTERM, after GRACE seconds
    SIGKILL, and waits until nothing of it is left (at most 5 s more)."""
    group = child.pid
    try:
        os.killpg(group, signal.SIGTERM)
    except ProcessLookupError:
        child.wait()
        return
    deadline = time.monotonic() + grace
    killed = False
    while True:
        if child.poll() is not None:
            # The child is gone; what it started may outlive it by a moment.
            if not _group_alive(group):
                return
        if time.monotonic() > deadline:
            if killed:
                return
            killed = True
            try:
                os.killpg(group, signal.SIGKILL)
            except ProcessLookupError:
                pass
            deadline = time.monotonic() + 5
        time.sleep(0.05)


def _group_alive(group: int) -> bool:
    """Whether a process of GROUP still runs (zombies, which an init that is
    slow to reap may leave for a while, do not count)."""
    try:
        os.killpg(group, 0)
    except ProcessLookupError:
        return False
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = stat.read_text().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if len(fields) > 2 and fields[2] == str(group) and fields[0] != "Z":
            return True
    return False


@contextlib.contextmanager
def inherited(fd: int) -> Iterator[None]:
    """Children started meanwhile inherit FD: a lock that they hold too, so
    that a command killed outright while its child goes on still holds it."""
    _inherited.add(fd)
    try:
        yield
    finally:
        _inherited.discard(fd)


def start(args: Sequence[str | os.PathLike[str]], **options: Any) -> subprocess.Popen[Any]:
    """ARGS started as a process group of its own; standard input is
    /dev/null unless given."""
    options.setdefault("stdin", subprocess.DEVNULL)
    if _inherited:
        options["pass_fds"] = tuple(set(options.get("pass_fds", ())) | _inherited)
    return subprocess.Popen([os.fspath(arg) for arg in args], start_new_session=True, **options)


def run(args: Sequence[str | os.PathLike[str]], *, time_limit: float | None = None,
        **options: Any) -> int:
    """Runs ARGS to its end and gives its exit status (negative: killed by
    that signal). On a signal to the command, or past TIME_LIMIT seconds
    (TimeLimit), the child's whole group is stopped first."""
    child = start(args, **options)
    try:
        return child.wait(timeout=time_limit)
    except subprocess.TimeoutExpired:
        stop(child)
        raise TimeLimit([str(arg) for arg in args], time_limit or 0) from None
    except BaseException:
        stop(child)
        raise


def output(args: Sequence[str | os.PathLike[str]], *, stderr: int | IO[Any] | None = None,
           **options: Any) -> str:
    """The standard output of ARGS, which must succeed (else Failure, with
    its standard error, or what STDERR says, already shown)."""
    child = start(args, stdout=subprocess.PIPE, stderr=stderr, text=True, **options)
    try:
        out, _ = child.communicate()
    except BaseException:
        stop(child)
        raise
    if child.returncode != 0:
        raise Failure(f"{args[0]} failed (status {child.returncode})", 1)
    return out


def captured(args: Sequence[str | os.PathLike[str]], *, stdin: str | None = None, errors: bool = True,
             time_limit: float | None = None, cwd: str | None = None) -> tuple[int, str]:
    """ARGS's exit status and its output (with its errors, unless not
    ERRORS), STDIN its input. On a signal to the command, or past
    TIME_LIMIT seconds (TimeLimit), the child's whole group is stopped."""
    child = start(args, stdin=subprocess.DEVNULL if stdin is None else subprocess.PIPE, stdout=subprocess.PIPE,
                  stderr=subprocess.STDOUT if errors else subprocess.DEVNULL, text=True, errors="replace", cwd=cwd)
    try:
        out, _ = child.communicate(stdin, timeout=time_limit)
    except subprocess.TimeoutExpired:
        stop(child)
        raise TimeLimit(args, time_limit or 0) from None
    except BaseException:
        stop(child)
        raise
    return child.returncode, out


def shell_status(returncode: int) -> int:
    """RETURNCODE as a shell gives it: 128 + N for a child killed by signal N."""
    return 128 - returncode if returncode < 0 else returncode


def _lock_file(path: Path) -> int:
    return os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_CLOEXEC, 0o644)


def try_lock(path: Path) -> int | None:
    """An exclusive lock on PATH (made where it is not there), where no one
    else holds one: its file descriptor, else None, without waiting."""
    fd = _lock_file(path)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(fd)
        return None
    return fd


def lock(path: Path, *, shared: bool = False, waiting: str = "") -> int:
    """Takes a lock on PATH (made where it is not there) and gives its file
    descriptor, which holds the lock until it is closed or the command
    ends. Where another holds it, says WAITING (if any), then waits."""
    fd = _lock_file(path)
    kind = fcntl.LOCK_SH if shared else fcntl.LOCK_EX
    try:
        fcntl.flock(fd, kind | fcntl.LOCK_NB)
    except BlockingIOError:
        if waiting:
            say(waiting)
        try:
            fcntl.flock(fd, kind)
        except BaseException:
            os.close(fd)
            raise
    return fd
