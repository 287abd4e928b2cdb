"""board [--kvm] ARCH [COMMAND [ARG...]]: a Debian machine of CPU ARCH booted
under qemu-system, COMMAND run against it over ssh, and the machine gone
afterwards, whatever happens (scripts/board)."""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from . import board_records, cache, processes, releases, ssh
from .board_parts import (SCRIPTS, BoardRow, a_port, board_row, check_emulator, board_image, make_keys, new_file, qemu_command,
                          release_of, ssh_config)
from .processes import Failure, say

# What the board's first process says once its ssh server runs.
SERVER_STARTED = "board-init: ssh server started"
DEFAULT_TIMEOUT = 300

DESCRIPTION = """\
Boots a Debian machine of CPU ARCH under qemu-system: Debian's own kernel
and initramfs, a root of the release that ARCH's presets build for
(scripts/presets --facts ARCH; this machine's for its own CPU) with the
release's Qt 5 and Qt 6 core libraries and an ssh server. The image (disk,
kernel, initramfs) is made once (as scripts/lib/board-image makes one) and
kept in the cache as board-RELEASE-ARCH-INIT (INIT from board-init's
content); each boot runs it in qemu's snapshot mode, so that nothing a
run changes is kept. The boards are the rows of cmake/debian-boards.txt:
{boards}.

The board's network is qemu's user-mode one with restrict=on: the board
reaches nothing, and only this machine reaches its ssh server, through
one port of 127.0.0.1. A host key and a key to log in with are made for
each boot, and given to it on a small second disk.

With COMMAND, it boots, runs COMMAND with LISTS_BOARD_SSH_CONFIG naming an
ssh configuration whose Host board logs in as root (ssh -F
"$LISTS_BOARD_SSH_CONFIG" board; its connections share one), powers the
board off and exits with COMMAND's status. COMMAND's standard input is
/dev/null. Without COMMAND, it boots, prints how to log in, and waits for
Ctrl-C (or the board's power-off).

The board is gone afterwards in every case; what a run killed outright
left (its qemu, its run folder, board.XXXXXXXX in TMPDIR) is swept by the
next one, which finds it by its record (in list-exercises-boards in
XDG_RUNTIME_DIR, else in ~/.cache: a folder of the user's own, which is
refused where it is not). The ssh files of the run (configuration, key,
known hosts) are refused where they are not the user's own, or others may
write to them. A board that does not come up (its kernel stops, no ssh
within LISTS_BOARD_TIMEOUT seconds, 300 by default) ends the run with exit
2 and the last lines of its console. Under TCG (qemu's emulator) by
default: --kvm, only for this machine's own CPU, where its /dev/kvm runs
Debian's kernels (a paravirtual one may not). LISTS_BOARD_APPEND adds to
the kernel's command line."""


