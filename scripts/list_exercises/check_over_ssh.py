"""device-check --ssh DESTINATION BUILD_DIR [SSH_OPTION...]

Checks a build on a device reachable by ssh: packs the build's tarball with
cpack, opens the device through one ssh connection (the device needs
nothing but its ssh server, a POSIX shell, tar, gzip, mktemp, cat and
uname: BusyBox's will do), checks first that the device's CPU is one the
build is for and makes a fresh temporary folder there, sends the tarball
into it, runs the tarball's run-ptest there, its lines shown as they come,
and fetches its JUnit report back to
build/test-results/device-BUILD-DESTINATION.xml. The folder is removed
afterwards, also when the check is interrupted or the connection drops.

DESTINATION is as ssh takes it: [USER@]HOST, a Host of your ssh
configuration, or ssh://[USER@]HOST[:PORT]. Your ssh configuration, keys,
agent and known hosts are used as they are; SSH_OPTIONs are handed to ssh
before its own (-p PORT, -i KEY, -o Option=value). Where there is no
terminal, ssh asks nothing (BatchMode): a host key it does not know fails.

Each case ends after LISTS_CASE_TIME_LIMIT seconds (60 by default; 0:
none), where the device has timeout (run-ptest --time-limit).

Exits with run-ptest's status (0: every case passed); 2 where the device
could not be checked: ssh could not connect or log in, the connection was
lost, the device's CPU is not the build's, the tarball could not be
unpacked there, or no whole JUnit report came back."""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ElementTree
from pathlib import Path

from . import processes
from .devices import CpuRefused, Lost, SshDevice, Unreachable, native_machines
from .names import is_plain
from .processes import Failure
from .ssh import Destination

USAGE = "usage: device-check --ssh DESTINATION BUILD_DIR [SSH_OPTION...]"
SOURCE_DIR = Path(os.path.abspath(__file__)).parents[2]
# On the device: $1 the run's folder; its own failures exit 3.
UNPACK = 'gzip -dc | tar -xf - -C "$1" || { echo "device-check: could not unpack the tarball into $1" >&2; exit 3; }'
RUN = r'''
folder=$1 limit=$2
set -- "$folder"/*/lib/list-exercises/ptest/run-ptest
[ -f "$1" ] || { echo "device-check: the tarball holds no lib/list-exercises/ptest/run-ptest" >&2; exit 3; }
cd / && TMPDIR=$folder exec sh "$1" --junit "$folder/ptest.xml" --time-limit "$limit"
'''


def arguments(argv: list[str]) -> tuple[str, Path, list[str], str]:
    """DESTINATION, BUILD_DIR, the SSH_OPTIONs and the time limit; usage
    errors exit 2."""
    if argv[:1] in (["-h"], ["--help"]):
        parser = argparse.ArgumentParser(prog="device-check --ssh", usage=USAGE[len("usage: "):],
                                         description=__doc__.split("\n\n", 1)[1],
                                         formatter_class=argparse.RawDescriptionHelpFormatter)
        parser.print_help()
        raise SystemExit(0)
    if len(argv) < 2 or argv[0].startswith("-"):
        print(USAGE, file=sys.stderr)
        raise SystemExit(2)
    limit = os.environ.get("LISTS_CASE_TIME_LIMIT", "60")
    if not re.fullmatch(r"[0-9]+", limit):
        raise Failure(f"LISTS_CASE_TIME_LIMIT is '{limit}': it must be a number of seconds (0: no limit)", 2)
    if shutil.which("ssh") is None:
        raise Failure("needs ssh (Debian package openssh-client)", 2)
    build = Path(os.path.abspath(argv[1]))
    if not build.is_dir():
        raise Failure(f"no build folder {argv[1]}", 2)
    return argv[0], build, argv[2:], limit


def pack(build: Path, work: Path) -> Path:
    """The build's tarball, made with cpack."""
    log = work / "cpack.log"
    with open(log, "wb") as output:
        status = processes.run(["cpack", "-G", "TGZ", "-B", work / "packages"], cwd=build,
                               stdout=output, stderr=subprocess.STDOUT)
    if status != 0:
        sys.stderr.write(log.read_text(errors="replace"))
        raise Failure(f"cpack could not pack {build}", 2)
    tarballs = list((work / "packages").glob("*.tar.gz"))
    if len(tarballs) != 1:
        raise Failure("cpack made no tarball", 2)
    return tarballs[0]


