"""device-check BUILD_DIR...
device-check --ssh DESTINATION BUILD_DIR [SSH_OPTION...]

Checks each build as it would be checked on a device: packs it with cpack
(a Debian package and a tarball), and then
 - natively built, unpacks the tarball into a temporary folder, away from
   the source and build trees, and runs its run-ptest there with BusyBox's
   shell and BusyBox's tools alone on the PATH (where BusyBox is installed);
 - makes a minimal Debian root of the build's CPU and release (mmdebstrap,
   variant minbase; kept in the cache folder, scripts/cache, and unpacked
   afresh for each check), installs the package
   there with the root's own apt, so that the root's toolkit and loader are
   used, and runs the installed run-ptest inside it with chroot, its /usr
   read-only. For another CPU the root's programs run under qemu-user
   through binfmt_misc: a handler of the check's own is registered, from
   qemu-user-static's binfmt.d file, and taken out again afterwards
   (binfmt_misc, if it was not mounted, is mounted and unmounted again),
   so that the machine's handlers are left as found.
Every case must pass, none may be skipped, and the header must name the
toolkit library of the root's own package. Where this machine cannot do a
step (not root, binfmt_misc cannot be mounted or written, as in a
container), it says so and skips it. The last line counts the checks:
'N passed, N failed'.

Packages for the roots come from mmdebstrap's default archive for the
release, or from the archive LISTS_DEBIAN_MIRROR names.

With --ssh, it checks the build on a real device over ssh instead: see
list_exercises.check_over_ssh, which does that."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass
from pathlib import Path
from typing import Sequence

from . import check_over_ssh, chroot, releases, roots, setup
from .binfmt import Binfmt
from .processes import Failure, at_exit, output, remove, run, say, start, stop

USAGE = "usage: device-check BUILD_DIR... | device-check --ssh DESTINATION BUILD_DIR [SSH_OPTION...]"
PTEST = "/usr/lib/list-exercises/ptest/run-ptest"
# Run in the root: INSTALL with the package's name as $1, CHECK with the
# check's path as $1.
INSTALL = 'apt-get update -q && apt-get install -y -q --no-install-recommends "$1"'
CHECK = 'cd / && "$1" --junit /tmp/ptest.xml'
COUNT_LINE = re.compile(r"[0-9]+ passed, 0 failed")


def show(line: str) -> None:
    print(line, flush=True)


@dataclass
class Tally:
    passed: int = 0
    failed: int = 0
    skipped: int = 0

    def passes(self, what: str) -> None:
        show(f"PASS: {what}")
        self.passed += 1

    def fails(self, what: str) -> None:
        show(f"FAIL: {what}")
        self.failed += 1

    def skips(self, what: str) -> None:
        show(f"SKIP: {what}")
        self.skipped += 1

    def line(self) -> str:
        skipped = f", {self.skipped} skipped" if self.skipped else ""
        return f"device-check: {self.passed} passed, {self.failed} failed{skipped}"


def tee(args: Sequence[str | os.PathLike[str]], log: Path, **options: object) -> int:
    """Runs ARGS, its standard output shown as it comes and kept in LOG."""
    child = start(args, stdout=subprocess.PIPE, **options)
    assert child.stdout is not None
    try:
        with log.open("wb") as kept:
            for line in child.stdout:
                kept.write(line)
                sys.stdout.buffer.write(line)
                sys.stdout.buffer.flush()
        return child.wait()
    except BaseException:
        stop(child)
        raise


def report_facts(report: Path) -> tuple[int | None, str]:
    """The number of cases in run-ptest's JUnit REPORT (None where there is
    no report to read) and the library it says the programs loaded."""
    try:
        tree = ElementTree.parse(report).getroot()
    except (OSError, ElementTree.ParseError):
        return None, ""
    library = next((each.get("value", "") for each in tree.iter("property")
                    if each.get("name") == "loaded_library"), "")
    return sum(1 for _ in tree.iter("testcase")), library


def ptest_fault(log: Path, report: Path) -> tuple[str, str]:
    """What is wrong with run-ptest's run, by its output in LOG and its
    JUnit REPORT ('' where nothing is), and the library the report names."""
    try:
        lines = log.read_text(errors="replace").splitlines()
    except OSError:
        lines = []
    if any(line.startswith(("FAIL: ", "SKIP: ")) for line in lines) or \
            not any(COUNT_LINE.fullmatch(line) for line in lines):
        return "not every case passed", ""
    # A run of no case passes nothing.
    if any(line.startswith("0 passed, ") for line in lines):
        return "no case was run", ""
    cases, library = report_facts(report)
    lines_of_cases = sum(1 for line in lines if line.startswith(("PASS: ", "FAIL: ", "SKIP: ")))
    if not cases or cases != lines_of_cases:
        return f"the JUnit report holds {'no' if cases is None else cases} cases, not one for each line", ""
    if not library:
        return "the report names no library", ""
    return "", library


def check_ptest_output(tally: Tally, name: str, log: Path, report: Path, root: Path | None = None) -> None:
    """Whether run-ptest's run passed every case (see ptest_fault) and, in a
    ROOT, the library it names belongs to one of the root's packages."""
    fault, library = ptest_fault(log, report)
    if fault:
        tally.fails(f"{name}: {fault}")
        return
    if root is not None:
        try:
            owner = output(["chroot", root, "dpkg", "-S", library], stderr=subprocess.DEVNULL)
        except Failure:
            tally.fails(f"{name}: the library named, {library}, is none of the root's packages'")
            return
        show(f"device-check: {name}: the library is the root's own ({owner.partition(':')[0]})")
    tally.passes(name)