class Board:
    """One boot: its run folder, its qemu, its ssh files."""

    def __init__(self, cpu: BoardRow, release: str, run: Path, record: Path, kvm: bool) -> None:
        self.cpu, self.release, self.run, self.record, self.kvm = cpu, release, run, record, kvm
        self.config = run / "ssh_config"
        self.console = run / "console.log"
        self.ssh: ssh.Destination | None = None
        self.started = time.monotonic()

    @property
    def arch(self) -> str:
        return self.cpu.arch

    def files_are_own(self) -> bool:
        """Whether the run's folder and its ssh files are the user's own and
        others may not write to them; where not, it says so. (ssh takes a
        configuration given with -F as it is, a ProxyCommand with it.)"""
        for path in (self.run, self.config, self.run / "id", self.run / "known_hosts"):
            why = cache.not_own(path)
            if why:
                say(f"refusing the ssh file {path}: {why}")
                return False
        return True

    def checked(self) -> ssh.Destination:
        """The board's ssh destination, its files checked first (exit 1
        where one is not the user's own)."""
        if not self.files_are_own():
            raise Failure("", 1)
        if self.ssh is None:
            self.ssh = ssh.Destination.resolve("board", ["-F", str(self.config)])
        return self.ssh

    def quietly(self, words: list[str], limit: float, extra: list[str] | None = None) -> bool:
        """An ssh command to the board, its output left out; whether it
        worked within LIMIT seconds."""
        try:
            return processes.run(self.checked().command(words, extra=extra), time_limit=limit,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) == 0
        except processes.TimeLimit:
            return False

    def boot(self, image: Path) -> None:
        """Starts the board's qemu, on a port that qemu could forward."""
        accel = "kvm" if self.kvm else "tcg"
        kernel = (image / "kernel-release").read_text().strip()
        say(f"booting the {self.release} {self.arch} board (kernel {kernel}, qemu-system-{self.cpu.qemu}, {accel})")
        self.started = time.monotonic()
        log = self.run / "qemu.log"
        for _ in range(5):
            port = a_port()
            command = qemu_command(self.cpu, image, self.run, port, kvm=self.kvm,
                                   append=os.environ.get("LISTS_BOARD_APPEND", ""))
            handle = new_file(log)
            try:
                status = processes.run(command, stderr=handle)
            except OSError as error:
                os.write(handle, f"cannot run {command[0]}: {error.strerror}\n".encode())
                status = 127
            finally:
                os.close(handle)
            if status == 0:
                os.close(new_file(self.config, ssh_config(self.run, port)))
                return
            if "forward" not in log.read_text(errors="replace").lower():
                break
        sys.stderr.write(log.read_text(errors="replace"))
        raise Failure(f"qemu could not start the {self.arch} board", 2)

    def not_up(self, why: str) -> Failure:
        """The board did not come up: what its console says why."""
        lines = self.console.read_text(errors="replace").splitlines() if self.console.exists() else []
        panic = next((number for number, line in enumerate(lines) if "Kernel panic" in line), None)
        # What led to a panic, rather than the stacks that follow it.
        shown = lines[max(0, panic + 2 - 20):panic + 2] if panic is not None else lines[-25:]
        say(f"the {self.arch} board did not come up ({why}); "
            f"{'up to its panic, ' if panic is not None else ''}the last lines of its console:")
        sys.stderr.write("".join(f"    {line.rstrip(chr(13))}\n" for line in shown))
        return Failure(f"the {self.arch} board did not come up ({why})", 2)

    def wait_up(self, limit: float) -> None:
        """Until ssh logs in (the first login leaves the shared connection
        open), tried once the board says its server runs: a try before that
        may wait long for an answer that does not come."""
        deadline = self.started + limit
        qemu = board_records.qemu_of(self.run)
        while True:
            if SERVER_STARTED in self._console():
                remaining = max(1.0, min(40.0, deadline - time.monotonic()))
                with open(self.run / "ssh.log", "wb") as log:
                    try:
                        if processes.run(self.checked().command(["true"], extra=["-o", "ConnectTimeout=10"]),
                                         time_limit=remaining, stderr=log) == 0:
                            return
                    except processes.TimeLimit:
                        pass
            if "Kernel panic" in self._console():
                raise self.not_up("its kernel panicked")
            qemu = board_records.qemu_of(self.run)
            if qemu is None:
                raise self.not_up("it stopped")
            if time.monotonic() >= deadline:
                raise self.not_up(f"no ssh after {limit:g} s")
            # (Woken at once where qemu ends.)
            board_records.wait_gone(qemu, min(0.5, max(0.0, deadline - time.monotonic())))

    def _console(self) -> str:
        try:
            return self.console.read_text(errors="replace")
        except OSError:
            return ""

    def kernel(self) -> str:
        """The board's kernel, as its uname says it ("" where ssh fails)."""
        try:
            return processes.output(self.checked().command(["uname", "-r"]), stderr=subprocess.DEVNULL).strip()
        except Failure as failure:
            if failure.status == 1 and failure.message:
                return ""
            raise

    def power_off(self) -> None:
        """Ended at once (its disk is a snapshot: nothing is lost); a board
        that does not react is stopped by the clean-up."""
        if not self.files_are_own():
            return
        self.quietly(["sh", "-c", "echo o >/proc/sysrq-trigger"], 10)
        qemu = board_records.qemu_of(self.run)
        if qemu is not None:
            board_records.wait_gone(qemu, 10)

    def down(self) -> None:
        """Gone, however the run ended: its connection, its qemu, its files."""
        if self.run.joinpath("control").is_socket() and self.ssh is not None and self.files_are_own():
            self.quietly([], 10, extra=["-O", "exit"])
        board_records.stop_qemu(self.run)
        shutil.rmtree(self.run, ignore_errors=True)
        self.record.unlink(missing_ok=True)


