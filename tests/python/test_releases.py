"""The tables of releases, CPUs and boards: read alike by CMake and by
Python, each release's packages as it names them, each board on its bus,
and a table that cannot be read said so by its line."""
import shutil
import subprocess
from pathlib import Path

import pytest

from list_exercises import releases

HERE = Path(__file__).resolve().parent
cmake = shutil.which("cmake")
needs_cmake = pytest.mark.skipif(cmake is None, reason="takes CMake")


def as_python_reads(suite: str) -> str:
    row = releases.release(suite)
    return " ".join([suite] + [f"{column.replace('-', '_')}={','.join(row.field(column).split())}"
                               for column in (*releases.RELEASE_COLUMNS[1:], "toolkits")])


@needs_cmake
def test_cmake_and_python_read_the_table_alike() -> None:
    said = subprocess.run([cmake, "-P", HERE / "print-releases.cmake"], capture_output=True, text=True,
                          check=True).stderr.splitlines()
    suites = [row.suite for row in releases.releases()] + ["not-in-the-table"]
    assert said[:len(suites)] == [as_python_reads(suite) for suite in suites]
    depends = {line.split()[0]: line.split()[2:] for line in said[len(suites):]}
    assert depends == {toolkit: ["|".join(names) for names in releases.toolkit_packages(toolkit)]
                       for toolkit in ("qt4", "qt5", "qt6")}


@pytest.mark.parametrize("suite, toolkits, cxx, libraries", [
    ("xenial", "qt5", "libstdc++-5-dev", ["libqt5core5a"]),
    ("bionic", "qt4-qt5", "libstdc++-7-dev", ["libqt5core5a", "libqtcore4"]),
    ("bullseye", "qt5", "libstdc++-10-dev", ["libqt5core5a"]),
    ("jammy", "qt5-qt6", "libstdc++-11-dev", ["libqt5core5a", "libqt6core6", "libqt6core5compat6"]),
    ("bookworm", "qt5-qt6", "libstdc++-12-dev", ["libqt5core5a", "libqt6core6", "libqt6core5compat6"]),
    # From noble and trixie on, the names of the 64-bit time move.
    ("noble", "qt5-qt6", "libstdc++-13-dev", ["libqt5core5t64", "libqt6core6t64", "libqt6core5compat6"]),
    ("trixie", "qt5-qt6", "libstdc++-14-dev", ["libqt5core5t64", "libqt6core6t64", "libqt6core5compat6"]),
    ("forky", "qt5-qt6", "libstdc++-15-dev", ["libqt5core5t64", "libqt6core6t64", "libqt6core5compat6"]),
])
def test_each_release_has_its_own_packages(suite, toolkits, cxx, libraries) -> None:
    row = releases.release(suite)
    assert (row.toolkits, row.cxx_dev, row.libraries) == (toolkits, cxx, libraries)


def test_development_files_where_releases_differ() -> None:
    qt5 = ["qtbase5-dev", "qt5-qmake", "qt5-qmake-bin", "qtbase5-dev-tools"]
    qt6 = ["qt6-base-dev", "qt6-base-dev-tools", "qmake6", "qmake6-bin", "qt6-5compat-dev"]
    # (xenial's qmake is in qt5-qmake itself.)
    assert releases.release("xenial").development_files == ["qtbase5-dev", "qt5-qmake", "qtbase5-dev-tools"]
    assert releases.release("bionic").development_files == qt5 + ["libqt4-dev", "qt4-qmake", "libqt4-dev-bin"]
    assert releases.release("jammy").development_files == qt5 + qt6[:-1] + ["libqt6core5compat6-dev"]
    assert releases.release("trixie").development_files == qt5 + qt6
    # From Qt 6.9 on, qtpaths is a package of its own.
    assert releases.release("forky").development_files == qt5 + qt6 + ["qtpaths6", "qtpaths6-bin"]


def test_each_releases_archive() -> None:
    ubuntu = {row.suite for row in releases.releases() if row.ubuntu}
    assert ubuntu == {"xenial", "bionic", "focal", "jammy", "noble"}
    assert [row.suite for row in releases.releases() if row.archive == "testing"] == ["forky"]
    assert [row.suite for row in releases.releases() if row.usr == "split"] == ["bookworm"]


def test_a_release_the_table_does_not_name_is_as_testing_moves_on() -> None:
    other = releases.release("sid")
    assert other.suite == "sid"
    assert (other.distro, other.usr, other.gcc) == ("debian", "merged", "15")
    assert other.development_files == releases.release("forky").development_files


def test_a_package_depends_on_every_name_a_release_gives_its_toolkit() -> None:
    assert releases.toolkit_packages("qt5") == [["libqt5core5t64", "libqt5core5a"]]
    assert releases.toolkit_packages("qt6") == [["libqt6core6t64", "libqt6core6"], ["libqt6core5compat6"]]
    assert releases.toolkit_packages("qt4") == [["libqtcore4"]]


