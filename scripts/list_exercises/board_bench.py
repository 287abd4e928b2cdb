"""bench/board [--no-images] [ARCH...]: the figures of the booted boards (scripts/board);
it measures, it does not judge."""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import platform
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Sequence

from . import processes, releases, ssh
from .board_parts import SCRIPTS, release_of
from .devices import SshDevice, native_machines
from .presets import PresetError, Presets
from .processes import Failure, captured

SOURCE_DIR = SCRIPTS.parent
BOARD = SCRIPTS / "board"
BENCH = SOURCE_DIR / "bench" / "board"
TIMES = 20

DESCRIPTION = """\
Measures the boards of scripts/board (it takes root and the cache's
images, which the first boot of each ARCH makes):
 - each board's time from its cached image to a working ssh login
   (every board of cmake/debian-boards.txt by default, under TCG);
 - each board's image made from nothing (mmdebstrap, the initramfs, the
   disk), into a folder of its own, not the cache (not with --no-images);
 - 20 `ssh board true` on the first board, each with a connection of its
   own and all through the one shared connection (ControlMaster);
 - on the first board, a program run as a test of the device build runs
   it (check-outcome through scripts/lib/run-on-device), 20 times, against
   the same program started by a shell on the board; and the whole suite
   of the first CPU's preset (./test.sh PRESET --device, built first).
It prints the machine and the figures; it measures, it does not judge."""

# On the board: the program started by a shell, TIMES times; the times
# before and after, in seconds.
BY_A_SHELL = """\
cd "$1" || exit 1
from=$(date +%s.%N)
for i in $(seq "$2"); do ./list_size_clear >/dev/null; done
echo "$from $(date +%s.%N)"
"""


def checked(args: Sequence[str | os.PathLike[str]], **options: object) -> None:
    status = processes.run(args, **options)
    if status != 0:
        raise Failure(f"{Path(args[0]).name} failed (status {status})", 1)


def machine() -> str:
    with open("/proc/meminfo") as meminfo:
        kib = next(int(line.split()[1]) for line in meminfo if line.startswith("MemTotal:"))
    load = " ".join(Path("/proc/loadavg").read_text().split()[:3])
    day = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    return (f"bench/board: {len(os.sched_getaffinity(0))} cores, {kib // 1024 ** 2} GiB, load {load},"
            f" {platform.machine()}, {day}")


def preset_of(cpu: str) -> str:
    """The preset whose build runs on CPU's board: the one named so, else
    the first that builds for that CPU and the board's release."""
    release = release_of(cpu)
    try:
        read = Presets()
        chosen = [preset.name for preset in read.presets() if preset.arch == cpu and preset.release == release]
    except PresetError as error:
        raise Failure(str(error), 2) from error
    if not chosen:
        raise Failure(f"no preset builds for {cpu} and {release}, as the {cpu} board is", 2)
    return cpu if cpu in chosen else chosen[0]


def boot_times(cpus: list[str]) -> None:
    print("== boot to ssh, from the cached image", flush=True)
    for cpu in cpus:
        # (Counted from qemu's start: an image that the cache lacks is made
        # first, untimed.)
        status, out = captured([BOARD, cpu, "true"])
        up = re.search(rf"^board: the {re.escape(cpu)} board is up after ([0-9.]+) s", out, re.MULTILINE)
        if status != 0 or not up:
            sys.stderr.write(out)
            raise Failure(f"the {cpu} board did not come up (status {status})", 1)
        print(f"{cpu}: {up[1]} s to ssh", flush=True)


def on_board(cpu: str, *words: str | os.PathLike[str]) -> int:
    """This command again as scripts/board's COMMAND on CPU's board; its
    output shown, the board's own messages not."""
    return processes.run([BOARD, cpu, BENCH, *words], stderr=subprocess.DEVNULL)


def test_on_device(cpu: str) -> None:
    preset = preset_of(cpu)
    print(f"== a test on the device, on the {cpu} board", flush=True)
    build = processes.output([SCRIPTS / "build-preset", "--quiet", "--device", preset]).strip()
    if on_board(cpu, "--test-on-board", cpu, build) != 0:
        raise Failure(f"the test on the {cpu} board failed", 1)
    started = time.monotonic()
    if on_board(cpu, "--suite-on-board", preset) != 0:
        print("(the suite did not pass)")
    print(f"./test.sh {preset} --device on the board, boot included: {time.monotonic() - started:.0f} s", flush=True)


