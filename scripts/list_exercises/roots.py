"""Debian roots made with mmdebstrap: the release's own archive (its current
point release), with its updates and security archives as additions, for
make-sysroot, device-check's minimal roots and the rest.

An archive is sometimes in mid-sync (it serves an index of the wrong size
for its signed list) for a while: an addition whose index cannot be had at
the moment is left out, with a line that says so (list_exercises.additions,
mmdebstrap's setup hook). The release's own archive cannot be: without it,
the root is not made, and one line names the archive and apt's reason. The
archives are mmdebstrap's for the release, or the one LISTS_DEBIAN_MIRROR
names (then that one alone).

mmdebstrap's hooks are fixed texts: what they need of a run they take from
the environment, never spliced into their text, which runs through sh -c.

Run as `python3 -m list_exercises.roots minimal-root SUITE ARCH`, it makes
(or takes) the minimal root that plays a device and prints its path; the
command's hold on it ends with the command."""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

from . import cache
from .additions import apt_reason
from .builds import description_of, read_fields
from .names import check_plain
from .processes import Failure, remove, remove_at_exit, run, say

SCRIPTS = Path(__file__).resolve().parents[1]
# Once the root's apt sources are written, before their indexes are fetched.
LEAVE_OUT_HOOK = 'exec "$LISTS_ROOT_PYTHON" -m list_exercises.additions "$1"'
# Once the packages are unpacked, while the archives' signed indexes are
# still in the root: for the day of what it was made from. (A root made of
# an archive without signed indexes has none to copy.)
RELEASES_HOOK = 'cp "$1"/var/lib/apt/lists/*Release "$LISTS_ROOT_RELEASES"/ 2>/dev/null || true'


@dataclass
class RootRun:
    """One run of mmdebstrap that makes a root at TARGET: its command line
    and its environment's additions, with the files it writes beside the
    target (so that what a killed run leaves is swept with it)."""
    suite: str
    arch: str
    target: Path
    options: list[str] = field(default_factory=list)
    mirror: str = ""

    def beside(self, suffix: str) -> Path:
        return Path(f"{self.target}{suffix}")

    @property
    def log(self) -> Path:
        return self.beside(".log")

    @property
    def release_archive(self) -> Path:
        return self.beside(".release-archive")

    @property
    def notes(self) -> Path:
        return self.beside(".notes")

    @property
    def releases(self) -> Path:
        return self.beside(".releases")

    def command(self) -> list[str]:
        return ["mmdebstrap", f"--arch={self.arch}", *self.options,
                f"--setup-hook={LEAVE_OUT_HOOK}", f"--extract-hook={RELEASES_HOOK}",
                self.suite, str(self.target), *([self.mirror] if self.mirror else [])]

    def environment(self) -> dict[str, str]:
        path = os.environ.get("PYTHONPATH")
        return {"LISTS_ROOT_PYTHON": sys.executable,
                "PYTHONPATH": str(SCRIPTS) + (os.pathsep + path if path else ""),
                "LISTS_ROOT_SUITE": self.suite, "LISTS_ROOT_NOTES": str(self.notes),
                "LISTS_ROOT_ARCHIVE": str(self.release_archive), "LISTS_ROOT_RELEASES": str(self.releases)}


def root_run(suite: str, arch: str, options: list[str], target: Path) -> RootRun:
    """The run that makes SUITE's root for ARCH at TARGET with mmdebstrap's
    OPTIONS; a SUITE or ARCH that is not a plain name is refused (status 2)."""
    check_plain("the release", suite)
    check_plain("the CPU", arch)
    return RootRun(suite, arch, target, list(options), os.environ.get("LISTS_DEBIAN_MIRROR", ""))