GOOD_ROW = "stable   12  split  libqt5core5a  -  -  qtbase5-dev  -  -"


@pytest.mark.parametrize("rows, said", [
    ([f"bookworm debian {GOOD_ROW} extra", f"* debian {GOOD_ROW}"], "test.txt:1: 12 columns"),
    ([f"bookworm debian {GOOD_ROW}"], "its last row is not that of any other release"),
    ([f"bookworm devuan {GOOD_ROW}", f"* debian {GOOD_ROW}"], "test.txt:1: distro 'devuan' is none of"),
    ([f"book$worm debian {GOOD_ROW}", f"* debian {GOOD_ROW}"], "the release 'book$worm' is not a plain name"),
    (["# a comment", "", f"x debian {GOOD_ROW.replace('qtbase5-dev', 'qt;dev')}", f"* debian {GOOD_ROW}"],
     "test.txt:3: 'qt;dev' is not a package's name"),
])
def test_a_table_that_cannot_be_read_is_said_so_by_its_line(tmp_path, rows, said) -> None:
    table = tmp_path / "test.txt"
    table.write_text("\n".join(rows) + "\n")
    with pytest.raises(releases.TableError, match=said.replace("$", r"\$").replace("(", r"\(")):
        releases.releases(table)


def test_cpus() -> None:
    arm64, armhf = (releases.cpu(arch) for arch in ("arm64", "armhf"))
    assert (arm64.qemu, arm64.native) == ("aarch64", ("aarch64",))
    assert (armhf.qemu, armhf.native) == ("arm", ("armv7l", "armv8l"))
    assert releases.cpu("vax") is None


def test_boards_are_rows_of_cpus_on_the_bus_of_their_machine() -> None:
    boards = releases.boards()
    assert {"arm64", "armhf", "riscv64", "amd64", "i386", "ppc64el", "s390x", "mips64el", "mipsel"} <= set(boards)
    s390x, i386 = boards["s390x"], boards["i386"]
    # Channel I/O, not PCI, on IBM Z: its driver in the initramfs.
    assert (s390x.disk, s390x.network, s390x.random, s390x.bus_driver) == (
        "virtio-blk-ccw", "virtio-net-ccw", "virtio-rng-ccw", "virtio_ccw")
    assert (i386.kernel, i386.bus_driver, i386.native) == ("686-pae", "virtio_pci", releases.cpu("i386").native)


BOARD = "qemu64 2 1024 ttyS0 amd64 virtio-blk-pci virtio-net-pci virtio-rng-pci"


@pytest.mark.parametrize("row, said", [
    (f"vax vax pc {BOARD}", "boards.txt:1: vax is not a CPU of debian-cpus.txt"),
    (f"amd64 x86_64 pc {BOARD} extra", "boards.txt:1: 12 columns, not the 11 of debian qemu machine"),
    (f"amd64 x86_64 pc {BOARD.replace('1024', '1G')}", "boards.txt:1: the memory '1G' is not a number of MiB"),
    (f"amd64 x86_64 pc {BOARD.replace(' 2 ', ' 0 ')}", "boards.txt:1: the cpus '0' is not a number of CPUs"),
    (f"amd64 x86_64 pc {BOARD.replace('virtio-net-pci', 'e1000')}",
     "boards.txt:1: the network 'e1000' is not virtio-net-BUS, BUS one of pci ccw device"),
    (f"amd64 x86_64 pc {BOARD.replace('blk-pci', 'blk-isa')}", "boards.txt:1: the disk 'virtio-blk-isa' is not"),
    (f"amd64 x86_64 pc;reboot {BOARD}", "boards.txt:1: the machine 'pc;reboot' is not one word"),
    (f"amd64 x86_64 pc {BOARD.replace('net-pci', 'net-ccw')}",
     "boards.txt:1: the disk, network and random devices are not on one bus"),
    (f"amd64 x86_64 pc {BOARD}\namd64 x86_64 q35 {BOARD}", "boards.txt:2: a second row for amd64"),
])
def test_a_board_row_that_cannot_be_taken_is_said_so_by_its_line(tmp_path, row, said) -> None:
    (tmp_path / "boards.txt").write_text(row + "\n")
    with pytest.raises(releases.TableError, match=said.replace("(", r"\(")):
        releases.boards(tmp_path / "boards.txt", releases.CPUS)


def test_the_command_prints_a_fact_for_the_shell(capsys) -> None:
    assert releases.main(["cpu", "arm64", "qemu"]) == 0
    assert releases.main(["cpu", "vax", "qemu"]) == 1
    assert releases.main(["release", "trixie", "libraries"]) == 0
    assert capsys.readouterr().out == "aarch64\nlibqt5core5t64 libqt6core6t64 libqt6core5compat6\n"
