"""What the device's shell runs for a run: the keeper, the first session,
which holds the run's folder; and each program, with its arguments,
standard streams and limits as this side has them."""

from __future__ import annotations

import os
import resource
import stat
import subprocess
from dataclasses import dataclass
from typing import Any

from . import processes
from .ssh import remote_command

# The first session on the device: $1 the CPUs (uname -m) that run the
# build's programs, $2 the prefix of the run's folder.
KEEPER = r'''
cpus=$1 prefix=$2
cpu=$(uname -m)
case " $cpus " in
    *" $cpu "*) ;;
    *) echo "cpu $cpu"; exit 3 ;;
esac
folder=$(mktemp -d "${TMPDIR:-/tmp}/$prefix.XXXXXX") || exit 3
trap 'rm -rf "$folder"' EXIT
trap "exit 129" HUP
trap "exit 130" INT
trap "exit 141" PIPE
trap "exit 143" TERM
echo "folder $folder"
echo "kernel $(uname -sr), $cpu"
cat >/dev/null
'''

# Standard streams that are not streamed through ssh but set up on the
# device: closed, a folder (standard input), or one of the devices that
# every device has alike.
CLOSED, FOLDER = "closed", "folder"
SPECIAL_FILES = ("/dev/null", "/dev/zero", "/dev/full", "/dev/random", "/dev/urandom")


@dataclass
class Streams:
    """Standard input, output and error for a program on the device: each a
    file descriptor here and what it is ("" where it is streamed)."""

    fds: tuple[int, int, int] = (0, 1, 2)
    kinds: tuple[str, str, str] = ("", "", "")

    @classmethod
    def of(cls, stdin: int = 0, stdout: int = 1, stderr: int = 2) -> Streams:
        fds = (stdin, stdout, stderr)
        return cls(fds, (stream_kind(stdin, folder=True), stream_kind(stdout), stream_kind(stderr)))

    def redirections(self) -> str:
        """What the device's shell sets up for the program (its standard
        error is the session's, on descriptor 3, where streamed)."""
        stdin, stdout, stderr = self.kinds
        words = {CLOSED: " <&-", FOLDER: " </", "": ""}.get(stdin, f" <{stdin}")
        words += {CLOSED: " >&-", "": ""}.get(stdout, f" >{stdout}")
        words += {CLOSED: " 2>&-", "": " 2>&3"}.get(stderr, f" 2>{stderr}")
        return words

    def for_ssh(self) -> dict[str, Any]:
        """ssh's own streams: the program's where streamed, else nothing."""
        stdin, stdout, stderr = self.kinds
        return {"stdin": self.fds[0] if not stdin else subprocess.DEVNULL,
                "stdout": self.fds[1] if not stdout else subprocess.DEVNULL,
                "stderr": self.fds[2] if stderr != CLOSED else subprocess.DEVNULL}


def stream_kind(fd: int, folder: bool = False) -> str:
    """CLOSED, FOLDER (where FOLDER is asked), a special file's name, or ""
    for a stream (a pipe, a file, a terminal)."""
    try:
        mode = os.fstat(fd).st_mode
    except OSError:
        return CLOSED
    if folder and stat.S_ISDIR(mode):
        return FOLDER
    try:
        target = os.readlink(f"/proc/self/fd/{fd}")
    except OSError:
        return ""
    return target if target in SPECIAL_FILES else ""


def limits_script() -> str:
    """The device's shell sets this process's limits on core files and data
    (its ulimit counts core files in 512-byte blocks, data in KiB)."""
    def value(limit: int, unit: int) -> str:
        return "unlimited" if limit == resource.RLIM_INFINITY else str(limit // unit)

    script = f"ulimit -c {value(resource.getrlimit(resource.RLIMIT_CORE)[0], 512)}"
    data = resource.getrlimit(resource.RLIMIT_DATA)[0]
    if data != resource.RLIM_INFINITY:
        script += f" && ulimit -d {value(data, 1024)}"
    return script


def program_script(folder: str, relative: str, arguments: list[str], redirections: str) -> str:
    """What the device's shell runs for a program of the run's folder. The
    program runs in a subshell that becomes it, the shell's own standard
    error sent nowhere meanwhile (it would carry only the shell's note of a
    signal, which the status tells); the shell's status (128 + N for signal
    N) is ssh's."""
    gone = f"{processes.CALLER}: the run's folder is gone from the device"
    directory, _, name = relative.rpartition("/")
    command = remote_command(["exec", f"./{name}", *arguments])
    here = remote_command([f"{folder}/{directory or '.'}"])
    return "\n".join([
        f"cd {here} || {{",
        f"    echo {remote_command([gone])} >&2",
        "    exit 255",
        "}",
        f"{limits_script()} || exit 255",
        "exec 3>&2 2>/dev/null",
        f"({command}{redirections} 3>&-)"])
