"""What a board's boot is made of: its CPU's row, the release and the image
it boots, qemu-system's command line, this boot's keys and ssh
configuration (list_exercises.board runs them)."""

from __future__ import annotations

import hashlib
import os
import platform
import secrets
import shutil
import socket
import subprocess
import tarfile
from pathlib import Path

from . import cache, names, processes
from .presets import PresetError, Presets
from .processes import Failure, say
from .releases import BoardRow, TableError, boards, cpus

SCRIPTS = Path(__file__).resolve().parents[1]
# The label of the root's file system, by which the kernel finds it: where a
# bus probes its disks at once (s390x's channel I/O), the keys' disk may
# come first.
ROOT_LABEL = "board-root"
# The board's first process, copied into its image.
BOARD_INIT = SCRIPTS / "lib" / "board-init"


def kernel_line(console: str, append: str = "") -> str:
    words = [f"root=LABEL={ROOT_LABEL}", "rw", "fsck.mode=skip", f"console={console}", "net.ifnames=0", "panic=1", "quiet",
             "rng_core.default_quality=1000", "init=/usr/local/sbin/board-init"]
    return " ".join(words + ([append] if append else []))


def qemu_command(board: BoardRow, image: Path, run: Path, port: int, *, kvm: bool = False,
                 append: str = "") -> list[str]:
    """qemu-system's command line for BOARD: IMAGE's kernel and disk (in
    snapshot mode), RUN's keys, its console to a file (a board that does not
    come up shows why), its ssh server on 127.0.0.1 port PORT alone."""
    return [
        f"qemu-system-{board.qemu}", "-machine", board.machine, "-cpu", "host" if kvm else board.model,
        # (A thread for each CPU where there are more than one.)
        "-smp", str(board.cpus), "-m", str(board.memory),
        "-accel", "kvm" if kvm else "tcg,thread=multi" if board.cpus > 1 else "tcg",
        "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot", "-snapshot",
        "-kernel", f"{image}/vmlinuz", "-initrd", f"{image}/initrd.img",
        "-append", kernel_line(board.console, append),
        "-drive", f"file={image}/disk.img,format=raw,if=none,id=root", "-device", f"{board.disk},drive=root",
        "-drive", f"file={run}/keys.tar,format=raw,if=none,id=keys,readonly=on",
        "-device", f"{board.disk},drive=keys,serial=board-keys",
        "-device", board.random,
        "-netdev", f"user,id=net,restrict=on,hostfwd=tcp:127.0.0.1:{port}-:22",
        "-device", f"{board.network},netdev=net",
        "-serial", f"file:{run}/console.log", "-pidfile", f"{run}/qemu.pid", "-daemonize",
    ]


def ssh_config(run: Path, port: int) -> str:
    return f"""\
Host board
    HostName 127.0.0.1
    Port {port}
    User root
    IdentityFile {run}/id
    IdentitiesOnly yes
    HostKeyAlias board
    UserKnownHostsFile {run}/known_hosts
    StrictHostKeyChecking yes
    BatchMode yes
    LogLevel ERROR
    ConnectTimeout 30
    ServerAliveInterval 15
    ServerAliveCountMax 4
    ControlMaster auto
    ControlPath {run}/control
    ControlPersist 120
"""


def board_row(arch: str, kvm: bool) -> BoardRow:
    """ARCH's row of the table of boards (status 2 where it has none,
    naming those that have one)."""
    try:
        table = boards()
    except TableError as error:
        raise Failure(str(error), 2) from error
    board = table.get(arch)
    if board is None:
        why = f"{arch} has no board (docs/boards.md says why)" if arch in cpus() else f"no board is known for '{arch}'"
        raise Failure(f"{why}; there are boards for {' '.join(table)}", 2)
    # (Not a CPU that runs this machine's programs: i386's qemu on KVM
    # takes another CPU model.)
    if kvm and platform.machine() != board.qemu:
        raise Failure(f"--kvm runs only this machine's own CPU, not {arch}", 2)
    return board


