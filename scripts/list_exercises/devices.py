"""A device that runs this project's programs, as the build machine sees
it: opened, sent a build's programs, made to run them (each as CTest's
runner runs it: scripts/lib/run-on-device), asked for files back, and
closed. The one kind so far is a device reached over ssh (SshDevice).

One ssh connection (ControlMaster) serves a whole run. Its first session,
the keeper, checks the device's CPU, makes the run's folder on the device
and holds it for as long as its standard input stays open: a pipe whose
writing end only this process holds (no child inherits it). However this
process ends, killed outright too, the keeper reads the end and removes
the folder; a lost connection ends it as well.

A second session, the programs' session (remote.PROGRAMS), runs the
programs that take nothing from this side, one at a time: a runner that
holds its lock writes the program's line to the FIFO programs.in and
reads its output from programs.out and programs.err, each ended by the
run's secret. Its standard input is held open by this process alone, so
it ends with this process too. A program that takes its standard input
from here (a pipe, a file), one run with other limits, or one started
while another runner holds the lock, has an ssh session of its own; so has
every program after one whose runner did not read its end (`pending`).

What the runner needs of a run is its session folder here, named by
LISTS_DEVICE_SESSION: session.json (the destination and its ssh options,
the shared connection's socket, the run's folder on the device, the build
whose programs were sent, the secret and limits of the programs'
session), `owner` (the process that holds the session), the programs'
session's FIFOs and lock, and, once the connection was lost, `lost`."""

from __future__ import annotations

import errno
import fcntl
import json
import os
import select
import stat
import subprocess
import sys
from abc import ABC, abstractmethod
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import IO, Any

from . import processes
from .processes import Failure
from .remote import KEEPER, PROGRAMS, Streams, limits_script, program_line, program_script
from .ssh import Destination

# (What only the run's owner needs, it imports where it needs it: the
# runner, started for every test, is spared it.)
SESSION_PREFIX = "device-session."
SESSION_FILE = "session.json"
# The programs' session's standard input, output and error.
PROGRAMS_FIFOS = ("programs.in", "programs.out", "programs.err")
# How long a closed session's keeper is given to end before it is cut.
CLOSE_GRACE = 10.0


class CpuRefused(Failure):
    """The device's CPU (uname -m) runs none of the build's programs."""

    def __init__(self, cpu: str) -> None:
        super().__init__(f"the device runs on {cpu}", 2)
        self.cpu = cpu


class Unreachable(Failure):
    """ssh could not connect or log in (or the keeper could not start)."""

    def __init__(self, status: int, log: str) -> None:
        super().__init__(f"ssh's status {status}", 2)
        self.ssh_status = status
        self.log = log


class Lost(Failure):
    """The connection to the device (or the run's folder on it) is gone."""


@dataclass
class Session:
    """A run's session folder here, as the runner reads it."""

    local: Path
    destination: str
    name: str
    options: list[str]
    user_options: list[str] = field(default_factory=list)
    control: str = ""
    folder: str = ""
    kernel: str = ""
    build: str = ""
    # The programs' session's secret ("": none) and the limits it runs with.
    programs: str = ""
    limits: str = ""

    @classmethod
    def load(cls, local: Path) -> Session:
        data = json.loads((local / SESSION_FILE).read_bytes().decode("utf-8", "surrogateescape"))
        return cls(local, **{key: data[key] for key in cls.__dataclass_fields__ if key in data})

    def save(self) -> None:
        data = asdict(self)
        del data["local"]
        # Whole or not at all, for a runner that reads it meanwhile.
        staged = self.local / f".{SESSION_FILE}.new"
        staged.write_text(json.dumps(data, indent=1) + "\n")
        staged.replace(self.local / SESSION_FILE)

    @property
    def target(self) -> Destination:
        return Destination(self.destination, self.user_options, self.options, self.name)

    @property
    def lost(self) -> bool:
        return (self.local / "lost").exists()

    def mark_lost(self) -> None:
        (self.local / "lost").touch()


class Device(ABC):
    """What a test run needs of a device."""

    name: str
    kernel: str

    @abstractmethod
    def send(self, build: Path) -> None:
        """Sends the programs of BUILD, once for the run."""

    @abstractmethod
    def run(self, program: list[str], streams: Streams | None = None) -> int:
        """Runs PROGRAM (a program of the build sent, by its path here, and
        its arguments) on the device; gives its status, 128 + N for signal N,
        255 where it could not be run."""

    @abstractmethod
    def fetch(self, remote: str, local: Path) -> None:
        """Copies the file REMOTE of the device (in the run's folder, where
        relative) to LOCAL."""

    @abstractmethod
    def environment(self) -> dict[str, str]:
        """What the runner, in the test run's children, needs."""

    @abstractmethod
    def close(self) -> None:
        """Ends the run on the device: nothing of it is left there."""


