"""make-sysroot [--where] SUITE ARCH

Makes a system root for another CPU, or for this one in another release:
the packages of Debian's release SUITE (bullseye, bookworm, trixie, forky),
or of one of Ubuntu's long-term releases (xenial, bionic, focal, jammy,
noble; its archive verified with the key of Debian's ubuntu-keyring), for
architecture ARCH (s390x, arm64, amd64, ...), unpacked with mmdebstrap
without an emulator and without touching this machine's dpkg, holding what
a build against the toolkit's core module needs: the C and C++ libraries
and their development files, the core libraries with what they load, and
the core modules' development files, of Qt 5 and, from bookworm on, of
Qt 6 with its Qt 5 compatibility module (cmake/debian-releases.txt names
each release's packages). It goes to sysroot-SUITE-ARCH-TOOLKITS (qt5-qt6,
or qt5 for bullseye) in the cache folder ($LISTS_CACHE_DIR, by default
~/.cache/list-exercises): the name says what the root holds, so that a root
made before roots held Qt 6 is never taken for one that does. It is made
once and reused, by one run at a time, beside its place first and moved in
only when complete; a package that cannot be unpacked fails it, and leaves
nothing in the cache. Prints the root's folder; with --where, only that,
without making it. A SUITE or ARCH that is not a plain name is refused
(exit 2).

The packages come from the release's own archive, with its updates and
security archives where they can be had at the moment (list_exercises.roots)."""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
from pathlib import Path

from . import cache, releases
from .names import check_plain
from .processes import Failure, output, remove, remove_at_exit, run, say
from .releases import Release
from .roots import debian_root, needs_mmdebstrap

USAGE = "make-sysroot [--where] SUITE ARCH"
MERGED_USR_HOOKS = "/usr/share/mmdebstrap/hooks/merged-usr"
# Debian 13 packages Ubuntu's archive key; Debian's own key verifies it.
KEYRING_RELEASE = "trixie"
KEYRING = "usr/share/keyrings/ubuntu-archive-keyring.gpg"
# mmdebstrap's extract hook: the development files, downloaded alone (their
# dependencies are the root's already, or not needed), one package a line
# of LISTS_SYSROOT_PACKAGES, into LISTS_SYSROOT_DEBS; unpacked afterwards.
DOWNLOAD_HOOK = (r'''cd "$LISTS_SYSROOT_DEBS" && APT_CONFIG=$MMDEBSTRAP_APT_CONFIG '''
                 r'''xargs -d '\n' -a "$LISTS_SYSROOT_PACKAGES" apt-get download -q -o APT::Sandbox::User=root >&2''')
UNNEEDED = ("usr/share/doc", "usr/share/man", "usr/share/locale")
QT4_CONF = """\
[Paths]
Prefix=../../../..
Headers=include/qt4
Libraries=lib/{multiarch}
Binaries=lib/{multiarch}/qt4/bin
Plugins=lib/{multiarch}/qt4/plugins
Imports=lib/{multiarch}/qt4/imports
Data=share/qt4
Translations=share/qt4/translations
Documentation=share/qt4/doc
Settings=etc/xdg
Examples=lib/qt4/examples
Demos=lib/qt4/demos
"""


def root_name(release: Release, arch: str) -> str:
    return f"sysroot-{release.suite}-{arch}-{release.toolkits}"


def mmdebstrap_options(release: Release, keyring: Path | None) -> list[str]:
    """What mmdebstrap is given for RELEASE's root, besides its CPU, hooks
    and target. The packages are only unpacked, never configured in a
    chroot: that needs no root, and no emulator."""
    options = ["--mode=chrootless", "--variant=extract"]
    # Other than bookworm's, the root must have merged /usr links, or its
    # loader and libraries are not where the programs look for them (and
    # where it is of this machine's CPU, the loader would take this
    # machine's).
    if release.usr == "merged":
        options.append(f"--hook-dir={MERGED_USR_HOOKS}")
    # A testing release's index may carry a Valid-Until that has passed
    # while the archive still serves it.
    if release.archive == "testing":
        options.append('--aptopt=Acquire::Check-Valid-Until "false"')
    # Ubuntu's archive, verified with its key; the toolkits are in universe there.
    if keyring is not None:
        options += [f"--keyring={keyring}", "--components=main universe"]
    options.append("--include=" + ",".join(["libc6-dev", release.cxx_dev, *release.libraries]))
    options.append(f"--extract-hook={DOWNLOAD_HOOK}")
    return options


def required_files(release: Release, multiarch: str) -> list[str]:
    required = ["usr/include/stdio.h", f"usr/include/{multiarch}/qt5/QtCore/QList"]
    if release.qt6:
        required += [f"usr/include/{multiarch}/qt6/QtCore/QList",
                     f"usr/include/{multiarch}/qt6/QtCore5Compat/QLinkedList"]
    if release.qt4:
        required += ["usr/include/qt4/QtCore/QList", f"usr/lib/{multiarch}/libQtCore.so"]
    return required