def arguments(argv: list[str]) -> tuple[argparse.Namespace, list[str]]:
    """[--kvm] ARCH, then COMMAND and its arguments as they are."""
    parser = argparse.ArgumentParser(prog="board", usage="board [--kvm] ARCH [COMMAND [ARG...]]",
                                     description=DESCRIPTION.format(boards=_board_names()),
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--kvm", action="store_true", help="KVM rather than TCG (this machine's own CPU alone)")
    parser.add_argument("arch", metavar="ARCH", help="the board's CPU, as Debian names it; what follows it is"
                                                     " COMMAND and its arguments, as they are")
    # ("--" before ARCH ends the options, as it does for argparse.)
    head = 2 if argv[:1] == ["--kvm"] else 1
    if argv[head - 1:head] == ["--"]:
        argv = argv[:head - 1] + argv[head:]
    word = argv[head - 1] if len(argv) >= head else ""
    if word.startswith("-") and word not in ("-h", "--help"):
        parser.error(f"unknown option {word}")
    return parser.parse_args(argv[:head]), argv[head:]


def _board_names() -> str:
    try:
        return " ".join(releases.boards())
    except releases.TableError as error:
        return str(error)


def board_timeout() -> int:
    value = os.environ.get("LISTS_BOARD_TIMEOUT") or str(DEFAULT_TIMEOUT)
    if not value.isdigit() or int(value) == 0:
        raise Failure(f"LISTS_BOARD_TIMEOUT is '{value}', not a number of seconds", 2)
    return int(value)


def run_command(command: list[str]) -> int:
    """COMMAND's exit status (a shell's for a signal that killed it)."""
    try:
        status = processes.run(command)
    except FileNotFoundError:
        say(f"{command[0]}: command not found")
        return 127
    except PermissionError:
        say(f"{command[0]}: permission denied")
        return 126
    return processes.shell_status(status)


def main(argv: list[str]) -> int:
    options, command = arguments(argv)
    limit = board_timeout()
    cpu = board_row(options.arch, options.kvm)
    release = release_of(cpu.arch)
    if os.getuid() != 0:
        raise Failure("making a board's image takes root (mmdebstrap's chroot, files of every owner)", 1)
    status = processes.run([SCRIPTS / "setup", "board"])
    if status != 0:
        raise Failure("", processes.shell_status(status))
    check_emulator(cpu)
    records = board_records.ready()
    board_records.sweep(records)
    run = Path(tempfile.mkdtemp(prefix="board.", dir=os.environ.get("TMPDIR") or "/tmp"))
    board = Board(cpu, release, run, board_records.write(records, run), options.kvm)
    processes.at_exit(board.down)
    image = board_image(release, cpu.arch)
    make_keys(run)
    board.boot(image)
    board.wait_up(limit)
    say(f"the {cpu.arch} board is up after {time.monotonic() - board.started:.1f} s; kernel {board.kernel()}")
    os.environ["LISTS_BOARD_SSH_CONFIG"] = str(board.config)
    board.checked()
    if command:
        status = run_command(command)
        board.power_off()
        return status
    print(f"""The {cpu.arch} board is up. Log in with
    ssh -F {board.config} board
(or LISTS_BOARD_SSH_CONFIG={board.config} for scripts).
Ctrl-C powers it off.""", flush=True)
    qemu = board_records.qemu_of(run)
    if qemu is not None:
        board_records.wait_gone(qemu, None)
    say(f"the {cpu.arch} board powered off")
    return 0
