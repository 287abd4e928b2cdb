"""What test.sh reports at its end: a table of what each preset's run
checked and how it went, from the build's description that test.sh kept of
each run (PRESET.description, describe-build --fields) and ctest's JUnit
report (PRESET.xml)."""

from __future__ import annotations

import argparse
import os
import platform
import sys
import time
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass
from pathlib import Path
from typing import Sequence

from .builds import read_fields

COLUMNS = ("preset", "toolkit", "CPU", "word size", "byte order", "run by",
           "passed", "failed", "skipped", "result")


@dataclass
class Counts:
    """A JUnit report's counts: its test suite's own attributes."""
    tests: int
    failed: int
    skipped: int

    @property
    def passed(self) -> int:
        return self.tests - self.failed - self.skipped


def read_counts(path: Path) -> Counts | None:
    """The counts of ctest's JUnit report, or None where it cannot be read."""
    try:
        suite = ElementTree.parse(path).getroot()
    except (OSError, ElementTree.ParseError):
        return None
    if suite.tag != "testsuite":
        suite = suite.find("testsuite")
        if suite is None:
            return None

    def count(name: str) -> int:
        value = suite.get(name, "0")
        return int(value) if value.isdigit() else 0

    return Counts(count("tests"), count("failures"), count("skipped") + count("disabled"))


def row(preset: str, results: Path, failed_presets: set[str]) -> list[str]:
    """The table's row of PRESET's run."""
    description = results / f"{preset}.description"
    report = results / f"{preset}.xml"
    toolkit = cpu = word = order = runner = passed = failed = skipped = "-"
    described = description.is_file() and description.stat().st_size > 0
    if described:
        fields = read_fields(description)

        def first(name: str) -> str:
            return fields.get(name, [""])[0]

        version = first("loaded_version") or first("toolkit_version")
        toolkit = f"Qt {version}"
        cpu = first("processor") or "-"
        word = f"{first('word_size')}-bit"
        order = first("byte_order") or "-"
        runner = Path(first("runner")).name if first("runner") else "this machine"
        if first("device"):
            runner = f"the device {first('device')}"
        if first("sanitizers"):
            runner += f", sanitizers {first('sanitizers')}"
    counts = None
    if not described:
        result = "failed before its tests (set-up, build or header)"
    elif (not report.is_file() or report.stat().st_size == 0
          or report.stat().st_mtime < description.stat().st_mtime
          or (counts := read_counts(report)) is None):
        result = "failed: its tests did not run"
    else:
        passed, failed, skipped = str(counts.passed), str(counts.failed), str(counts.skipped)
        # (Tests that ctest could not run at all may come out as skipped: a
        # run where none passed has shown nothing.)
        ok = counts.failed == 0 and counts.passed > 0 and preset not in failed_presets
        result = "passed" if ok else "FAILED"
    return [f"`{preset}`", toolkit, cpu, word, order, runner, passed, failed, skipped, result]


def machine_line(now: float | None = None) -> str:
    """When and where: the date, the CPU, its cores and model, the system."""
    when = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime(now))
    model = ""
    try:
        for line in Path("/proc/cpuinfo").read_text(errors="replace").splitlines():
            if line.startswith("model name"):
                model = line.partition(":")[2].strip()
                break
    except OSError:
        pass
    try:
        system = platform.freedesktop_os_release().get("PRETTY_NAME", "")
    except OSError:
        system = ""
    return (f"Run on {when}: {platform.machine()}, {os.cpu_count()} cores"
            f"{f' ({model})' if model else ''}{f', {system}' if system else ''}.")


def table(rows: list[list[str]], columns: Sequence[str] = COLUMNS) -> str:
    """ROWS as a Markdown table under COLUMNS (test.sh's unless given)."""
    lines = ["| " + " | ".join(columns) + " |", "|" + "---|" * len(columns)]
    lines += ["| " + " | ".join(cells) + " |" for cells in rows]
    return "\n".join(lines) + "\n"


def summarise(results: Path, presets: list[str], failed_presets: set[str]) -> str:
    """The table of PRESETS' runs, with the date and the machine, written
    to RESULTS/summary.md and given."""
    summary = machine_line() + "\n\n" + table([row(preset, results, failed_presets) for preset in presets])
    (results / "summary.md").write_text(summary)
    return summary


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="test-summary",
        description="Prints a table of what test.sh checked, a row a preset: the toolkit "
                    "its programs loaded, the CPU, word size and byte order, what ran the "
                    "programs, the tests passed, failed and skipped, and the preset's result; "
                    "and writes it, with the date and the machine, to RESULTS_DIR/summary.md.")
    parser.add_argument("results", metavar="RESULTS_DIR", type=Path,
                        help="where test.sh kept each run's PRESET.description and PRESET.xml")
    parser.add_argument("--failed", default="", metavar='"PRESET..."',
                        help="runs that test.sh saw fail (ctest's own verdict): FAILED "
                             "whatever their report holds")
    parser.add_argument("presets", metavar="PRESET", nargs="+")
    arguments = parser.parse_args(argv)
    if not arguments.results.is_dir():
        print(f"test-summary: no results folder {arguments.results}", file=sys.stderr)
        return 2
    sys.stdout.write(summarise(arguments.results, arguments.presets, set(arguments.failed.split())))
    return 0
