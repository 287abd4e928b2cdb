"""What the device's shell runs for a run: the keeper, the first session,
which holds the run's folder; the programs' session, which runs one
program after another; and each program, with its arguments, standard
streams and limits as this side has them."""

from __future__ import annotations

import os
import resource
import shlex
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

# The programs' session: one shell on the device for the whole run, which
# runs the programs that take nothing from this side (their standard input
# set up on the device) one at a time, sparing each an ssh session and a
# shell of its own. Its first line is the run's secret; each line after it
# a program's command (program_line). A program's standard output ends with
# "SECRET STATUS" (128 + N for signal N), its standard error with "SECRET":
# the bytes before are the program's own. Its standard error is the
# session's, kept on descriptor 3; the shell's own goes nowhere (it would
# carry only its note of a signal, which the status tells). $1 sets the
# run's limits (limits_script), which its programs take.
PROGRAMS = r'''
eval "$1" || exit 255
exec 3>&2 2>/dev/null
nl='
'
gone() { printf '%s\n' "$1" >&3; return 255; }
IFS= read -r secret || exit 0
while IFS= read -r command; do
    eval "$command"
    status=$?
    printf '%s %s\n' "$secret" "$status"
    printf '%s\n' "$secret" >&3
done
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


def program_place(folder: str, relative: str) -> tuple[str, str]:
    """The folder on the device of the run's program RELATIVE, and the
    program's name as its shell starts it there."""
    directory, _, name = relative.rpartition("/")
    return f"{folder}/{directory or '.'}", f"./{name}"


def folder_gone() -> str:
    """What is said where the run's folder is gone from the device."""
    return f"{processes.CALLER}: the run's folder is gone from the device"


def one_line(words: list[str]) -> str:
    """WORDS as words of one line of the programs' session's shell (a
    newline in a word is its "$nl")."""
    return " ".join('"$nl"'.join(shlex.quote(part) for part in word.split("\n")) for word in words)


def program_line(folder: str, relative: str, arguments: list[str], redirections: str) -> str:
    """The programs' session's line for a program of the run's folder
    (its standard input set up on the device), run in a subshell that
    becomes it (program_script says why): the shell's status is the
    program's."""
    here, program = program_place(folder, relative)
    return (f"if cd {one_line([here])}; then (exec {one_line([program, *arguments])}{redirections} 3>&-); "
            f"else gone {one_line([folder_gone()])}; fi")


def program_script(folder: str, relative: str, arguments: list[str], redirections: str) -> str:
    """What the device's shell runs for a program of the run's folder. The
    program runs in a subshell that becomes it, the shell's own standard
    error sent nowhere meanwhile (it would carry only the shell's note of a
    signal, which the status tells); the shell's status (128 + N for signal
    N) is ssh's. (A subshell: a shell sets up a plain command's redirections
    in its own place, its note then reaching the program's standard error.
    And not the script's last command: a shell that ran that in its own
    place would end by the program's signal, which ssh cannot say.)"""
    here, program = program_place(folder, relative)
    command = remote_command(["exec", program, *arguments])
    return "\n".join([
        f"cd {remote_command([here])} || {{",
        f"    echo {remote_command([folder_gone()])} >&2",
        "    exit 255",
        "}",
        f"{limits_script()} || exit 255",
        "exec 3>&2 2>/dev/null",
        f"({command}{redirections} 3>&-)",
        "exit $?"])