@dataclass
class Packed:
    deb: Path
    tarball: Path
    arch: str


def pack(tally: Tally, build: Path, name: str, work: Path, n: int) -> Packed | None:
    """The build's Debian package and tarball, made with cpack."""
    packages = work / f"packages-{n}"
    log = work / f"cpack-{n}.log"
    with log.open("wb") as kept:
        status = run(["cpack", "-B", packages], cwd=build, stdout=kept, stderr=subprocess.STDOUT)
    if status != 0:
        sys.stdout.buffer.write(log.read_bytes())
        tally.fails(f"{name}: cpack")
        return None
    debs, tarballs = sorted(packages.glob("*.deb")), sorted(packages.glob("*.tar.gz"))
    if len(debs) != 1 or len(tarballs) != 1:
        tally.fails(f"{name}: cpack made no Debian package and tarball")
        return None
    deb = debs[0]
    arch = output(["dpkg-deb", "-f", deb, "Architecture"]).strip()
    depends = output(["dpkg-deb", "-f", deb, "Depends"]).strip()
    show(f"device-check: packed {deb.name} ({(deb.stat().st_blocks + 1) // 2} KB, Depends: {depends}) "
         f"and {tarballs[0].name}")
    return Packed(deb, tarballs[0], arch)


def busybox_path(work: Path) -> tuple[list[str], str]:
    """The shell and PATH to check the tarball with: BusyBox's alone where
    it is installed."""
    busybox = shutil.which("busybox")
    if busybox is None:
        show("device-check: no busybox here: the tarball is checked with /bin/sh and this machine's tools")
        return ["/bin/sh"], os.environ.get("PATH", "")
    path = work / "busybox"
    path.mkdir(exist_ok=True)
    for applet in output([busybox, "--list"]).split():
        link = path / applet
        link.unlink(missing_ok=True)
        link.symlink_to(busybox)
    return [busybox, "sh"], str(path)


def check_tarball(tally: Tally, packed: Packed, name: str, work: Path, n: int) -> None:
    """The tarball, for this machine's CPU: unpacked apart from both trees,
    checked under BusyBox."""
    tree = work / f"tree-{n}"
    tree.mkdir(parents=True, exist_ok=True)
    if run(["tar", "-C", tree, "-xzf", packed.tarball]) != 0:
        raise Failure(f"could not unpack {packed.tarball}")
    found = sorted(tree.glob("*/lib/list-exercises/ptest/run-ptest"))
    shell, path = busybox_path(work)
    show(f"device-check: {name}: the tarball's run-ptest, with {' '.join(shell)}")
    report = work / f"tarball-{n}.xml"
    log = work / f"tarball-{n}.log"
    check = str(found[0]) if found else str(tree / "*" / "lib/list-exercises/ptest/run-ptest")
    tee([*shell, check, "--junit", report], log, cwd="/", env={"PATH": path, "TMPDIR": str(work)})
    check_ptest_output(tally, f"{name}: tarball, {' '.join(shell)}", log, report)


def root_refusal(arch: str, native: bool, uid: int, binfmt: Binfmt) -> tuple[str, str]:
    """Why ARCH's package cannot be checked in a minimal root here: a skip's
    reason, or a failure's (('', '') where it can)."""
    if uid != 0:
        return f"in a minimal {arch} root (it takes root, for chroot and mounts)", ""
    if native:
        return "", ""
    row = releases.cpu(arch)
    if row is None or not row.qemu:
        return "", f"no emulator is known for {arch}"
    try:
        binfmt.ready(row.qemu)
    except Failure as failure:
        say(failure.message)
        return f"in a minimal {arch} root (this machine cannot run {arch} programs through binfmt_misc)", ""
    return "", ""


