"""test.sh and run.sh: set up, build and test presets (test.sh), or build one
and run each program once against its reference outcome (run.sh). Their
shell stubs make sure that python3 is there, then run this module
(python3 -m list_exercises.runs test.sh|run.sh ARGUMENTS)."""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path
from typing import Any

from . import build, builds, processes, report, setup
from .presets import Preset
from .processes import Failure

SOURCE_DIR = Path(__file__).resolve().parents[2]
DEVICE_USAGE = "usage: test.sh PRESET --device DESTINATION [SSH_OPTION...]"

TEST_USAGE = """\
usage: test.sh [PRESET... | all]
       test.sh PRESET --device DESTINATION [SSH_OPTION...]

Sets everything up, then builds and runs the whole test suite in each CMake
preset given (qt5 when none is; all: every configure preset there is, your
own in CMakeUserPresets.json included), with its build and test presets.
Each preset's run starts by saying what it checks (toolkit, compiler, CPU)
and leaves a JUnit XML report in build/test-results/PRESET.xml; the run ends
with a table of what each preset checked and how it went
(scripts/test-summary), also written to build/test-results/summary.md.
CMAKE_PREFIX_PATH, Qt5_DIR or Qt6_DIR in the environment name a toolkit of
your own to check; QT_QMAKE_EXECUTABLE, the qmake of a Qt 4 of your own.

With --device, the whole suite of PRESET, a preset that builds for a CPU in
a system root, runs its programs on a device over ssh instead of here:
DESTINATION and SSH_OPTIONs as ssh takes them (as device-check --ssh does).
A device whose CPU is not the preset's is refused before anything is built;
one connection serves the whole run, the programs are sent once, and
nothing is left on the device afterwards. The build is PRESET's folder with
-device after its name, its report build/test-results/PRESET-device.xml.

A signal (Ctrl-C, SIGTERM) stops the build or ctest running, and ends this
with 130 or 143."""

RUN_USAGE = """\
usage: run.sh [PRESET]

Sets everything up, builds the seven programs with a CMake preset (qt5 when
none is given), says what the build checks (toolkit, compiler, CPU) and runs
each program once, showing what it wrote and how it ended, against its
reference outcome. CMAKE_PREFIX_PATH, Qt5_DIR or Qt6_DIR in the environment
name a toolkit of your own to check; QT_QMAKE_EXECUTABLE, the qmake of a
Qt 4 of your own."""


def echo(line: str = "") -> None:
    """A line on standard output, out before what a child writes next."""
    print(line, flush=True)


