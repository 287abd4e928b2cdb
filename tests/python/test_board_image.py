"""The board's image made against a stand-in mmdebstrap that runs its hooks
as mmdebstrap does (sh -c HOOK exec ROOT, each in its turn) and a stand-in
mkfs.ext4: what goes into the root, the initramfs's modules through
initramfs-tools' hook, the board's first process, no host keys, the kernel
and initramfs taken out, the disk sized from the root, the binfmt handler
taken out before the disk is made; a root without a single kernel refused;
the cache's image never one made with another board-init."""
import os
import sys
import textwrap
from pathlib import Path

import pytest

from list_exercises import board_image, board_parts, cache, releases
from list_exercises.processes import Failure

MMDEBSTRAP = textwrap.dedent("""\
    import os, subprocess, sys
    with open(os.path.join(os.environ["TEST_WORK"], "mmdebstrap-calls"), "a") as calls:
        calls.write(repr(sys.argv[1:]) + "\\n")
    hooks = {"setup": [], "extract": [], "customize": []}
    words = []
    for option in sys.argv[1:]:
        kind = option[2:].partition("-hook=")[0]
        if option.startswith("--") and option.partition("=")[0].endswith("-hook") and kind in hooks:
            hooks[kind].append(option.partition("=")[2])
        elif not option.startswith("--"):
            words.append(option)
    target = words[1]
    def hook(kind):
        for text in hooks[kind]:
            subprocess.run(["sh", "-c", text, "exec", target], check=True)
    os.makedirs(os.path.join(target, "etc/ssh"))
    os.makedirs(os.path.join(target, "etc/apt"))
    with open(os.path.join(target, "etc/apt/sources.list"), "w") as sources:
        sources.write(f"deb http://release.invalid/debian {words[0]} main\\n")
    os.environ["MMDEBSTRAP_APT_CONFIG"] = "/dev/null"
    os.makedirs(os.path.join(target, "usr/local/sbin"))
    open(os.path.join(target, "etc/ssh/ssh_host_ed25519_key"), "w").write("the image's own")
    hook("setup")
    os.makedirs(os.path.join(target, "boot"))
    for name in os.environ["TEST_BOOT"].split():
        with open(os.path.join(target, "boot", name), "w") as made:
            made.write(name * 1000)
    os.makedirs(os.path.join(target, "usr/lib/big"))
    with open(os.path.join(target, "usr/lib/big/file"), "wb") as big:
        big.write(b"x" * 3 * 1024 * 1024)
    os.link(os.path.join(target, "usr/lib/big/file"), os.path.join(target, "usr/lib/big/link"))
    hook("extract")
    hook("customize")
    """)
MKFS = textwrap.dedent("""\
    #!/bin/sh
    for disk; do :; done
    echo "$* $(stat -c %s "$disk") $(ls "$6/usr/local/sbin")" >>"$TEST_WORK/mkfs-calls"
    """)


class FakeBinfmt:
    said: list[str] = []

    def ready(self, cpu: str) -> None:
        self.said.append(f"ready {cpu}")

    def restore(self) -> None:
        self.said.append("restore")


@pytest.fixture
def stand_ins(tmp_path, monkeypatch):
    folder = tmp_path / "bin"
    folder.mkdir()
    (folder / "mmdebstrap").write_text(f"#!{sys.executable}\n" + MMDEBSTRAP)
    (folder / "mkfs.ext4").write_text(MKFS)
    (folder / "apt-get").write_text("#!/bin/sh\nexit 0\n")
    for each in folder.iterdir():
        each.chmod(0o755)
    monkeypatch.setenv("PATH", f"{folder}{os.pathsep}{os.environ['PATH']}")
    monkeypatch.setenv("TEST_WORK", str(tmp_path))
    monkeypatch.setenv("TEST_BOOT", "vmlinuz-6.1.0-9-arm64 initrd.img-6.1.0-9-arm64 config-6.1.0-9-arm64")
    monkeypatch.delenv("LISTS_DEBIAN_MIRROR", raising=False)
    FakeBinfmt.said = []
    monkeypatch.setattr(board_image, "Binfmt", FakeBinfmt)
    return tmp_path


