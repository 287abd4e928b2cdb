"""Tending the cache: what it holds and how big, its limit, pruning to it,
clearing, refreshing an entry (scripts/cache), and the prune that a run
does by itself after making an entry."""

from __future__ import annotations

import argparse
import math
import os
import re
import stat
import subprocess
import time
from pathlib import Path

from . import cache
from .names import check_plain
from .processes import Failure, output, run, say, try_lock

UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}


def limit() -> int:
    """The limit in bytes: $LISTS_CACHE_LIMIT, 20G by default."""
    text = os.environ.get("LISTS_CACHE_LIMIT") or "20G"
    found = re.fullmatch(r"(\d+(?:\.\d+)?)([KMGT]?)", text.strip())
    if not found:
        raise Failure(f"'{text}' is not a size (such as 20G or 500M)", 2)
    return int(float(found[1]) * UNITS[found[2]])



def size_text(size: int) -> str:
    """SIZE as people read it, as numfmt --to=iec-i --suffix=B says it
    (412MiB, 1.5GiB): rounded up, one decimal below 10."""
    value, unit = float(size), ""
    for larger in ("Ki", "Mi", "Gi", "Ti"):
        # (Rounded up to 1024 of a unit, it is one of the next.)
        if value < 1024 and (not unit or math.ceil(round(value, 6)) < 1024):
            break
        value, unit = value / 1024, larger
    if not unit:
        return f"{size}B"
    if value < 10:
        tenths = math.ceil(round(value * 10, 6))
        if tenths < 100:
            return f"{tenths / 10:.1f}{unit}B"
        value = 10
    return f"{math.ceil(round(value, 6))}{unit}B"



def disk_bytes(where: Path) -> int:
    """The disk space WHERE takes, as du -skx counts it: a file of several
    links once, nothing of what is mounted below it."""
    try:
        top = where.lstat()
    except OSError:
        return 0
    seen: set[tuple[int, int]] = set()
    total = 0
    for root, dirs, files in os.walk(where) if stat.S_ISDIR(top.st_mode) else [("", [], [])]:
        for each in dirs + files:
            try:
                info = os.lstat(os.path.join(root, each))
            except OSError:
                continue
            if info.st_dev != top.st_dev or (info.st_nlink > 1 and (info.st_dev, info.st_ino) in seen):
                continue
            seen.add((info.st_dev, info.st_ino))
            total += info.st_blocks * 512
        dirs[:] = [d for d in dirs if os.lstat(os.path.join(root, d)).st_dev == top.st_dev]
    # (du counts in KiB, rounded up.)
    return math.ceil((total + top.st_blocks * 512) / 1024) * 1024


def entries() -> list[str]:
    """The names of the entries, least recently used first."""
    found = []
    for lock_file in cache.folder().glob(".*.lock"):
        name = lock_file.name[1:-len(".lock")]
        try:
            found.append((int(cache.path(name).lstat().st_mtime), name))
        except OSError:
            continue
    return [name for _, name in sorted(found)]



def remove(name: str) -> bool:
    """Removes the entry NAME unless a run holds it (False then)."""
    lock_file = cache.lock_path(name)
    if not lock_file.exists():
        return True
    fd = try_lock(lock_file)
    if fd is None:
        return False
    try:
        cache.sweep(name)
        if cache.path(name).exists() or cache.path(name).is_symlink():
            cache.discard(cache.path(name))
        (cache.folder() / f".{name}.fetched").unlink(missing_ok=True)
        return True
    finally:
        os.close(fd)



def prune(most: int) -> list[str]:
    """Removes the least recently used entries until the cache holds MOST
    bytes at most; never one that a run holds. Says what it removed and
    left, a line each."""
    if not cache.folder().is_dir():
        return []
    used, said = disk_bytes(cache.folder()), []
    for name in entries():
        if used <= most:
            break
        size = disk_bytes(cache.path(name))
        if remove(name):
            said.append(f"removed {name} ({size_text(size)})")
            used -= size
        else:
            said.append(f"left {name}, which a run holds")
    return said



def prune_after_making() -> None:
    try:
        most = limit()
    except Failure:
        return
    used = disk_bytes(cache.folder())
    if used <= most:
        return
    pruned = "; ".join(prune(most)) or "no entry could be removed"
    say(f"the cache held {size_text(used)}, past its limit of {size_text(most)}: {pruned};"
        " scripts/cache lists what is left")


USAGE = """\
cache [--limit SIZE] [list]
       cache [--limit SIZE] prune
       cache clear
       cache refresh NAME
       cache --where"""
