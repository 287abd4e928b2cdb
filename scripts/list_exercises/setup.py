"""What the presets and the scripts need installed, installed where it is
missing, on Debian or Ubuntu with apt-get, through sudo when not run as root;
then the system roots that presets build against, made by
scripts/make-sysroot. Where it cannot install, it names the packages needed
and goes on: CMake's own errors then tell what is really missing."""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Mapping

from . import names as plain_names, processes
from .presets import Preset, PresetError, Presets
from .processes import Failure

SOURCE_DIR = Path(__file__).resolve().parents[2]
# The compiler, make, CMake and Python 3: what every preset needs.
BASICS = ("g++", "make", "cmake", "python3")
# The scripts that are set up by name, and what each needs.
SCRIPTS = {
    "bench": ("hyperfine", "gnuplot-nox", "time"),
    "device-check": ("mmdebstrap", "arch-test", "qemu-user-static", "busybox", "openssh-client", "iproute2"),
    "board": ("qemu-system-arm", "qemu-system-mips", "qemu-system-misc", "qemu-system-ppc", "qemu-system-x86",
              "e2fsprogs", "openssh-client", "mmdebstrap", "arch-test", "qemu-user-static"),
    # LAVA's client alone: the lab's server and workers are elsewhere.
    "lab-check": ("lavacli", "python3"),
}
# A toolkit of the user's own is named by one of these.
TOOLKIT_VARIABLES = ("CMAKE_PREFIX_PATH", "Qt5_DIR", "Qt6_DIR", "QT_QMAKE_EXECUTABLE")

USAGE = """\
Installs what the given CMake presets (or bench, the benchmark;
device-check, board or lab-check, those scripts) need where it is missing,
on Debian or Ubuntu with apt-get, through sudo when not run as root; with no
NAME, just the compiler, make, CMake and Python 3. Each preset names its
packages in CMakePresets.json (see list_exercises/presets.py); a preset of
your own takes those of the preset it inherits from. Then it makes, from the
source folder, the system root of a preset's release and CPU
(scripts/make-sysroot), where it names them. Where a toolkit of your own is
named (CMAKE_PREFIX_PATH, Qt5_DIR, Qt6_DIR or QT_QMAKE_EXECUTABLE in the
environment), the distribution's toolkit packages are left out.

Where it cannot install (no apt-get or dpkg, or neither root nor sudo), it
names the packages needed and goes on: CMake's own errors then tell what is
really missing. Configuring and building are left to the caller."""


def say(message: str) -> None:
    # (Its messages are setup's, also where test.sh or run.sh sets up.)
    print(f"setup: {message}", file=sys.stderr, flush=True)


@dataclass
class Plan:
    """What setting up NAMEs takes: packages (entries, "a|b" for either)
    and system roots (a release and a CPU each), in order."""
    packages: list[str] = field(default_factory=list)
    roots: list[tuple[str, str]] = field(default_factory=list)


def toolkit_named(environ: Mapping[str, str]) -> list[str]:
    """The variables that name a toolkit of the user's own, as VARIABLE=VALUE."""
    return [f"{name}={environ[name]}" for name in TOOLKIT_VARIABLES if environ.get(name)]


def plan(names: list[str], presets: Mapping[str, Preset], environ: Mapping[str, str]) -> Plan:
    """What NAMEs (presets, read in PRESETS, or scripts) take. A release or
    CPU that is not a plain name is refused (exit 2), naming the preset."""
    own_toolkit = bool(toolkit_named(environ))
    packages = list(BASICS)
    roots: list[tuple[str, str]] = []
    for name in names:
        if name in SCRIPTS:
            packages += SCRIPTS[name]
            continue
        preset = presets[name]
        packages += preset.packages
        # A preset of another CPU or release builds against a system root of them.
        if preset.arch:
            for what, value in (("release", preset.release), ("CPU", preset.arch)):
                try:
                    plain_names.check_plain(f"the preset {name}'s {what}", value)
                except Failure as failure:
                    say(failure.message)
                    raise Failure("", 2) from None
            if (preset.release, preset.arch) not in roots:
                roots.append((preset.release, preset.arch))
        if not own_toolkit:
            packages += preset.toolkit_packages
    return Plan(sorted(set(packages)), roots)


def installed(package: str) -> bool:
    """Whether dpkg has PACKAGE installed."""
    query = subprocess.run(["dpkg-query", "-W", "-f=${db:Status-Status}\\n", package],
                           stdin=subprocess.DEVNULL, capture_output=True, text=True)
    return query.returncode == 0 and query.stdout.strip() == "installed"