def disk_mib(root: Path, leave_out: str = "proc") -> int:
    """What ROOT takes on disk, in MiB rounded up, as du -sm --exclude
    counts it (each file once, however many names it has)."""
    seen: set[tuple[int, int]] = set()
    blocks = 0
    for folder, folders, files in os.walk(root):
        folders[:] = [each for each in folders if each != leave_out]
        for entry in [folder, *(os.path.join(folder, each) for each in files if each != leave_out)]:
            try:
                facts = os.lstat(entry)
            except OSError:
                continue
            if (facts.st_dev, facts.st_ino) not in seen:
                seen.add((facts.st_dev, facts.st_ino))
                blocks += facts.st_blocks
    return -(-blocks * 512 // (1024 * 1024))


class Roots:
    """The minimal roots unpacked for the checks, the one in use released
    when the command ends."""

    def __init__(self, work: Path) -> None:
        self.work = work
        self.current: Path | None = None

    def unpack(self, n: int, tarball: Path) -> Path:
        root = self.work / f"root-{n}"
        root.mkdir()
        self.current = root
        if run(["tar", "-C", root, "-xf", tarball]) != 0:
            raise Failure(f"could not unpack {tarball}")
        return root

    def release(self) -> None:
        if self.current is not None:
            chroot.release_root(self.current)
            self.current = None


def check_in_root(tally: Tally, packed: Packed, build: Path, name: str, roots_: Roots, n: int) -> None:
    """The package, installed with the root's own apt in a minimal root of
    its CPU, its run-ptest run there."""
    suite = roots.build_release(build)
    where = f"a minimal {suite} {packed.arch} root"
    try:
        made = roots.minimal_root(suite, packed.arch)
    except Failure as failure:
        if failure.message:
            say(failure.message)
        tally.fails(f"{name}: making {where}")
        return
    started = time.monotonic()
    root = roots_.unpack(n, made)
    shutil.copy(packed.deb, root / "tmp")
    if not chroot.mount_in_root(root):
        tally.fails(f"{name}: mounting /proc in {where}")
        roots_.release()
        return
    show(f"device-check: {name}: installing {packed.deb.name} with the root's apt")
    log = roots_.work / f"install-{n}.log"
    with log.open("wb") as kept:
        status = run(chroot.in_root(root, ["/bin/sh", "-c", INSTALL, "sh", f"/tmp/{packed.deb.name}"]),
                     stdout=kept, stderr=subprocess.STDOUT)
    if status != 0:
        sys.stdout.buffer.write(log.read_bytes())
        tally.fails(f"{name}: installing the package into {where}")
        roots_.release()
        return
    installed = int(time.monotonic() - started)
    # The installation as a device may have it: read-only.
    if not chroot.mount_read_only(root, "usr"):
        show("device-check: cannot make the root's /usr read-only")
    started = time.monotonic()
    show(f"device-check: {name}: {PTEST} in the root, from /")
    log = roots_.work / f"root-{n}.log"
    tee(chroot.in_root(root, ["/bin/sh", "-c", CHECK, "sh", PTEST]), log)
    ran = int(time.monotonic() - started)
    show(f"device-check: {name}: unpacked and installed in {installed} s, checked in {ran} s; "
         f"the root with the package takes {disk_mib(root)} MiB")
    check_ptest_output(tally, f"{name}: in {where}", log, root / "tmp" / "ptest.xml", root)
    roots_.release()


def check_build(tally: Tally, given: str, work: Path, roots_: Roots, binfmt: Binfmt, n: int) -> None:
    build = Path(os.path.abspath(given))
    if not build.is_dir():
        raise Failure(f"no build folder {given}")
    name = build.name
    show(f"=== device-check: {build}")
    packed = pack(tally, build, name, work, n)
    if packed is None:
        return
    # This machine's kernel runs some CPUs' programs itself (a 64-bit x86 one
    # the 32-bit x86 ones); others, only through an emulator.
    row = releases.cpu(packed.arch)
    native = row is not None and os.uname().machine in row.native
    if packed.arch == output(["dpkg", "--print-architecture"]).strip():
        check_tarball(tally, packed, name, work, n)
    skip, fault = root_refusal(packed.arch, native, os.geteuid(), binfmt)
    if skip:
        tally.skips(f"{name}: {skip}")
    elif fault:
        tally.fails(f"{name}: {fault}")
    else:
        check_in_root(tally, packed, build, name, roots_, n)


def main(argv: list[str]) -> int:
    if argv[:1] in (["-h"], ["--help"]):
        print(__doc__)
        return 0
    if not argv:
        print(USAGE, file=sys.stderr)
        return 2
    if argv[0] == "--ssh":
        return check_over_ssh.main(argv[1:])
    unknown = [given for given in argv if given.startswith("-")]
    if unknown:
        print(f"device-check: unknown option {unknown[0]}\n{USAGE}", file=sys.stderr)
        return 2
    setup.basics()
    setup.set_up(["device-check"], {})
    work = Path(tempfile.mkdtemp(prefix="device-check.", dir=os.environ.get("TMPDIR") or "/tmp"))
    roots_ = Roots(work)
    binfmt = Binfmt()

    def clean_up() -> None:
        roots_.release()
        binfmt.restore()
        remove(work)
    at_exit(clean_up)
    tally = Tally()
    for n, given in enumerate(argv, 1):
        check_build(tally, given, work, roots_, binfmt, n)
    show(tally.line())
    return 0 if tally.failed == 0 else 1