def sweep_sessions(tmp: Path) -> None:
    """Removes the session folders of runs that were killed outright (their
    device's side ended with them)."""
    import shutil

    from . import cache
    for owner in tmp.glob(f"{SESSION_PREFIX}*/owner"):
        # (Only a folder of the user's own: in a shared /tmp, a name alone
        # says nothing of whose it is.)
        if cache.not_own(owner.parent) or cache.not_own(owner):
            continue
        try:
            os.kill(int(owner.read_text().strip()), 0)
            continue
        except PermissionError:
            continue
        except (OSError, ValueError):
            pass
        shutil.rmtree(owner.parent, ignore_errors=True)


def native_machines(arch: str) -> list[str]:
    """What uname -m says on the machines that run ARCH's programs natively
    (none for a CPU not in cmake/debian-cpus.txt)."""
    from . import releases
    row = releases.cpu(arch)
    return list(row.native) if row else []


class SshDevice(Device):
    """A device reached over ssh, through one shared connection."""

    def __init__(self, session: Session, owner: bool = False) -> None:
        self.session = session
        self.name = session.name
        self.kernel = session.kernel
        self.folder = session.folder
        self._owner = owner
        self._keeper: subprocess.Popen[bytes] | None = None
        self._hold: int | None = None
        self._programs: subprocess.Popen[bytes] | None = None
        self._programs_hold: int | None = None

    @classmethod
    def open(cls, arch: str, destination: str, user_options: list[str]) -> SshDevice:
        """Opens DESTINATION for a build of ARCH, saying so; Failure(..., 2)
        where the device cannot be used. It is closed at exit."""
        caller = processes.CALLER
        cpus = native_machines(arch)
        if not cpus:
            raise Failure(f"no CPU is known for {arch}", 2)
        target = Destination.resolve(destination, user_options)
        print(f"{caller}: connecting to {destination} ({target.name})", flush=True)
        try:
            device = cls.start(target, cpus)
        except CpuRefused as refused:
            raise Failure(f"{target.name} runs on {refused.cpu} (uname -m), not on {arch} ({' '.join(cpus)}): "
                          "it cannot run this build's programs", 2) from None
        except Unreachable as unreachable:
            for line in unreachable.log.splitlines():
                print(f"    | {line}", file=sys.stderr)
            raise Failure(f"could not connect or log in to {target.name} (ssh's status {unreachable.ssh_status})",
                          2) from None
        print(f"{caller}: {device.name} is up: {device.kernel}", flush=True)
        return device

    @classmethod
    def start(cls, target: Destination, cpus: list[str], prefix: str = "list-exercises") -> SshDevice:
        """Connects to TARGET, whose CPU must be one of CPUS, and makes the
        run's folder there (PREFIX.XXXXXX), saying nothing; CpuRefused or
        Unreachable where it cannot. It is closed at exit."""
        tmp = Path(os.environ.get("TMPDIR") or "/tmp")
        sweep_sessions(tmp)
        import tempfile
        local = Path(tempfile.mkdtemp(prefix=SESSION_PREFIX, dir=tmp))
        (local / "owner").write_text(f"{os.getpid()}\n")
        device = cls(Session(local, target.destination, target.name, target.options, target.user_options,
                             str(local / "connection")), owner=True)
        processes.at_exit(device.close)
        try:
            device._connect(cpus, prefix)
            device._start_programs()
        except BaseException:
            device.close()
            raise
        return device

    @classmethod
    def attach(cls, local: Path) -> SshDevice:
        """The device of the session folder LOCAL, which another process
        opened and holds."""
        return cls(Session.load(local))

    def _connect(self, cpus: list[str], prefix: str) -> None:
        session = self.session
        words = session.target.command(["sh", "-c", KEEPER, "keeper", " ".join(cpus), prefix],
                                       control=Path(session.control), master=True)
        held, self._hold = os.pipe()
        log = session.local / "connection.log"
        with open(log, "wb") as errors:
            try:
                self._keeper = processes.start(words, stdin=held, stdout=subprocess.PIPE, stderr=errors)
            finally:
                os.close(held)
        said: dict[str, str] = {}
        assert self._keeper.stdout is not None
        # Until the folder is named, or the session ends (ssh's own time
        # limits bound the wait).
        for line in self._keeper.stdout:
            key, _, value = os.fsdecode(line.rstrip(b"\n")).partition(" ")
            said.setdefault(key, value)
            if key == "kernel":
                break
        if "kernel" not in said or not said.get("folder"):
            self._keeper.stdout.close()
            status = processes.shell_status(self._keeper.wait())
            self._keeper = None
            if "cpu" in said:
                raise CpuRefused(said["cpu"])
            raise Unreachable(status, log.read_text(errors="replace"))
        session.folder = self.folder = said["folder"]
        session.kernel = self.kernel = said["kernel"]
        session.save()

    def _start_programs(self) -> None:
        """Starts the programs' session (the module's note says what it is)."""
        local = self.session.local
        for name in PROGRAMS_FIFOS:
            os.mkfifo(local / name, 0o600)
        # Its standard input read by ssh alone, written by this process and
        # by one runner at a time; its output held open by ssh itself, for
        # whichever runner reads it.
        fds = [os.open(local / "programs.in", os.O_RDONLY | os.O_NONBLOCK)]
        self._programs_hold = os.open(local / "programs.in", os.O_WRONLY)
        os.set_blocking(fds[0], True)
        fds += [os.open(local / name, os.O_RDWR) for name in PROGRAMS_FIFOS[1:]]
        limits = limits_script()
        try:
            self._programs = processes.start(self.session.target.command(
                ["sh", "-c", PROGRAMS, "programs", limits], control=Path(self.session.control)),
                stdin=fds[0], stdout=fds[1], stderr=fds[2])
        finally:
            for fd in fds:
                os.close(fd)
        import secrets
        secret = secrets.token_hex(16)
        os.write(self._programs_hold, f"{secret}\n".encode())
        self.session.programs = secret
        self.session.limits = limits
        self.session.save()

    def _start(self, words: list[str], **options: Any) -> subprocess.Popen[bytes]:
        """WORDS run by the device's shell, through the shared connection.
        (ssh stays in this process's group: a terminal's Ctrl-C, or a
        test's time limit, reaches it as it would the program.)"""
        return subprocess.Popen(self.session.target.command(words, control=Path(self.session.control)),
                                **options)

    def execute(self, words: list[str], *, stdin: int | IO[Any] | None = None,
                stdout: int | IO[Any] | None = None, stderr: int | IO[Any] | None = None) -> int:
        """Runs WORDS on the device (a command, each word one word there);
        gives ssh's status (255: the connection failed)."""
        child = self._start(words, stdin=stdin, stdout=stdout, stderr=stderr)
        try:
            return processes.shell_status(child.wait())
        except BaseException:
            child.terminate()
            child.wait()
            raise

    def send(self, build: Path) -> None:
        import tarfile
        build = Path(os.path.abspath(build))
        self.session.build = str(build)
        self.session.save()
        programs = build_programs(build)
        size = (sum((build / program).stat().st_blocks for program in programs) + 1) // 2
        print(f"{processes.CALLER}: sending the programs of {build} ({size} KB) to {self.folder} on the device",
              flush=True)
        child = self._start(["tar", "-xf", "-", "-C", self.folder], stdin=subprocess.PIPE)
        assert child.stdin is not None
        try:
            with tarfile.open(fileobj=child.stdin, mode="w|", format=tarfile.GNU_FORMAT) as archive:
                for program in programs:
                    archive.add(build / program, arcname=f"./{program}", recursive=False)
            child.stdin.close()
        except BrokenPipeError:
            pass
        except BaseException:
            child.terminate()
            child.wait()
            raise
        if child.wait() != 0:
            raise Failure(f"could not send the programs to {self.name}", 1)

    def run(self, program: list[str], streams: Streams | None = None) -> int:
        session = self.session
        if session.lost:
            processes.say(f"not run: the connection to {self.name} was lost earlier in this run")
            return 255
        path, arguments = program[0], program[1:]
        if not session.build or not path.startswith(session.build + "/"):
            processes.say(f"{path} is not a program of the build sent to the device ({session.build})")
            return 255
        streams = streams or Streams.of()
        relative = path[len(session.build) + 1:]
        status = None
        if streams.kinds[0] and session.programs and session.limits == limits_script():
            status = self._run_in_programs_session(relative, arguments, streams)
        if status is None:
            script = program_script(session.folder, relative, arguments, streams.redirections())
            status = self.execute(["sh", "-c", script], **streams.for_ssh())
        if status == 255:
            # The connection itself, or the folder: either way, this run
            # cannot go on.
            session.mark_lost()
            processes.say(f"lost the connection to {self.name} (or the run's folder on it)")
        return status

    def _run_in_programs_session(self, relative: str, arguments: list[str], streams: Streams) -> int | None:
        """The program run by the programs' session: its status (255: the
        session ended before the program did), or None where it is not
        to be run there (another runner holds the session, or one before
        this did not read its end, or the session is gone)."""
        local = self.session.local
        lock = os.open(local / "programs.lock", os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC, 0o600)
        opened: list[int] = []
        try:
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                if (local / "pending").exists():
                    return None
                # (No one reads the FIFO any more: the session ended.)
                opened.append(os.open(local / "programs.in", os.O_WRONLY | os.O_NONBLOCK | os.O_CLOEXEC))
                opened += [os.open(local / name, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
                           for name in PROGRAMS_FIFOS[1:]]
            except OSError as error:
                if error.errno in (errno.EWOULDBLOCK, errno.ENXIO, errno.ENOENT):
                    return None
                raise
            (local / "pending").touch()
            os.set_blocking(opened[0], True)
            line = program_line(self.folder, relative, arguments, streams.redirections())
            write_all(opened[0], f"{line}\n".encode("utf-8", "surrogateescape"))
            os.close(opened.pop(0))
            status = read_to_ends(opened, streams, self.session.programs.encode())
            if status is None:
                return 255
            (local / "pending").unlink()
            return status
        finally:
            for fd in [*opened, lock]:
                os.close(fd)

    def fetch(self, remote: str, local: Path) -> None:
        path = remote if remote.startswith("/") else f"{self.folder}/{remote}"
        with open(local, "wb") as copy:
            status = self.execute(["cat", path], stdin=subprocess.DEVNULL, stdout=copy,
                                  stderr=subprocess.DEVNULL)
        if status == 255:
            raise Lost(f"lost the connection to {self.name} while fetching {remote}", 255)
        if status != 0:
            raise Failure(f"could not fetch {remote} from {self.name} (status {status})", 1)

    def environment(self) -> dict[str, str]:
        return {"LISTS_DEVICE_SESSION": str(self.session.local)}

    def close(self) -> None:
        # The device ends each session once it reads the end of its standard
        # input; one that does not in time (the connection hung) is cut
        # here, and its sshd's hang-up removes the folder. (The programs'
        # session reads no end while a runner still writes to it.)
        sessions = ((self._programs_hold, self._programs), (self._hold, self._keeper))
        self._programs_hold = self._programs = self._hold = self._keeper = None
        for hold, child in sessions:
            if hold is not None:
                os.close(hold)
            if child is not None:
                try:
                    child.wait(timeout=CLOSE_GRACE)
                except subprocess.TimeoutExpired:
                    processes.stop(child, grace=5)
                if child.stdout is not None:
                    child.stdout.close()
        if self._owner:
            self._owner = False
            processes.remove(self.session.local)


def build_programs(build: Path) -> list[str]:
    """The programs of BUILD, relative to it: every executable file but
    CMake's own."""
    programs = []
    for folder, subfolders, files in os.walk(build):
        subfolders[:] = sorted(name for name in subfolders if name != "CMakeFiles")
        for name in sorted(files):
            path = Path(folder, name)
            mode = path.lstat().st_mode
            if stat.S_ISREG(mode) and mode & stat.S_IXUSR:
                programs.append(str(path.relative_to(build)))
    return programs


def write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def read_to_ends(fds: list[int], streams: Streams, secret: bytes) -> int | None:
    """A program's standard output and error from the programs' session
    (FDS), each sent on to STREAMS' own as it comes, up to the secret that
    ends it; the status that ends its output, or None where the session
    ended first. (A stream that the device set up itself has nothing but
    its end.) Once a stream here takes no more (a closed pipe), the rest of
    it is left unsent."""
    targets: dict[int, int | None] = {
        fds[0]: streams.fds[1] if not streams.kinds[1] else None,
        fds[1]: streams.fds[2] if not streams.kinds[2] else None}
    held = {fd: b"" for fd in fds}
    ends: dict[int, bytes] = {}
    while len(ends) < len(fds):
        ready, _, _ = select.select([fd for fd in fds if fd not in ends], [], [])
        for fd in ready:
            block = os.read(fd, 1 << 16)
            if not block:
                return None
            data = held[fd] + block
            at = data.find(secret)
            # Sent on: all before the secret, or where it is not there yet,
            # all but what may be its beginning.
            cut = at if at >= 0 else len(data) - next(
                (size for size in range(min(len(secret) - 1, len(data)), 0, -1)
                 if data.endswith(secret[:size])), 0)
            target = targets[fd]
            if target is not None and cut:
                try:
                    write_all(target, data[:cut])
                except OSError:
                    targets[fd] = None
            data = data[cut:]
            if at >= 0 and b"\n" in data:
                ends[fd] = data[len(secret):data.index(b"\n")]
            else:
                held[fd] = data
    status = ends[fds[0]].strip()
    return int(status) if status.isdigit() else None
