"""The tables of what roots and boards are made of: cmake/debian-releases.txt
(each release's packages, as it names them), cmake/debian-cpus.txt (each
CPU's names, as each tool gives them), which CMake reads too
(cmake/DebianReleases.cmake, cmake/debian-cross.cmake), and
cmake/debian-boards.txt (each board's machine, kernel and devices).

Run as `python3 -m list_exercises.releases cpu ARCH FIELD` or `... release
SUITE FIELD`, it prints one fact of a row, its words on one line, for the
shell commands that still read the tables (exit 1, saying nothing, where the
row or the fact is not there)."""

from __future__ import annotations

import argparse
import dataclasses
import re
import sys
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[2]
RELEASES = SOURCE_DIR / "cmake" / "debian-releases.txt"
CPUS = SOURCE_DIR / "cmake" / "debian-cpus.txt"
BOARDS = SOURCE_DIR / "cmake" / "debian-boards.txt"
# A release's name, a CPU's, a package's (Debian's rule: + is allowed there).
PLAIN_NAME = re.compile(r"[a-z0-9][a-z0-9.-]*")
PACKAGE_NAME = re.compile(r"[a-z0-9][a-z0-9+.-]+")
NONE = "-"
RELEASE_COLUMNS = ("suite", "distro", "archive", "gcc", "usr", "qt5", "qt6", "qt4",
                   "qt5-dev", "qt6-dev", "qt4-dev")
CHOICES = {"distro": ("debian", "ubuntu"), "archive": ("stable", "testing"), "usr": ("merged", "split")}
# The row for a release that the table does not name.
ANY_OTHER = "*"


class TableError(Exception):
    """A table that cannot be read as one, said with its file and line."""


@dataclasses.dataclass(frozen=True)
class Release:
    suite: str
    distro: str
    archive: str
    gcc: str
    usr: str
    qt5: tuple[str, ...]
    qt6: tuple[str, ...]
    qt4: tuple[str, ...]
    qt5_dev: tuple[str, ...]
    qt6_dev: tuple[str, ...]
    qt4_dev: tuple[str, ...]

    @property
    def toolkits(self) -> str:
        """What its roots hold, for their names: qt5, qt4-qt5, qt5-qt6."""
        return "-".join(name for name in ("qt4", "qt5", "qt6") if getattr(self, name))

    @property
    def cxx_dev(self) -> str:
        """The C++ library's development files of its default compiler."""
        return f"libstdc++-{self.gcc}-dev"

    @property
    def libraries(self) -> list[str]:
        """The toolkits' core libraries, with the modules they load."""
        return [*self.qt5, *self.qt6, *self.qt4]

    @property
    def development_files(self) -> list[str]:
        return [*self.qt5_dev, *self.qt6_dev, *self.qt4_dev]

    @property
    def ubuntu(self) -> bool:
        return self.distro == "ubuntu"

    def field(self, name: str) -> str:
        """A column's value (or a derived one's: toolkits, cxx_dev,
        libraries, development_files) as words."""
        value = getattr(self, name.replace("-", "_"))
        return " ".join(value) if isinstance(value, (tuple, list)) else value


@dataclasses.dataclass(frozen=True)
class Cpu:
    arch: str
    qemu: str
    native: tuple[str, ...]


BOARD_COLUMNS = ("debian", "qemu", "machine", "cpu", "cpus", "memory", "console", "kernel", "disk", "network", "random")
# The buses whose virtio devices a board may take, and their drivers.
VIRTIO_BUSES = {"pci": "virtio_pci", "ccw": "virtio_ccw", "device": "virtio_mmio"}
QEMU_WORD = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.,=+-]*")


@dataclasses.dataclass(frozen=True)
class BoardRow:
    """A board's row: the machine qemu-system-QEMU emulates (its -machine,
    -cpu, how many and MiB), the kernel's console and flavour, its virtio
    devices."""
    arch: str
    qemu: str
    machine: str
    model: str
    cpus: int
    memory: int
    console: str
    kernel: str
    disk: str
    network: str
    random: str
    native: tuple[str, ...]

    @property
    def bus_driver(self) -> str:
        """The module that the initramfs needs to find the disk on its bus."""
        return VIRTIO_BUSES[self.disk.rsplit("-", 1)[1]]


def rows(path: Path) -> list[tuple[int, list[str]]]:
    """The table's rows, by line number: whitespace-separated words, comments
    and blank lines left out."""
    try:
        text = path.read_text()
    except OSError as error:
        raise TableError(f"cannot read {path}: {error.strerror}") from error
    return [(number, line.split()) for number, line in enumerate(text.splitlines(), 1)
            if line.strip() and not line.lstrip().startswith("#")]


def _names(cell: str, where: str) -> tuple[str, ...]:
    if cell == NONE:
        return ()
    names = tuple(cell.split(","))
    for name in names:
        if not PACKAGE_NAME.fullmatch(name):
            raise TableError(f"{where}: '{name}' is not a package's name")
    return names


def _release(number: int, words: list[str], path: Path) -> Release:
    where = f"{path.name}:{number}"
    if len(words) != len(RELEASE_COLUMNS):
        raise TableError(f"{where}: {len(words)} columns, not the {len(RELEASE_COLUMNS)} of "
                         f"{' '.join(RELEASE_COLUMNS)}")
    suite, distro, archive, gcc, usr = words[:5]
    if suite != ANY_OTHER and not PLAIN_NAME.fullmatch(suite):
        raise TableError(f"{where}: the release '{suite}' is not a plain name")
    for column, value in (("distro", distro), ("archive", archive), ("usr", usr)):
        if value not in CHOICES[column]:
            raise TableError(f"{where}: {column} '{value}' is none of {', '.join(CHOICES[column])}")
    if not gcc.isdigit():
        raise TableError(f"{where}: gcc '{gcc}' is not a major version")
    lists = [_names(cell, where) for cell in words[5:]]
    return Release(suite, distro, archive, gcc, usr, *lists)


