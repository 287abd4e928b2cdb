"""A build folder of this project, as it describes itself: the description
that CMake writes for each built configuration (build-description.txt,
KEY=VALUE lines, a key once for each value), which device/print-description
prints as the header."""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

from . import processes
from .processes import Failure

PRINTER = Path(__file__).resolve().parents[2] / "device" / "print-description"


def read_fields(path: Path) -> dict[str, list[str]]:
    """A description's KEY=VALUE lines, each key's values in order."""
    fields: dict[str, list[str]] = {}
    for line in path.read_text(errors="replace").splitlines():
        key, equals, value = line.partition("=")
        if equals:
            fields.setdefault(key, []).append(value)
    return fields


def description_of(build: Path) -> Path | None:
    """The description of the configuration built last: that whose probe
    (a program built with the others) is newest. A multi-config generator
    writes one a configuration, in a folder of its own."""
    newest: tuple[float, Path] | None = None
    for candidate in [build / "build-description.txt", *sorted(build.glob("*/build-description.txt"))]:
        if not candidate.is_file():
            continue
        probe = read_fields(candidate).get("probe", [""])[0]
        if not probe or not os.access(probe, os.X_OK):
            continue
        built = Path(probe).stat().st_mtime
        if newest is None or built > newest[0]:
            newest = (built, candidate)
    return newest[1] if newest else None


def described(build: Path) -> Path:
    """The description of BUILD's configuration built last; Failure where
    there is none."""
    description = description_of(build)
    if description is None:
        raise Failure(f"{build} holds no built configuration with its description (it takes BUILD_TESTING on)", 1)
    return description


def print_header(build: Path) -> None:
    """What BUILD checks, as the header that device/print-description prints."""
    sys.stdout.flush()
    if processes.run([PRINTER, described(build)]) != 0:
        raise Failure(f"the description of {build} could not be printed", 1)


def fields_text(build: Path) -> str:
    """BUILD's description as KEY=VALUE lines (print-description --fields)."""
    return processes.output([PRINTER, described(build), "--fields"])


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="describe-build",
        description="Says what a build of this project checks (the toolkit loaded and its "
                    "headers, the compiler, the target, the system root), from the description "
                    "that CMake wrote for the configuration built last.")
    parser.add_argument("build", metavar="BUILD_DIR", type=Path)
    parser.add_argument("field", metavar="--fields | FIELD", nargs="?", default="",
                        help="--fields: the description as KEY=VALUE lines; FIELD: that field "
                             "alone, a line a value (programs: the programs' folder; runner: "
                             "what runs them, if not this machine, a word a line)")
    arguments, unknown = parser.parse_known_args(argv)
    # (--fields is a field's name here, not an option of the parser's.)
    if unknown == ["--fields"] and not arguments.field:
        arguments.field = "--fields"
    elif unknown:
        parser.error(f"unrecognized arguments: {' '.join(unknown)}")
    description = description_of(arguments.build)
    if description is None:
        print(f"describe-build: {arguments.build} holds no built configuration with its "
              "description (it takes BUILD_TESTING on)", file=sys.stderr)
        return 1
    if arguments.field in ("", "--fields"):
        command = [str(PRINTER), str(description)] + ([arguments.field] if arguments.field else [])
        sys.stdout.flush()
        os.execv(command[0], command)
    fields = read_fields(description)
    # (runner is a line a word of what runs the programs: none, natively.)
    if arguments.field not in fields and arguments.field != "runner":
        print(f"describe-build: the description of {arguments.build} has no field '{arguments.field}';"
              f" its fields: {' '.join(sorted(fields))}", file=sys.stderr)
        return 2
    for value in fields.get(arguments.field, []):
        print(value)
    return 0