def check_emulator(board: BoardRow) -> None:
    """Refuses (status 2) a board whose qemu-system is not there, once the
    set-up has installed what it installs."""
    if not shutil.which(f"qemu-system-{board.qemu}"):
        raise Failure(f"there is no qemu-system-{board.qemu} for the {board.arch} board "
                      "(the emulator that cmake/debian-boards.txt names for it)", 2)


def release_of(arch: str) -> str:
    """The release that ARCH's preset builds for (the preset named ARCH,
    else the first of Qt 5 for ARCH: qt5-i386); this machine's own where
    ARCH is its CPU and no preset is named so."""
    try:
        read = Presets()
        if arch == _dpkg_arch() and arch not in read.visible:
            release = platform.freedesktop_os_release().get("VERSION_CODENAME", "")
        elif arch in read.visible:
            release = read.preset(arch).release
        else:
            release = next((preset.release for preset in read.presets()
                            if preset.arch == arch and preset.qt == "5"), "")
    except (PresetError, OSError) as error:
        raise Failure(str(error), 2) from error
    if not release:
        raise Failure(f"the presets of {arch} name no release", 2)
    return names.check_plain("the release", release)


def _dpkg_arch() -> str:
    try:
        return subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True,
                              stdin=subprocess.DEVNULL, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return ""


def board_image_name(release: str, arch: str) -> str:
    """The cache's name of the board's image, board-RELEASE-ARCH-INIT: INIT
    is the start of the SHA-256 of the board-init it holds, so that an image
    with another board-init is never taken for this one."""
    init = hashlib.sha256(BOARD_INIT.read_bytes()).hexdigest()[:12]
    return f"board-{release}-{arch}-{init}"


def board_image(release: str, arch: str) -> Path:
    """The board's image from the cache, made there (list_exercises.board_image)
    where it is not there yet."""
    name = board_image_name(release, arch)
    if not cache.path(name).exists():
        say(f"making the {release} {arch} board's image, {cache.path(name)}")
    failed = f"could not make the {release} {arch} board's image"

    def make(stage: Path) -> None:
        from .board_image import make_image
        make_image(release, arch, stage)

    try:
        return cache.take(name, make)
    except Failure as failure:
        if failure.status != 1 or failure.message == failed:
            raise
        if failure.message:
            say(failure.message)
        raise Failure(failed, 1) from None


def new_file(path: Path, text: str = "") -> int:
    """A file made anew, for this user alone, never through a link."""
    handle = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
    if text:
        os.write(handle, text.encode())
    return handle


def make_keys(run: Path) -> None:
    """This boot's keys: the host's, and the one to log in with; the board
    takes its part as a tar (keys.tar), the rest stays here."""
    keys = run / "keys"
    keys.mkdir(mode=0o700)
    for key, comment in ((keys / "host_key", "board"), (run / "id", "board user")):
        try:
            status = processes.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", comment, "-f", key])
        except OSError as error:
            raise Failure(f"could not make this boot's keys: ssh-keygen: {error.strerror}", 1) from None
        if status != 0:
            raise Failure(f"could not make this boot's keys (ssh-keygen's status {status})", 1)
    shutil.copyfile(run / "id.pub", keys / "authorized_keys")
    kind, key = (keys / "host_key.pub").read_text().split()[:2]
    os.close(new_file(run / "known_hosts", f"board {kind} {key}\n"))
    (keys / "host_key.pub").unlink()

    def root_owned(member: tarfile.TarInfo) -> tarfile.TarInfo:
        member.uid = member.gid = 0
        member.uname = member.gname = "root"
        return member

    with tarfile.open(run / "keys.tar", "w", format=tarfile.USTAR_FORMAT) as tar:
        tar.add(keys, arcname=".", filter=root_owned)


def a_port() -> int:
    """A port of 127.0.0.1 free at the moment (else one at random)."""
    try:
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            return probe.getsockname()[1]
    except OSError:
        return 20000 + secrets.randbelow(40000)
