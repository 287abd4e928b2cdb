"""run-on-device PROGRAM [ARG...]

What runs a device build's programs (test.sh PRESET --device: the build's
CMAKE_CROSSCOMPILING_EMULATOR): PROGRAM, a program of the build here, runs
as its copy on the device, through the run's one ssh connection, which
LISTS_DEVICE_SESSION names (list_exercises.devices). Everything a test
looks at is kept as a local run would have it:
- its arguments, and its standard input, output and error, streamed;
  where one of those is closed, a folder or one of /dev's null, zero,
  full or random devices, the program's is the same on the device;
- the limits on core files and on data (ulimit -c, -d) of this process;
- how it ended: its exit status, or the signal that killed it, which this
  command then dies of too (a SIGABRT on the device is one here).
Exits 255 where the program could not be run: no session, or the
connection to the device lost; once lost, every later program of the run
fails at once, naming the device, without trying again."""

from __future__ import annotations

import os
import signal
import sys
from pathlib import Path
from typing import NoReturn

from . import processes
from .devices import SESSION_FILE, SshDevice
from .remote import CLOSED, FOLDER, Streams

# Signals whose default action does not end a process: a status of 128 + N
# for these is an exit status (a stopped program is not waited for).
NOT_ENDING = {signal.SIGCHLD, signal.SIGCONT, signal.SIGURG, signal.SIGWINCH,
              signal.SIGSTOP, signal.SIGTSTP, signal.SIGTTIN, signal.SIGTTOU}


def own_streams() -> Streams:
    """This process's standard streams, as the program is to have them.
    Where one is closed, /dev/null takes its place here (before anything
    else would take its number)."""
    streams = Streams.of()
    # (A folder, which the runner's shell front said: Python's is /dev/null.)
    if os.environ.pop("LISTS_RUNNER_STDIN", "") == FOLDER:
        streams.kinds = (FOLDER, *streams.kinds[1:])
    for fd, kind in enumerate(streams.kinds):
        if kind == CLOSED:
            null = os.open(os.devnull, os.O_RDWR)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)
    # (Python has none for a stream closed at its start.)
    if sys.stdout is None:
        sys.stdout = open(1, "w", closefd=False)
    if sys.stderr is None:
        sys.stderr = open(2, "w", closefd=False)
    return streams


def end_as(status: int) -> int:
    """STATUS, or where it is a signal's (128 + N), that signal to this
    process, which ends it."""
    signum = status - 128
    if signum not in signal.valid_signals() or signum in NOT_ENDING:
        return status
    sys.stdout.flush()
    if signum != signal.SIGKILL:
        try:
            signal.signal(signum, signal.SIG_DFL)
            signal.pthread_sigmask(signal.SIG_UNBLOCK, [signum])
        except (OSError, ValueError):
            return status
    os.kill(os.getpid(), signum)
    return status


def main(argv: list[str]) -> int:
    streams = own_streams()
    if argv[:1] in (["-h"], ["--help"]) or not argv:
        # (argparse only here: the runner starts for every test.)
        import argparse
        parser = argparse.ArgumentParser(prog="run-on-device", description=__doc__.split("\n\n", 1)[1],
                                         formatter_class=argparse.RawDescriptionHelpFormatter)
        parser.add_argument("program", metavar="PROGRAM")
        parser.add_argument("arguments", metavar="ARG", nargs="*", default=[])
        parser.parse_args(argv)
    session = os.environ.get("LISTS_DEVICE_SESSION", "")
    if not session or not (Path(session) / SESSION_FILE).is_file():
        processes.say("no device to run on: a device build's tests run through "
                      "./test.sh PRESET --device DESTINATION")
        return 255
    device = SshDevice.attach(Path(session))
    return end_as(device.run(argv, streams))


def entry() -> NoReturn:
    """The command (scripts/lib/run-on-device, a shell's front)."""
    processes.command(main, "run-on-device")