def report_path(build: Path, destination: str) -> Path:
    plain = re.sub(rb"[^A-Za-z0-9._@-]", b"_", os.fsencode(destination))
    return SOURCE_DIR / "build" / "test-results" / f"device-{build.name}-{os.fsdecode(plain)}.xml"


def connect(target: Destination, arch: str, cpus: list[str]) -> SshDevice:
    try:
        return SshDevice.start(target, cpus, prefix="device-check")
    except CpuRefused as refused:
        processes.say(f"the device runs on {refused.cpu} (uname -m), but the build is for {arch} ({' '.join(cpus)})")
        raise Failure(f"{target.name} could not be checked (see above)", 2) from None
    except Unreachable as unreachable:
        sys.stderr.write(unreachable.log)
        raise Failure(f"could not connect or log in to {target.name} (ssh's own message is above)", 2) from None


def step(status: int, host: str, endings: tuple[int, ...] = (0, 1, 2)) -> None:
    """Where a step on the device did not end as it may (run-ptest's own
    endings: 0, 1, 2), the device could not be checked."""
    if status in endings:
        return
    if status == 255:
        raise Failure(f"lost the connection to {host} while checking", 2)
    if status == 3:
        raise Failure(f"{host} could not be checked (see above)", 2)
    raise Failure(f"the check on {host} did not run to its end (ssh's status {status})", 2)


def fetch_report(device: SshDevice, report: Path, host: str) -> None:
    """The JUnit report, fetched whole, or Failure."""
    try:
        device.fetch("ptest.xml", report)
    except Lost:
        report.unlink(missing_ok=True)
        raise Failure(f"lost the connection to {host} while checking", 2) from None
    except Failure:
        report.unlink(missing_ok=True)
        raise Failure(f"the device sent no JUnit report back: {host} could not be checked", 2) from None
    # A check whose report did not come back, whole, is no result.
    try:
        whole = ElementTree.parse(report).getroot().tag == "testsuites"
    except ElementTree.ParseError:
        whole = False
    if not whole:
        raise Failure(f"the JUnit report from {host} ended halfway ({report}): {host} could not be checked", 2)


def check(target: Destination, build: Path, tarball: Path, limit: str) -> int:
    arch = tarball.name[:-len(".tar.gz")].rpartition("-")[2]
    # It reaches the device's shell, and names the CPU in messages: Debian's
    # names only.
    if not is_plain(arch):
        raise Failure(f"the tarball {tarball.name} names no CPU as Debian names one ('{arch}')", 2)
    cpus = native_machines(arch) or [arch]
    print(f"device-check: sending {tarball.name} ({(tarball.stat().st_blocks + 1) // 2} KB)", flush=True)
    report = report_path(build, target.destination)
    report.parent.mkdir(parents=True, exist_ok=True)
    report.unlink(missing_ok=True)
    started = time.monotonic()
    # What the clean-up at exit needs: the device, until the check finished.
    opened: list[SshDevice] = []

    def cut_short() -> None:
        # The device's side may not have seen that yet: its folder is
        # removed from here as well, over a connection of its own.
        if opened:
            words = target.command(["rm", "-rf", opened[0].folder],
                                   extra=["-o", "BatchMode=yes", "-o", "ConnectTimeout=10"])
            try:
                processes.run(words, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, time_limit=30)
            except processes.TimeLimit:
                pass
    processes.at_exit(cut_short)
    device = connect(target, arch, cpus)
    opened.append(device)
    print(f"device-check: running run-ptest in {device.folder} on the device", flush=True)
    with open(tarball, "rb") as packed:
        unpacked = device.execute(["sh", "-c", UNPACK, "device-check", device.folder], stdin=packed)
    step(unpacked, target.name, endings=(0,))
    status = device.execute(["sh", "-c", RUN, "device-check", device.folder, limit], stdin=subprocess.DEVNULL)
    opened.clear()
    step(status, target.name)
    fetch_report(device, report, target.name)
    device.close()
    print(f"device-check: checked in {int(time.monotonic() - started)} s; JUnit report: {report}", flush=True)
    return status


def main(argv: list[str]) -> int:
    destination, build, user_options, limit = arguments(argv)
    work = Path(tempfile.mkdtemp(prefix="device-check-ssh.", dir=os.environ.get("TMPDIR") or "/tmp"))
    processes.remove_at_exit(work)
    target = Destination.resolve(destination, user_options)
    print(f"=== device-check: {build} on {destination} ({target.name}), over ssh", flush=True)
    return check(target, build, pack(build, work), limit)