def releases(path: Path = RELEASES) -> list[Release]:
    """Every row of the table of releases, in its order (oldest first)."""
    read = [_release(number, words, path) for number, words in rows(path)]
    if not read or read[-1].suite != ANY_OTHER:
        raise TableError(f"{path.name}: its last row is not that of any other release ('{ANY_OTHER}')")
    return read


def release(suite: str, path: Path = RELEASES) -> Release:
    """SUITE's row; that of any other release where the table names none."""
    table = releases(path)
    chosen = next((row for row in table if row.suite == suite), table[-1])
    return dataclasses.replace(chosen, suite=suite)


def toolkit_packages(toolkit: str, path: Path = RELEASES) -> list[list[str]]:
    """What a package built against TOOLKIT (qt5, qt6, qt4) depends on: for
    its core library and each module, every name that a release gives it,
    the newest release's first (one of them will do)."""
    packages: list[list[str]] = []
    for row in reversed(releases(path)):
        for index, name in enumerate(getattr(row, toolkit)):
            if index == len(packages):
                packages.append([])
            if name not in packages[index]:
                packages[index].append(name)
    return packages


def cpus(path: Path = CPUS) -> dict[str, Cpu]:
    """Every row of the table of CPUs, by Debian's name."""
    read: dict[str, Cpu] = {}
    for number, words in rows(path):
        if len(words) < 3:
            raise TableError(f"{path.name}:{number}: {len(words)} columns, not the 3 or more of "
                             "debian qemu uname...")
        read[words[0]] = Cpu(words[0], words[1], tuple(words[2:]))
    return read


def _board(number: int, words: list[str], path: Path, known: dict[str, Cpu], seen: set[str]) -> BoardRow:
    where = f"{path.name}:{number}"
    if len(words) != len(BOARD_COLUMNS):
        raise TableError(f"{where}: {len(words)} columns, not the {len(BOARD_COLUMNS)} of {' '.join(BOARD_COLUMNS)}")
    arch, qemu, machine, model, count, memory, console, kernel, disk, network, random = words
    if arch in seen:
        raise TableError(f"{where}: a second row for {arch}")
    if arch not in known:
        raise TableError(f"{where}: {arch} is not a CPU of {CPUS.name}")
    for column, value in zip(BOARD_COLUMNS[1:], words[1:]):
        if not QEMU_WORD.fullmatch(value):
            raise TableError(f"{where}: the {column} '{value}' is not one word of letters, digits and .,=+-_")
    if not count.isdigit() or int(count) == 0:
        raise TableError(f"{where}: the cpus '{count}' is not a number of CPUs")
    if not memory.isdigit() or int(memory) == 0:
        raise TableError(f"{where}: the memory '{memory}' is not a number of MiB")
    if not PACKAGE_NAME.fullmatch(f"linux-image-{kernel}"):
        raise TableError(f"{where}: linux-image-{kernel} is not a package's name")
    for column, value, kind in (("disk", disk, "blk"), ("network", network, "net"), ("random", random, "rng")):
        prefix, _, bus = value.rpartition("-")
        if prefix != f"virtio-{kind}" or bus not in VIRTIO_BUSES:
            raise TableError(f"{where}: the {column} '{value}' is not virtio-{kind}-BUS, BUS one of "
                             f"{' '.join(VIRTIO_BUSES)}")
    if len({value.rpartition("-")[2] for value in (disk, network, random)}) > 1:
        raise TableError(f"{where}: the disk, network and random devices are not on one bus")
    return BoardRow(arch, qemu, machine, model, int(count), int(memory), console, kernel, disk, network, random,
                    known[arch].native)


def boards(path: Path = BOARDS, cpus_path: Path = CPUS) -> dict[str, BoardRow]:
    """Every row of the table of boards, by its CPU's Debian name."""
    known = cpus(cpus_path)
    read: dict[str, BoardRow] = {}
    for number, words in rows(path):
        row = _board(number, words, path, known, set(read))
        read[row.arch] = row
    return read


def cpu(arch: str, path: Path = CPUS) -> Cpu | None:
    return cpus(path).get(arch)


def cpu_field(arch: str, field: str, path: Path = CPUS) -> str:
    """One fact of ARCH's row as words ('' where there is none)."""
    row = cpu(arch, path)
    if row is None:
        return ""
    return {"qemu": row.qemu, "native": " ".join(row.native)}[field]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="releases", description="Prints one fact of the tables cmake/debian-releases.txt and "
                                     "cmake/debian-cpus.txt, its words on one line; exit 1 where there is none.")
    tables = parser.add_subparsers(dest="table", required=True)
    of_cpu = tables.add_parser("cpu", help="a CPU's row, by its Debian name")
    of_cpu.add_argument("arch")
    of_cpu.add_argument("field", choices=("qemu", "native"),
                        help="qemu-user's CPU, what uname -m says where the CPU's programs run natively")
    of_release = tables.add_parser("release", help="a release's row (that of any other where it has none)")
    of_release.add_argument("suite")
    of_release.add_argument("field", choices=(*RELEASE_COLUMNS[1:], "toolkits", "cxx_dev", "libraries",
                                              "development_files"))
    arguments = parser.parse_args(argv)
    try:
        if arguments.table == "cpu":
            value = cpu_field(arguments.arch, arguments.field)
        else:
            value = release(arguments.suite).field(arguments.field)
    except TableError as error:
        print(f"releases: {error}", file=sys.stderr)
        return 2
    if not value:
        return 1
    print(value)
    return 0


if __name__ == "__main__":
    sys.exit(main())
