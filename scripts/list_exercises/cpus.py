"""Other names of a Debian CPU, from the one table that CMake and the
scripts read: cmake/debian-cpus.txt (a row a CPU: debian, qemu, machine,
cpu, console, kernel, then what uname -m says on the machines that run its
programs natively; '-' where a CPU has no board)."""

from __future__ import annotations

from pathlib import Path

TABLE = Path(__file__).resolve().parents[2] / "cmake" / "debian-cpus.txt"


def row(arch: str, table: Path = TABLE) -> list[str]:
    """ARCH's row, its words (empty for a CPU not in the table)."""
    for line in table.read_text().splitlines():
        words = line.split()
        if words and not words[0].startswith("#") and words[0] == arch:
            return words
    return []


def _columns(arch: str, first: int, last: int | None) -> list[str]:
    words = row(arch)[first:last]
    return [] if not words or "-" in words else words


def qemu_cpu(arch: str) -> str:
    """qemu-user's name for ARCH's CPU (aarch64 for arm64), also that of its
    qemu-system; "" for a CPU not in the table."""
    return " ".join(_columns(arch, 1, 2))


def board_machine(arch: str) -> list[str]:
    """qemu-system's -machine, -cpu and console of ARCH's board (none
    where it has no board)."""
    return _columns(arch, 2, 5)


def kernel_flavour(arch: str) -> str:
    """FLAVOUR of the board's kernel package linux-image-FLAVOUR."""
    return " ".join(_columns(arch, 5, 6))


def native_machines(arch: str) -> list[str]:
    """What uname -m says on the machines that run ARCH's programs natively
    (none for a CPU not in the table)."""
    return _columns(arch, 6, None)