def helped(argv: list[str], usage: str) -> bool:
    """Asked -h or --help (the first word): prints USAGE."""
    if argv[:1] not in (["-h"], ["--help"]):
        return False
    parser = argparse.ArgumentParser(usage=argparse.SUPPRESS, description=usage, add_help=False,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.print_help()
    return True


def test_arguments(argv: list[str]) -> tuple[list[str], list[str]]:
    """The presets named (qt5 where none is; [] for all) and, for --device,
    DESTINATION and the SSH_OPTIONs."""
    if argv[1:2] == ["--device"]:
        if len(argv) < 3 or argv[0].startswith("-") or argv[0] == "all" or argv[2].startswith("-"):
            print(DEVICE_USAGE, file=sys.stderr)
            raise Failure("", 2)
        return argv[:1], argv[2:]
    names = argv or ["qt5"]
    return ([] if names == ["all"] else names), []


class TestRun:
    """One run of test.sh: each preset set up, built and tested in turn."""

    def __init__(self, presets: list[Preset], device: Any = None) -> None:
        self.presets = presets
        self.device = device
        self.results = SOURCE_DIR / "build" / "test-results"
        self.runs: list[str] = []
        self.failed: list[str] = []
        # A preset's report is of this run or of none: one that its run
        # did not finish writing is removed when the run is stopped.
        self.unfinished: Path | None = None
        processes.at_exit(self.remove_unfinished)

    def remove_unfinished(self) -> None:
        if self.unfinished is not None:
            self.unfinished.unlink(missing_ok=True)

    def remove_report(self, run: str) -> None:
        for kind in ("xml", "description"):
            (self.results / f"{run}.{kind}").unlink(missing_ok=True)

    def run_name(self, preset: Preset) -> str:
        # A device's run is reported apart from the preset's own.
        return f"{preset.name}-device" if self.device else preset.name

    def all(self) -> int:
        self.results.mkdir(parents=True, exist_ok=True)
        # The table is of this run or of none: a run that is stopped leaves
        # no earlier run's table to be taken for its own.
        (self.results / "summary.md").unlink(missing_ok=True)
        for preset in self.presets:
            echo(f"=== preset {preset.name}")
            run = self.run_name(preset)
            self.runs.append(run)
            if not self.prepare(preset):
                self.remove_report(run)
                self.failed.append(run)
            elif not self.check(preset, run):
                self.failed.append(run)
        return self.summary()

    def prepare(self, preset: Preset) -> bool:
        """Each preset's packages are installed on their own, so that one
        that cannot be installed fails its preset alone; a cache that cannot
        be trusted (status 2) stops the run. Its root stays held for the run."""
        try:
            setup.set_up([preset.name], {preset.name: preset})
            build.hold_root(preset)
        except Failure as failure:
            if failure.status == 2:
                raise
            if failure.message:
                processes.say(failure.message)
            return False
        return True

    def check(self, preset: Preset, run: str) -> bool:
        """Builds PRESET, says what it checks and runs its tests."""
        lock = None
        try:
            lock = build.hold_folder(build.folder_of(preset, bool(self.device)))
            # An earlier run's report is removed before the preset is built;
            # once the folder is this run's, not under another's tests.
            self.remove_report(run)
            folder = build.build(preset, device=bool(self.device))
            if self.device:
                self.device.send(folder)
            on = f", on {self.device.name} ({self.device.kernel})" if self.device else ""
            echo(f"=== preset {preset.name} checks{on}:")
            builds.print_header(folder)
            fields = builds.fields_text(folder)
            if self.device:
                fields += f"device={self.device.name}, {self.device.kernel}\n"
            (self.results / f"{run}.description").write_text(fields)
            self.unfinished = self.results / f"{run}.xml"
            passed = self.tests(preset, folder, self.unfinished) == 0
            self.unfinished = None
            return passed
        except Failure as failure:
            if failure.message:
                processes.say(failure.message)
            return False
        finally:
            if lock is not None:
                os.close(lock)

    def tests(self, preset: Preset, folder: Path, report_path: Path) -> int:
        junit = ["--output-junit", str(report_path)]
        sys.stdout.flush()
        if self.device:
            # One program at a time: the device is one machine, whatever
            # this one's cores. (A folder that no test preset names.)
            return processes.run(["ctest", "--test-dir", str(folder), "--output-on-failure",
                                  "--no-tests=error", *junit], env={**os.environ, **self.device.environment()})
        return processes.run(["ctest", "--preset", preset.name, "--parallel", str(build.cores()), *junit])

    def summary(self) -> int:
        echo("=== what was checked")
        try:
            sys.stdout.write(report.summarise(self.results, self.runs, set(self.failed)))
        except OSError:
            processes.say("the table could not be made")
        count = len(self.presets)
        if self.failed:
            echo(f"=== FAILED in preset(s): {' '.join(self.failed)} (passed: {count - len(self.failed)} of {count})")
            return 1
        echo(f"=== the test suite passed in {count} preset(s): {' '.join(p.name for p in self.presets)}")
        echo(f"=== JUnit XML reports: {self.results}/")
        return 0


def open_device(preset: Preset, words: list[str]) -> Any:
    """The device of --device, opened for PRESET's CPU (exit 2 where it
    cannot be used: not reached, or another CPU)."""
    if not preset.arch:
        raise Failure(f"--device takes a preset that builds for a CPU in a system root (arm64, armhf, ...), "
                      f"not {preset.name}", 2)
    from .devices import SshDevice
    return SshDevice.open(preset.arch, words[0], words[1:])


def test_main(argv: list[str]) -> int:
    if helped(argv, TEST_USAGE):
        return 0
    names, device_words = test_arguments(argv)
    os.chdir(SOURCE_DIR)
    # Every name is checked before anything is set up or built.
    presets = build.chosen(names, steps=not device_words)
    setup.basics()
    device = open_device(presets[0], device_words) if device_words else None
    return TestRun(presets, device).all()


def run_main(argv: list[str]) -> int:
    if helped(argv, RUN_USAGE):
        return 0
    os.chdir(SOURCE_DIR)
    preset, = build.chosen([argv[0] if argv and argv[0] else "qt5"])
    setup.basics()
    setup.set_up([preset.name], {preset.name: preset})
    # The preset's system root, where it has one, stays the run's until it ends.
    build.hold_root(preset)
    build.hold_folder(build.folder_of(preset))
    folder = build.build(preset, quiet=True)
    builds.print_header(folder)
    described = builds.read_fields(builds.described(folder))
    programs = Path(described.get("programs", [""])[0])
    runner = described.get("runner", [])
    total = matching = 0
    for reference in sorted(SOURCE_DIR.glob("*/reference/run.ending")):
        program = reference.parent.parent.name
        echo()
        total += 1
        if processes.run([SOURCE_DIR / "device" / "check-outcome", f"{program}/reference/run",
                          *runner, programs / program]) == 0:
            matching += 1
    echo()
    echo(f"{matching} of {total} programs match their reference outcomes.")
    return 0 if matching == total else 1


if __name__ == "__main__":
    COMMANDS = {"test.sh": test_main, "run.sh": run_main}
    NAME = sys.argv.pop(1)
    processes.command(COMMANDS[NAME], NAME)