def unpack(debs: Path, stage: Path, release: Release) -> None:
    """The development files downloaded into DEBS, unpacked into the root:
    any that cannot be fails it."""
    packages = sorted(debs.glob("*.deb"))
    if not packages:
        raise Failure(f"apt-get downloaded none of {' '.join(release.development_files)} "
                      f"for the {release.suite} root")
    for deb in packages:
        if run(["dpkg-deb", "-x", deb, stage], stdout=sys.stderr) != 0:
            raise Failure(f"cannot unpack {deb.name} into the {release.suite} root")


def relative_links(stage: Path) -> None:
    """A link that points to an absolute path (mips64el's lib64/ld.so.1)
    would be followed on this machine, not in the root: each is made
    relative to its place."""
    for folder, dirs, files in os.walk(stage):
        for name in dirs + files:
            link = Path(folder, name)
            if not link.is_symlink():
                continue
            target = os.readlink(link)
            if not target.startswith("/"):
                continue
            relative = os.path.relpath(os.path.realpath(f"{stage}{target}"), os.path.realpath(link.parent))
            link.unlink()
            link.symlink_to(relative)


def finish(stage: Path, release: Release, arch: str, multiarch: str) -> None:
    """What makes the unpacked packages at STAGE a root to build against."""
    for unneeded in UNNEEDED:
        remove(stage / unneeded)
    relative_links(stage)
    for required in required_files(release, multiarch):
        if not (stage / required).exists():
            raise Failure(f"the {release.suite} {arch} root lacks {required}")
    # Qt 4's qmake (which FindQt4 asks where everything is) reports this
    # root's folders: a qt.conf beside it names them relative to itself.
    if release.qt4:
        (stage / f"usr/lib/{multiarch}/qt4/bin/qt.conf").write_text(QT4_CONF.format(multiarch=multiarch))
    # Without a loader's cache of its own, qemu-user hands the root's loader
    # this machine's, which may lead it to this machine's libraries of the
    # same CPU (its 32-bit x86 ones): an empty one makes it search the
    # root's own folders.
    (stage / "etc/ld.so.cache").write_bytes(b"")
    # What it was made of, for whoever looks.
    (stage / ".complete").write_text(
        f"packages: {' '.join(['libc6-dev', release.cxx_dev, *release.libraries])}; "
        f"unpacked alone: {' '.join(release.development_files)}\n")


def make_root(stage: Path, release: Release, arch: str, multiarch: str, keyring: Path | None) -> None:
    say(f"making the {release.suite} {arch} system root")
    debs, packages = Path(f"{stage}.debs"), Path(f"{stage}.packages")
    for beside in (debs, packages):
        remove_at_exit(beside)
    try:
        debs.mkdir()
        packages.write_text("".join(name + "\n" for name in release.development_files))
        try:
            debian_root(release.suite, arch, mmdebstrap_options(release, keyring), stage,
                        {"LISTS_SYSROOT_DEBS": str(debs), "LISTS_SYSROOT_PACKAGES": str(packages)})
        except Failure as failure:
            if release.archive == "testing":
                say(failure.message)
                raise Failure(f"{release.suite} is Debian's testing release, and its archive moves: a package "
                              "that a root of it takes may have been renamed, replaced or be mid-migration, "
                              "so that its root cannot be made now", failure.status) from None
            raise
        unpack(debs, stage, release)
    finally:
        remove(debs)
        remove(packages)
    finish(stage, release, arch, multiarch)


def make_keyring(stage: Path) -> None:
    say("taking Ubuntu's archive key from Debian's ubuntu-keyring")
    host = output(["dpkg", "--print-architecture"]).strip()
    debian_root(KEYRING_RELEASE, host, ["--mode=chrootless", "--variant=extract", "--include=ubuntu-keyring"], stage)


def multiarch_of(arch: str) -> str:
    try:
        return output(["dpkg-architecture", "-a", arch, "-qDEB_HOST_MULTIARCH"], stderr=subprocess.DEVNULL).strip()
    except (Failure, OSError):
        raise Failure(f"unknown CPU '{arch}': not a Debian architecture (amd64, arm64, armhf, s390x, ...)", 2) from None


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="make-sysroot", usage=USAGE, description=__doc__.split("\n", 2)[2],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--where", action="store_true", help="print the root's folder alone, without making it")
    parser.add_argument("suite", metavar="SUITE")
    parser.add_argument("arch", metavar="ARCH")
    arguments = parser.parse_args(argv)
    check_plain("the release", arguments.suite)
    check_plain("the CPU", arguments.arch)
    try:
        release = releases.release(arguments.suite)
    except releases.TableError as error:
        raise Failure(str(error), 2) from None
    name = root_name(release, arguments.arch)
    if arguments.where:
        print(cache.path(name))
        return 0
    multiarch = multiarch_of(arguments.arch)
    needs_mmdebstrap()
    keyring = None
    if release.ubuntu:
        keyring = cache.take("ubuntu-keyring", make_keyring) / KEYRING
    print(cache.take(name, lambda stage: make_root(stage, release, arguments.arch, multiarch, keyring)))
    return 0
