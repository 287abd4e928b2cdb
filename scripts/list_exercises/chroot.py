"""A Debian root run as a device with chroot (device-check, the ssh tests'
servers): entered with none of this machine's environment, its mounts
undone afterwards.

    in_root(root, args)        the command line that runs ARGS in ROOT as
                               root's login would (a shell's script:
                               ["/bin/sh", "-c", SCRIPT, "sh", ARG...])
    mount_in_root(root)        mounts /proc in ROOT (undone by release_root)
    mount_read_only(root, folder)  binds FOLDER of ROOT onto itself, read-only
    release_root(root)         stops whatever still runs in ROOT, undoes its
                               mounts (innermost first) and removes it"""

from __future__ import annotations

import os
import re
import shutil
import signal
import subprocess
from pathlib import Path
from typing import Sequence

from .processes import run, say

ENVIRONMENT = ("PATH=/usr/sbin:/usr/bin:/sbin:/bin", "HOME=/root", "TMPDIR=/tmp", "DEBIAN_FRONTEND=noninteractive")
# What this command mounted, in order.
_mounts: list[Path] = []


def in_root(root: Path, args: Sequence[str]) -> list[str]:
    return ["chroot", str(root), "/usr/bin/env", "-i", *ENVIRONMENT, *args]


def _mount(args: list[str | Path]) -> bool:
    return run(["mount", *args], stderr=subprocess.DEVNULL) == 0


def mount_in_root(root: Path) -> bool:
    try:
        shutil.copyfile("/etc/resolv.conf", root / "etc" / "resolv.conf")
    except OSError:
        pass
    if not _mount(["-t", "proc", "proc", root / "proc"]):
        return False
    _mounts.append(root / "proc")
    return True


def mount_read_only(root: Path, folder: str) -> bool:
    where = root / folder
    if not _mount(["--bind", where, where]):
        return False
    _mounts.append(where)
    return _mount(["-o", "remount,bind,ro", where])


def root_processes(root: Path, proc: Path = Path("/proc")) -> list[int]:
    """The processes that run in ROOT."""
    found = []
    for process in proc.iterdir():
        if not process.name.isdigit():
            continue
        try:
            if os.readlink(process / "root") == str(root):
                found.append(int(process.name))
        except OSError:
            continue
    return sorted(found)


def mounted_below(root: Path, mounts: Path = Path("/proc/self/mounts")) -> list[str]:
    """The mount points below ROOT (their names unescaped, as the kernel
    writes a space as \\040)."""
    below = []
    for line in mounts.read_text().splitlines():
        fields = line.split()
        if len(fields) < 2:
            continue
        point = re.sub(r"\\([0-7]{3})", lambda match: chr(int(match[1], 8)), fields[1])
        if point.startswith(f"{root}/"):
            below.append(point)
    return below


def release_root(root: Path, proc: Path = Path("/proc"), mounts: Path = Path("/proc/self/mounts")) -> bool:
    """Stops what runs in ROOT, undoes the mounts below it and removes it;
    False, saying so, where something is still mounted below it (it is left
    in place)."""
    for pid in root_processes(root, proc):
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass
    for where in reversed([each for each in _mounts if str(each).startswith(f"{root}/")]):
        if run(["umount", where], stderr=subprocess.DEVNULL) != 0:
            run(["umount", "-l", where], stderr=subprocess.DEVNULL)
        _mounts.remove(where)
    if mounted_below(root, mounts):
        say(f"{root} is still mounted on; left in place")
        return False
    shutil.rmtree(root, ignore_errors=True)
    return True