def test_the_image_holds_the_kernel_the_initramfs_and_the_disk_of_the_root(stand_ins, capfd, monkeypatch):
    target = stand_ins / "image"
    make_disk = board_image.make_disk
    monkeypatch.setattr(board_image, "make_disk", lambda *args: (FakeBinfmt.said.append("disk"), make_disk(*args)))
    board_image.make_image("bookworm", "arm64", target)
    assert sorted(path.name for path in target.iterdir()) == ["disk.img", "initrd.img", "kernel-release", "vmlinuz"]
    assert (target / "kernel-release").read_text() == "6.1.0-9-arm64\n"
    assert (target / "vmlinuz").read_text() == "vmlinuz-6.1.0-9-arm64" * 1000
    assert (target / "initrd.img").read_text() == "initrd.img-6.1.0-9-arm64" * 1000
    options = eval((stand_ins / "mmdebstrap-calls").read_text())
    row = releases.release("bookworm")
    include = f"--include=linux-image-arm64,openssh-server,iproute2,{','.join([*row.qt5, *row.qt6])}"
    assert "--variant=minbase" in options and include in options and "--arch=arm64" in options
    # The root's 3 MiB, linked twice, counted once: 3 MiB and a little.
    words = (stand_ins / "mkfs-calls").read_text().split()
    assert words[:6] == ["-q", "-F", "-L", "board-root", "-d", str(target / "root")]
    used = 4
    assert int(words[7]) == (used + used // 4 + 1024) * 1024 * 1024 and words[8] == "board-init"
    # Under qemu-user for another CPU, the handler taken out once the root is made.
    assert FakeBinfmt.said == ["ready aarch64", "restore", "disk"]
    said = capfd.readouterr().err.splitlines()
    assert [line.split(": ", 1)[1].split(",")[0] for line in said if "/4, " in line] == [
        "[1/4", "[2/4", "[3/4", "[4/4"]
    kib = -(-(target / "initrd.img").stat().st_blocks * 512 // 1024)
    assert said[-1].endswith(f" s] done: kernel 6.1.0-9-arm64, initramfs {kib} KiB")


def test_the_hooks_make_the_initramfs_lean_and_the_first_process_the_boards(stand_ins, monkeypatch):
    kept: dict[str, str] = {}
    real_take = board_image.take_kernel

    def look(root: Path, *args):
        for name in ("etc/initramfs-tools/conf.d/board", "etc/initramfs-tools/modules", "etc/hostname",
                     "usr/local/sbin/board-init"):
            kept[name] = (root / name).read_text()
        kept["modes"] = f"{(root / 'usr/local/sbin/board-init').stat().st_mode & 0o777:o}"
        kept["host keys"] = " ".join(path.name for path in (root / "etc/ssh").iterdir())
        return real_take(root, *args)

    monkeypatch.setattr(board_image, "take_kernel", look)
    board_image.make_image("bookworm", "arm64", stand_ins / "image")
    assert kept["etc/initramfs-tools/conf.d/board"] == "MODULES=list\n"
    assert kept["etc/initramfs-tools/modules"] == "virtio_pci\nvirtio_blk\ncrc32c_generic\next4\n"
    assert kept["usr/local/sbin/board-init"] == board_image.BOARD_INIT.read_text()
    assert kept["modes"] == "755" and kept["etc/hostname"] == "board\n" and kept["host keys"] == ""
    # Nothing of the root is left beside the image.
    assert not (stand_ins / "image" / "root").exists()


@pytest.mark.parametrize("boot, why", [
    ("vmlinuz-6.1.0-9-arm64 vmlinuz-6.1.0-10-arm64 initrd.img-6.1.0-9-arm64", "two kernels"),
    ("vmlinuz-6.1.0-9-arm64", "no initramfs"),
])
def test_a_root_without_a_single_kernel_and_its_initramfs_is_refused(stand_ins, monkeypatch, boot, why):
    monkeypatch.setenv("TEST_BOOT", boot)
    with pytest.raises(Failure) as refused:
        board_image.make_image("bookworm", "arm64", stand_ins / "image")
    assert refused.value.message == ("the bookworm arm64 root holds no single kernel with its initramfs in /boot: "
                                     + " ".join(sorted(boot.split()))), why


def test_an_uncompressed_kernel_is_taken_as_well(tmp_path):
    (tmp_path / "root" / "boot").mkdir(parents=True)
    (tmp_path / "root" / "boot" / "vmlinux-6.12.9-riscv64").write_text("kernel")
    (tmp_path / "root" / "boot" / "initrd.img-6.12.9-riscv64").write_text("initramfs")
    assert board_image.take_kernel(tmp_path / "root", tmp_path, "trixie", "riscv64") == "6.12.9-riscv64"
    assert (tmp_path / "vmlinuz").read_text() == "kernel"


def test_the_cache_never_gives_an_image_made_with_another_board_init(stand_ins, monkeypatch):
    monkeypatch.setenv("LISTS_CACHE_DIR", str(stand_ins / "cache"))
    monkeypatch.setenv("LISTS_CACHE_LIMIT", "20G")
    monkeypatch.delenv("LISTS_CACHE_REFRESH", raising=False)
    monkeypatch.delenv("LISTS_CACHE_HELD", raising=False)
    monkeypatch.setattr(cache, "_held", {})
    init = stand_ins / "board-init"
    for module in (board_parts, board_image):
        monkeypatch.setattr(module, "BOARD_INIT", init, raising=False)
    made: list[str] = []
    real_take = board_image.take_kernel

    def look(root: Path, *args):
        made.append((root / "usr/local/sbin/board-init").read_text())
        return real_take(root, *args)

    monkeypatch.setattr(board_image, "take_kernel", look)
    init.write_text("#!/bin/sh\necho one\n")
    first = board_parts.board_image("bookworm", "arm64")
    init.write_text("#!/bin/sh\necho two\n")
    second = board_parts.board_image("bookworm", "arm64")
    assert second != first and made == ["#!/bin/sh\necho one\n", "#!/bin/sh\necho two\n"]
    # The first board-init again: its image, still there, not made again.
    init.write_text("#!/bin/sh\necho one\n")
    assert board_parts.board_image("bookworm", "arm64") == first and len(made) == 2
