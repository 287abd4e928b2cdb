"""Configuring and building one preset (scripts/build-preset, and test.sh and
run.sh in-process), with what a run holds while it builds and tests: the
preset's system root in the cache, and its build folder (FOLDER.lock), so
that two runs of one preset in one clone take turns rather than build into
it at once."""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import IO

from . import cache, processes, releases, setup, sysroot
from .presets import Preset, PresetError, Presets, without_steps
from .processes import Failure

USAGE = """\
Configures and builds the CMake preset PRESET, with the build preset of its
name, and prints its build folder. With --device, it builds PRESET for a
device whose tests run their programs there (LISTS_ON_DEVICE), in the
preset's build folder with -device after its name, beside the one whose
tests run them here (a folder that no build preset names: built as it is).
CMake's own output goes to standard error; with --quiet, only where
configuring or building fails."""

# What CMake says of a build folder it cannot write (a clone of somebody else's).
CANNOT_WRITE = re.compile(rb"Permission denied|Unable to \(re\)create|cannot create directory")

def say(message: str) -> None:
    # (Its messages are build-preset's, also where test.sh or run.sh builds.)
    print(f"build-preset: {message}", file=sys.stderr, flush=True)


def cores() -> int:
    return len(os.sched_getaffinity(0))


def folder_of(preset: Preset, device: bool = False) -> Path:
    """The preset's build folder (with -device after it, for a device)."""
    if preset.binary_dir is None:
        say(f"preset {preset.name} names no build folder (binaryDir)")
        raise Failure("", 2)
    return Path(f"{preset.binary_dir}-device") if device else preset.binary_dir


def root_of(preset: Preset) -> Path | None:
    """The folder of PRESET's system root, made or not (None where it has
    none)."""
    if not preset.arch:
        return None
    try:
        release = releases.release(preset.release)
    except releases.TableError as error:
        raise Failure(str(error), 1) from None
    return cache.path(sysroot.root_name(release, preset.arch))


def hold_root(preset: Preset) -> Path | None:
    """Holds the system root that PRESET builds against (nothing where it
    has none) until the command ends, so that no prune or clear of the cache
    removes it under the build and the tests, and gives its folder. Setting
    up made or took it in a child, whose hold ended with it; where it went
    in between, the preset is set up once more."""
    root = root_of(preset)
    if root is None or cache.hold(root.name):
        return root
    processes.say(f"the {preset.release} {preset.arch} root is not in the cache (or went from it "
                  "before this run held it); setting it up")
    setup.set_up([preset.name], {preset.name: preset})
    if not cache.hold(root.name):
        raise Failure(f"the {preset.release} {preset.arch} root is not in the cache: {root}", 1)
    return root


def hold_folder(folder: Path) -> int:
    """Holds the build folder FOLDER (FOLDER.lock beside it) until the file
    descriptor given is closed, or the command ends: another run that builds
    into it waits. Runs of other presets go on side by side."""
    folder.parent.mkdir(parents=True, exist_ok=True)
    return processes.lock(Path(f"{folder}.lock"),
                          waiting=f"another run is building or testing in {folder}; waiting for it to end")


def _step(args: list[str], log: IO[bytes], quiet: bool) -> int:
    """Runs a step of CMake's, its output kept in LOG and, unless QUIET,
    shown on standard error as it comes."""
    if quiet:
        return processes.run(args, stdout=log, stderr=subprocess.STDOUT)
    sys.stderr.flush()
    child = processes.start(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    assert child.stdout is not None
    try:
        while chunk := os.read(child.stdout.fileno(), 65536):
            log.write(chunk)
            sys.stderr.buffer.write(chunk)
            sys.stderr.buffer.flush()
        return child.wait()
    except BaseException:
        processes.stop(child)
        raise
    finally:
        child.stdout.close()


def build(preset: Preset, *, device: bool = False, quiet: bool = False) -> Path:
    """Configures and builds PRESET (with --device's difference where
    DEVICE) and gives its build folder."""
    folder = folder_of(preset, device)
    # The preset's system root stays the build's until it ends; its
    # toolchain is told where it is.
    root = hold_root(preset)
    configure = ["cmake", "--preset", preset.name] + ([f"-DLISTS_SYSROOT={root}"] if root else [])
    parallel = ["--parallel", str(cores())]
    if device:
        steps = [[*configure, "-B", str(folder), "-DLISTS_ON_DEVICE=ON"], ["cmake", "--build", str(folder), *parallel]]
    else:
        steps = [configure, ["cmake", "--build", "--preset", preset.name, *parallel]]
    with tempfile.TemporaryFile() as log:
        for args in steps:
            if _step(args, log, quiet) == 0:
                continue
            log.seek(0)
            text = log.read()
            if quiet:
                sys.stderr.buffer.write(text)
                sys.stderr.flush()
            if CANNOT_WRITE.search(text):
                say(f"the build folder of preset {preset.name} cannot be written here; run this in a clone "
                    "of your own, or name a folder you can write in a preset of your own (binaryDir)")
            raise Failure("", 1)
    return folder


def chosen(names: list[str], *, steps: bool = True) -> list[Preset]:
    """The presets NAMES (every one where none is given), each with its
    build and test presets where STEPS; refused at once (2) where one is
    not a preset, or has not."""
    try:
        read = Presets().presets(names)
    except PresetError as error:
        raise Failure(str(error), 2) from None
    lacking = without_steps(read) if steps else ""
    if lacking:
        raise Failure(lacking, 2)
    return read


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="build-preset", description=USAGE,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quiet", action="store_true", help="CMake's output only where it fails")
    parser.add_argument("--device", action="store_true", help="the build for a device (LISTS_ON_DEVICE)")
    parser.add_argument("preset", metavar="PRESET")
    arguments = parser.parse_args(argv)
    preset, = chosen([arguments.preset], steps=not arguments.device)
    folder = build(preset, device=arguments.device, quiet=arguments.quiet)
    print(folder)
    return 0