DESCRIPTION = """\
Tends the cache that system roots and device roots are made into once per
machine and shared by every clone: $LISTS_CACHE_DIR, by default
${XDG_CACHE_HOME:-~/.cache}/list-exercises.
- list: each entry with its size, the day its packages were fetched (the
  newest date of the archives' signed indexes it was made from), when it was
  last used, and the presets that use it; then the total and the limit.
- prune: removes the least recently used entries until the cache holds no
  more than the limit (SIZE, else $LISTS_CACHE_LIMIT, else 20G; K, M, G, T in
  powers of 1024). Runs do so by themselves after making an entry.
- clear: removes every entry.
- refresh NAME: makes the entry NAME anew beside the old one, which it
  replaces by a rename once complete.
An entry that a run holds is never removed or replaced: prune, clear and
refresh leave it and say so. --where prints the cache folder."""


def presets_using(name: str) -> str:
    """The presets of the release and CPU that the entry NAME is made for."""
    if name.startswith("sysroot-"):
        words = name.split("-")
        release, arch = words[1:3] if len(words) > 2 else ("", "")
    elif name.startswith("device-root-") and name.endswith(".tar"):
        words = name[:-len(".tar")].split("-")
        release, arch = words[2:4] if len(words) > 3 else ("", "")
    else:
        return ""
    from .presets import PresetError, Presets
    using = []
    try:
        presets = Presets()
    except PresetError:
        return ""
    for each in presets.visible:
        try:
            preset = presets.preset(each)
        except PresetError:
            continue
        if preset.release == release and preset.arch == arch:
            using.append(each)
    return " ".join(using)


def listing() -> list[str]:
    rows = [["ENTRY", "SIZE", "FETCHED", "LAST USED", "PRESETS"]]
    names = entries()
    for name in names:
        entry = cache.path(name)
        rows.append([name, size_text(disk_bytes(entry)), cache.fetched(name) or "unknown",
                     time.strftime("%Y-%m-%d %H:%M", time.localtime(entry.lstat().st_mtime)),
                     presets_using(name)])
    lines = []
    if names:
        widths = [max(len(row[column]) for row in rows) for column in range(len(rows[0]))]
        lines = ["  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() for row in rows]
    count = "1 entry" if len(names) == 1 else f"{len(names)} entries"
    lines.append(f"{count}, {size_text(disk_bytes(cache.folder()))} of a limit of {size_text(limit())},"
                 f" in {cache.folder()}")
    return lines


def refresh(name: str) -> None:
    check_plain("the entry's name", name)
    # An entry that a run holds is left to it: made anew under a build or
    # the tests, it would change under them.
    lock_file = cache.lock_path(name)
    if lock_file.exists():
        fd = try_lock(lock_file)
        if fd is None:
            raise Failure(f"left {name}, which a run holds: refresh it once that run has ended")
        os.close(fd)
    os.environ["LISTS_CACHE_REFRESH"] = name
    if name.startswith("sysroot-") and name.count("-") >= 2:
        _, release, arch = name.split("-")[:3]
        check_plain(f"the release in {name}", release)
        check_plain(f"the CPU in {name}", arch)
        make_sysroot = Path(__file__).resolve().parents[1] / "make-sysroot"
        # (A root of a name that make-sysroot no longer makes cannot be.)
        try:
            where = output([make_sysroot, "--where", release, arch], stderr=subprocess.DEVNULL).strip()
        except Failure:
            where = ""
        if where != str(cache.path(name)):
            raise Failure(f"{name} is not a root that scripts/make-sysroot makes now:"
                          " remove it with 'cache prune' or 'cache clear'")
        if run([make_sysroot, release, arch], stdout=subprocess.DEVNULL) != 0:
            raise Failure()
    elif name.startswith("device-root-") and name.endswith(".tar") and name.count("-") >= 3:
        release, arch = name[:-len(".tar")].split("-")[2:4]
        check_plain(f"the release in {name}", release)
        check_plain(f"the CPU in {name}", arch)
        from .roots import minimal_root
        minimal_root(release, arch)
    else:
        raise Failure(f"no command makes an entry named {name} (sysroot-..., device-root-....tar)", 2)
    say(f"{name} is made anew (packages of {cache.fetched(name) or 'an unknown day'})")


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="cache", usage=USAGE, description=DESCRIPTION,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--limit", metavar="SIZE", help="the limit for list and prune")
    parser.add_argument("--where", action="store_true", help="print the cache folder")
    parser.add_argument("command", nargs="?", default="list", choices=["list", "prune", "clear", "refresh"])
    parser.add_argument("name", nargs="?", help="the entry to refresh")
    args = parser.parse_args(argv)
    if args.where and (argv != ["--where"]) or (args.command == "refresh") != (args.name is not None):
        parser.error("wrong arguments")
    if args.limit is not None:
        os.environ["LISTS_CACHE_LIMIT"] = args.limit
    if args.where:
        print(cache.folder())
    elif args.command == "list":
        print("\n".join(listing()))
    elif args.command in ("prune", "clear"):
        for line in prune(limit() if args.command == "prune" else -1):
            print(f"cache: {line}", flush=True)
    else:
        refresh(args.name)
    return 0
