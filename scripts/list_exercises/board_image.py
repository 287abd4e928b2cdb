"""What scripts/board boots for a CPU, made as one folder (the cache's entry
board-RELEASE-ARCH-INIT, INIT from board-init's content):
  disk.img        the root, an ext4 file system made with mkfs.ext4 -d (no
                  loop mount); a Debian RELEASE root (mmdebstrap, variant
                  minbase) with Debian's kernel package, OpenSSH's server,
                  iproute2 and the release's Qt 5 and Qt 6 core libraries,
                  whose first process is lib/board-init
  vmlinuz, initrd.img   its kernel and initramfs, for qemu's -kernel/-initrd
  kernel-release  the kernel's release (uname -r on the board)
The initramfs holds only the modules that mounting the root takes
(MODULES=list): Debian's default, MODULES=most, takes half an hour to make
under qemu-user and longer to unpack at each boot. Another CPU's packages
are set up under qemu-user, through a binfmt_misc handler of the command's
own, taken out again once the root is made. It says what it does, a line a
step."""

from __future__ import annotations

import os
import platform
import shutil
import sys
import time
from pathlib import Path
from typing import Callable

from . import releases
from .cache import maker_words
from .binfmt import Binfmt
from .board_parts import BOARD_INIT, ROOT_LABEL
from .names import check_plain
from .processes import Failure, run, say
from .roots import debian_root, needs_mmdebstrap

# Written before the kernel package is set up, whose postinst makes the
# initramfs: what mounting the root takes (LISTS_BOARD_MODULES: the
# driver of the bus the machine puts its disk on, the disk's, the file
# system's), loaded at boot as initramfs-tools' own list of modules is.
# The board's init loads the network's module itself, from the root.
INITRAMFS_SETUP = """\
mkdir -p "$1/etc/initramfs-tools/conf.d"
echo MODULES=list >"$1/etc/initramfs-tools/conf.d/board"
printf '%s\\n' $LISTS_BOARD_MODULES >"$1/etc/initramfs-tools/modules"
"""
# The board's own first process (its path in the environment, not spliced
# into the hook's text); no host keys of the image's own: each boot brings
# its own.
CUSTOMIZE = """\
install -m 755 "$LISTS_BOARD_INIT" "$1/usr/local/sbin/board-init"
echo board >"$1/etc/hostname"
rm -f "$1"/etc/ssh/ssh_host_*
"""
# Room for what a run writes besides the root (a build's tarball and its
# tests): the image is sparse, and a boot writes only to its snapshot.
ROOM_MIB = 1024


def libraries(release: str) -> list[str]:
    """The release's Qt 5 and Qt 6 core libraries, with the modules they load."""
    row = releases.release(release)
    return [*row.qt5, *row.qt6]


def boot_modules(board: releases.BoardRow) -> list[str]:
    return [board.bus_driver, "virtio_blk", "crc32c_generic", "ext4"]


def mmdebstrap_options(release: str, board: releases.BoardRow) -> list[str]:
    include = [f"linux-image-{board.kernel}", "openssh-server", "iproute2", *libraries(release)]
    return ["--variant=minbase", f"--include={','.join(include)}",
            f"--setup-hook={INITRAMFS_SETUP}", f"--customize-hook={CUSTOMIZE}"]


def disk_usage(root: Path) -> int:
    """What ROOT takes on its disk, in bytes (as du counts it: each file
    once, however many links it has)."""
    seen: set[tuple[int, int]] = set()
    total = 0
    paths = [str(root)]
    for folder, dirs, files in os.walk(root):
        paths += [os.path.join(folder, name) for name in (*dirs, *files)]
    for path in paths:
        info = os.lstat(path)
        if (info.st_dev, info.st_ino) not in seen:
            seen.add((info.st_dev, info.st_ino))
            total += info.st_blocks * 512
    return total


def rounded_up(size: int, unit: int) -> int:
    return -(-size // unit)


def take_kernel(root: Path, target: Path, release: str, arch: str) -> str:
    """The root's kernel and initramfs, copied to TARGET; its release."""
    # (vmlinux on some CPUs, riscv64's: an image that is not compressed.)
    kernels = sorted(root.glob("boot/vmlinu[xz]-*"))
    version = kernels[0].name[len("vmlinuz-"):] if len(kernels) == 1 else ""
    initramfs = root / "boot" / f"initrd.img-{version}"
    if not version or not kernels[0].is_file() or not initramfs.is_file():
        inside = sorted(path.name for path in (root / "boot").iterdir()) if (root / "boot").is_dir() else []
        raise Failure(f"the {release} {arch} root holds no single kernel with its initramfs in /boot: "
                      f"{' '.join(inside)}")
    (target / "kernel-release").write_text(version + "\n")
    shutil.copyfile(kernels[0], target / "vmlinuz")
    shutil.copyfile(initramfs, target / "initrd.img")
    return version


def make_disk(root: Path, disk: Path, step: Callable[[str], None]) -> None:
    """ROOT as the ext4 file system DISK, with room to spare."""
    used = rounded_up(disk_usage(root), 1024 * 1024)
    size = used + used // 4 + ROOM_MIB
    step(f"making the disk image, {size} MiB for a root of {used} MiB (mkfs.ext4 -d)")
    with open(disk, "wb") as image:
        image.truncate(size * 1024 * 1024)
    if run(["mkfs.ext4", "-q", "-F", "-L", ROOT_LABEL, "-d", root, disk], stdout=sys.stderr) != 0:
        raise Failure(f"mkfs.ext4 could not make the disk image {disk}")


def make_image(release: str, arch: str, target: Path) -> None:
    """The board's image for ARCH, of RELEASE, as the folder TARGET; the day
    of its packages in TARGET.fetched."""
    check_plain("the release", release)
    check_plain("the CPU", arch)
    board = releases.boards().get(arch)
    if board is None:
        raise Failure(f"no board is known for {arch} (cmake/debian-boards.txt)", 2)
    needs_mmdebstrap()
    started = time.monotonic()
    steps = iter(range(1, 5))

    def step(what: str) -> None:
        say(f"[{next(steps)}/4, {int(time.monotonic() - started)} s] {what}")

    target.mkdir(parents=True, exist_ok=True)
    root = target / "root"
    step(f"making the {release} {arch} root with linux-image-{board.kernel}, openssh-server and "
         f"{', '.join(libraries(release))} (mmdebstrap)")
    emulated = Binfmt()
    if platform.machine() not in board.native:
        emulated.ready(releases.cpus()[arch].qemu)
    try:
        debian_root(release, arch, mmdebstrap_options(release, board), root,
                    environment={"LISTS_BOARD_INIT": str(BOARD_INIT),
                                 "LISTS_BOARD_MODULES": " ".join(boot_modules(board))})
    finally:
        emulated.restore()
    step("taking its kernel and initramfs")
    version = take_kernel(root, target, release, arch)
    make_disk(root, target / "disk.img", step)
    shutil.rmtree(root)
    # The day its packages were fetched, for the cache to tell.
    fetched = Path(f"{root}.fetched")
    if fetched.exists():
        os.replace(fetched, f"{target}.fetched")
    initramfs = rounded_up((target / "initrd.img").stat().st_blocks * 512, 1024)
    step(f"done: kernel {version}, initramfs {initramfs} KiB")


USAGE = "board-image RELEASE ARCH TARGET"


def main(argv: list[str]) -> int:
    """scripts/lib/board-image: the image at TARGET (the target last, as the
    cache hands it to its makers)."""
    release, arch, target = maker_words(argv, USAGE, __doc__ or "", 3)
    make_image(release, arch, Path(target))
    return 0