def debian_root(suite: str, arch: str, options: list[str], target: Path,
                environment: dict[str, str] | None = None) -> None:
    """Makes the root (see root_run) with the environment's additions
    ENVIRONMENT for the caller's own hooks; writes the day of its packages
    to TARGET.fetched. Failure where it cannot be made, in one line."""
    made = root_run(suite, arch, options, target)
    beside = [made.log, made.release_archive, made.notes, made.releases]
    for path in beside:
        remove_at_exit(path)
    made.releases.mkdir(exist_ok=True)
    try:
        with made.log.open("w") as log:
            status = run(made.command(), stdout=log, stderr=subprocess.STDOUT,
                         env={**os.environ, **made.environment(), **(environment or {})})
        for note in _lines(made.notes):
            say(note)
        if status != 0:
            _failed(made)
        cache.record_fetched(target, sorted(made.releases.iterdir()))
    finally:
        for path in beside:
            remove(path)


def _lines(path: Path) -> list[str]:
    try:
        return path.read_text().splitlines()
    except OSError:
        return []


def _failed(made: RootRun) -> None:
    said = made.log.read_text(errors="replace")
    # apt's reason, or else the end of what mmdebstrap said.
    reason = apt_reason(said)
    if not reason:
        sys.stderr.write("".join(line + "\n" for line in said.splitlines()[-20:]))
    archive = next(iter(_lines(made.release_archive)), "") or made.mirror or "mmdebstrap's default archive"
    raise Failure(f"cannot make the {made.suite} {made.arch} root from {archive} (release {made.suite}, "
                  f"CPU {made.arch}): {reason or 'mmdebstrap failed'}")


def needs_mmdebstrap() -> None:
    if shutil.which("mmdebstrap") is None:
        raise Failure("needs mmdebstrap (Debian package mmdebstrap)")


def minimal_root_name(suite: str, arch: str) -> str:
    return f"device-root-{suite}-{arch}.tar"


def minimal_root(suite: str, arch: str) -> Path:
    """The minimal Debian root that plays a device, one tarball for each
    release and CPU in the cache (mmdebstrap, variant minbase), made where it
    is missing; says how big it is."""
    check_plain("the release", suite)
    check_plain("the CPU", arch)
    name = minimal_root_name(suite, arch)
    needs_mmdebstrap()
    started = time.monotonic()
    if not cache.path(name).exists():
        say(f"making the minimal {suite} {arch} root, {cache.path(name)}")
    path = cache.take(name, lambda stage: debian_root(suite, arch, ["--variant=minbase", "--format=tar"], stage))
    mib = -(-path.stat().st_blocks * 512 // (1024 * 1024))
    say(f"the root is ready after {int(time.monotonic() - started)} s ({mib} MiB)")
    return path


def build_release(build: Path) -> str:
    """The release that a device for BUILD runs: that of the build's system
    root, else this machine's."""
    description = description_of(build)
    if description is None:
        raise Failure(f"{build} holds no built configuration with its description (it takes BUILD_TESTING on)")
    release = read_fields(description).get("release", [""])[0].strip()
    if release:
        return release
    for line in _lines(Path("/etc/os-release")):
        if line.startswith("VERSION_CODENAME="):
            return line.partition("=")[2].strip().strip('"')
    return ""


DEBIAN_ROOT_USAGE = "debian-root SUITE ARCH [MMDEBSTRAP_OPTION...] TARGET"


def debian_root_main(argv: list[str]) -> int:
    """scripts/lib/debian-root: the root at TARGET (the target last, as the
    cache hands it to its makers)."""
    words = cache.maker_words(argv, DEBIAN_ROOT_USAGE, __doc__ or "", 3, more=True)
    debian_root(words[0], words[1], words[2:-1], Path(words[-1]))
    return 0


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="roots", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    minimal = commands.add_parser("minimal-root", help="make or take the minimal root; print its path")
    minimal.add_argument("suite")
    minimal.add_argument("arch")
    arguments = parser.parse_args(argv)
    print(minimal_root(arguments.suite, arguments.arch))
    return 0


if __name__ == "__main__":
    from .processes import command
    command(main, os.environ.get("LISTS_CALLER") or "roots")