def image_from_nothing(cpu: str) -> None:
    print(f"== an image from nothing ({cpu})", flush=True)
    work = Path(tempfile.mkdtemp(prefix="bench-board.", dir=os.environ.get("TMPDIR") or "/tmp"))
    processes.remove_at_exit(work)
    started = time.monotonic()
    status, out = captured([SCRIPTS / "lib" / "board-image", release_of(cpu), cpu, work / "image"])
    sys.stdout.write("".join(f"    {line}\n" for line in out.splitlines()))
    if status != 0:
        raise Failure(f"the {cpu} image could not be made (status {status})", 1)
    print(f"{cpu} image: {time.monotonic() - started:.0f} s", flush=True)
    processes.remove(work)


def board_destination() -> ssh.Destination:
    config = os.environ.get("LISTS_BOARD_SSH_CONFIG")
    if not config:
        raise Failure("not on a board: this runs as scripts/board's COMMAND", 2)
    return ssh.Destination.resolve("board", ["-F", config])


def ssh_on_board() -> None:
    """ssh board true, with a connection each, then through the shared one."""
    board = board_destination()
    for what, extra in (("a connection each", ["-o", "ControlPath=none"]), ("one shared connection", [])):
        started = time.monotonic()
        for _ in range(TIMES):
            checked(board.command(["true"], extra=extra))
        print(f"{what}: {(time.monotonic() - started) / TIMES:.2f} s each", flush=True)


def test_on_board(cpu: str, build: Path) -> None:
    """A test's run against a shell's, the device opened for CPU and sent
    the programs of BUILD (quietly: these are not the figures)."""
    board = board_destination()
    with contextlib.redirect_stdout(io.StringIO()):
        device = SshDevice.start(board, native_machines(cpu))
        device.send(build)
    os.environ.update(device.environment())
    started = time.monotonic()
    for _ in range(TIMES):
        checked([SOURCE_DIR / "device" / "check-outcome", "list_size_clear/reference/run",
                 SCRIPTS / "lib" / "run-on-device", build / "list_size_clear"], stdout=subprocess.DEVNULL)
    print(f"as a test: {(time.monotonic() - started) / TIMES:.3f} s each", flush=True)
    times = processes.output(board.command(["sh", "-c", BY_A_SHELL, "sh", device.folder, str(TIMES)])).split()
    print(f"by a shell on the board: {(float(times[1]) - float(times[0])) / TIMES:.3f} s each", flush=True)


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="bench/board", usage="bench/board [--no-images] [ARCH...]",
                                     description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("cpus", metavar="ARCH", nargs="*", help="the boards (every one of the table where none"
                                                               " is given); the first is the one of ssh and tests")
    parser.add_argument("--no-images", action="store_true", help="no image made from nothing")
    # (This command as scripts/board's COMMAND, on the board.)
    parser.add_argument("--ssh-on-board", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--test-on-board", nargs=2, metavar=("CPU", "BUILD"), help=argparse.SUPPRESS)
    parser.add_argument("--suite-on-board", metavar="PRESET", help=argparse.SUPPRESS)
    options = parser.parse_args(argv)
    os.chdir(SOURCE_DIR)
    if options.ssh_on_board:
        ssh_on_board()
    elif options.test_on_board:
        cpu, build = options.test_on_board
        test_on_board(cpu, Path(build).resolve())
    elif options.suite_on_board:
        board_destination()
        return processes.run(["./test.sh", options.suite_on_board, "--device", "board", "-F",
                              os.environ["LISTS_BOARD_SSH_CONFIG"]], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    else:
        try:
            boards = releases.boards()
        except releases.TableError as error:
            raise Failure(str(error), 2) from error
        if os.geteuid() != 0:
            raise Failure("the boards take root (scripts/board makes and boots them as root)", 1)
        cpus = options.cpus or list(boards)
        unknown = [cpu for cpu in cpus if cpu not in boards]
        if unknown:
            raise Failure(f"no board is known for {' '.join(unknown)}; there are boards for {' '.join(boards)}", 2)
        print(machine(), flush=True)
        boot_times(cpus)
        print(f"== {TIMES} ssh board true, on the {cpus[0]} board", flush=True)
        if on_board(cpus[0], "--ssh-on-board") != 0:
            raise Failure(f"ssh on the {cpus[0]} board failed", 1)
        test_on_device(cpus[0])
        for cpu in [] if options.no_images else cpus:
            image_from_nothing(cpu)
    return 0