def missing(entries: list[str]) -> list[str]:
    """The entries none of whose alternatives is installed."""
    return [entry for entry in entries if not any(installed(each) for each in entry.split("|"))]


def candidate(package: str) -> bool:
    """Whether apt has a version of PACKAGE to install."""
    policy = subprocess.run(["apt-cache", "policy", package], stdin=subprocess.DEVNULL,
                            capture_output=True, text=True)
    return any(line.strip().startswith("Candidate:") and not line.split(":", 1)[1].strip().startswith("(")
               for line in policy.stdout.splitlines())


def can_sudo() -> bool:
    """Whether sudo may be used: without a password, or with one asked for
    at a terminal."""
    if not _found("sudo"):
        return False
    quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    if subprocess.run(["sudo", "-n", "true"], **quiet).returncode == 0:
        return True
    return sys.stdin.isatty() and foreground(["sudo", "true"]) == 0


def _found(program: str) -> bool:
    return any(os.access(Path(folder) / program, os.X_OK)
               for folder in os.environ.get("PATH", "").split(os.pathsep) if folder)


def foreground(args: list[str]) -> int:
    """ARGS run in this command's process group, at its terminal (where
    sudo asks for a password), its output on standard error; stopped with
    the command."""
    sys.stderr.flush()
    child = subprocess.Popen(args, stdout=sys.stderr)
    try:
        return child.wait()
    except BaseException:
        child.terminate()
        child.wait()
        raise


def install(entries: list[str]) -> None:
    """Installs those of ENTRIES that are missing; where it cannot, names
    them. An entry may name alternatives, "a|b" (the same package under
    another name in another release): any one installed will do, and the
    first that apt can install is installed. Failure (1) where apt fails."""
    if not _found("dpkg-query"):
        say(f"cannot tell what is installed here (no dpkg); this needs, in Debian's names: {' '.join(entries)}")
        return
    needed = missing(entries)
    if not needed:
        return
    root = os.geteuid() == 0
    sudo = [] if root else ["sudo"]
    if not _found("apt-get") or not (root or can_sudo()):
        say("cannot install here (it takes apt-get, as root or through sudo); "
            f"install these, in Debian's names: {' '.join(needed)}")
        return
    say(f"installing {' '.join(needed)}")
    if foreground(sudo + ["apt-get", "update", "-q"]) == 0:
        # The first alternative that apt can install; where none is, the
        # first, for apt to say so.
        chosen = [next((each for each in entry.split("|") if candidate(each)), entry.split("|")[0])
                  for entry in needed]
        command = sudo + ["env", "DEBIAN_FRONTEND=noninteractive", "apt-get", "install", "-y", "-q",
                          "--no-install-recommends", *chosen]
        if foreground(command) == 0:
            return
    raise Failure("", 1)


def make_roots(roots: list[tuple[str, str]]) -> None:
    """The system roots, by scripts/make-sysroot, whose standard output is
    not setup's; stopped by a signal, or refusing the cache (2), it has said
    so itself."""
    for release, arch in roots:
        command = ["scripts/make-sysroot", release, arch]
        say(f"running {' '.join(command)}")
        sys.stderr.flush()
        status = processes.run(command, cwd=SOURCE_DIR, stdout=sys.stderr)
        status = processes.shell_status(status)
        if status >= 128 or status == 2:
            raise Failure("", status)
        if status != 0:
            say(f"'{' '.join(command)}' failed, so what it makes is not there")
            raise Failure("", 1)


def basics() -> None:
    """The compiler, make, CMake and Python 3, first, where dpkg can tell
    what is there (the note on what is needed otherwise comes once, with
    the rest)."""
    if _found("dpkg-query"):
        install(list(BASICS))


def set_up(names: list[str], presets: Mapping[str, Preset]) -> None:
    """Sets up NAMEs, presets read already (PRESETS) or scripts."""
    naming = toolkit_named(os.environ)
    if naming:
        say(f"a toolkit of your own is named ({' '.join(naming)}): the distribution's toolkit "
            "packages are not installed")
    needs = plan(names, presets, os.environ)
    install(needs.packages)
    make_roots(needs.roots)


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="setup", description=USAGE,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("names", metavar="NAME", nargs="*",
                        help="a preset, or bench, device-check, board or lab-check")
    names = parser.parse_args(argv).names
    basics()
    # An unknown preset is said at once, before anything is installed for the others.
    preset_names = [name for name in names if name not in SCRIPTS]
    try:
        chosen = Presets().presets(preset_names) if preset_names else []
    except PresetError as error:
        raise Failure(str(error), 2) from None
    set_up(names, {preset.name: preset for preset in chosen})
    return 0
