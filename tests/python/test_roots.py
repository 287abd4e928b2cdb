"""Roots made with mmdebstrap, against a stand-in mmdebstrap that runs its
hooks as mmdebstrap does (sh -c HOOK exec ROOT) and an apt-get whose update
refuses one archive: the command lines built, names refused, additions left
out, failures said in one line; what makes unpacked packages a system root;
binfmt handlers and chroot's mounts against folders of the test's own."""
import os
import shutil
import textwrap
from pathlib import Path

import pytest

from list_exercises import binfmt, chroot, releases, roots, sysroot
from list_exercises.processes import Failure

MMDEBSTRAP = textwrap.dedent("""\
    #!/bin/sh
    echo "$*" >>"$TEST_WORK/mmdebstrap-calls"
    setup='' extract='' suite='' target=''
    for option; do
        case $option in
            --setup-hook=*) setup=${option#*=} ;;
            --extract-hook=*) extract=${option#*=} ;;
            --*) ;;
            *) if [ -z "$suite" ]; then suite=$option; elif [ -z "$target" ]; then target=$option; fi ;;
        esac
    done
    mkdir -p "$target/etc/apt" "$target/var/lib/apt/lists"
    printf 'deb http://release.invalid/debian %s main\\n' "$suite" >"$target/etc/apt/sources.list"
    printf 'deb [signed-by=/k.gpg] file:///refused %s-security main\\n' "$suite" >>"$target/etc/apt/sources.list"
    printf 'deb http://release.invalid/debian %s-updates main\\n' "$suite" >>"$target/etc/apt/sources.list"
    printf 'Origin: Debian\\nDate: Tue, 08 Dec 2026 09:41:03 UTC\\n' >"$target/var/lib/apt/lists/x_InRelease"
    export MMDEBSTRAP_APT_CONFIG=/dev/null
    sh -c "$setup" exec "$target" || { echo "E: setup hook failed" >&2; exit 1; }
    [ -z "$FAIL_WITH" ] || { echo "$FAIL_WITH" >&2; echo "W: Some index files failed to download" >&2; exit 1; }
    sh -c "$extract" exec "$target" || { echo "E: extract hook failed" >&2; exit 1; }
    """)
APT_GET = textwrap.dedent("""\
    #!/bin/sh
    for word; do case $word in Dir::Etc::SourceList=*) list=${word#*=} ;; esac; done
    if grep -q refused "$list"; then
        echo "E: Failed to fetch file:///refused/dists/x/InRelease  File has unexpected size (1 != 2). Mirror sync in progress? [IP: 192.0.2.1 80]"
        exit 100
    fi
    """)


@pytest.fixture
def stand_ins(tmp_path, monkeypatch):
    bin_folder = tmp_path / "bin"
    bin_folder.mkdir()
    for name, text in (("mmdebstrap", MMDEBSTRAP), ("apt-get", APT_GET)):
        (bin_folder / name).write_text(text)
        (bin_folder / name).chmod(0o755)
    monkeypatch.setenv("PATH", f"{bin_folder}{os.pathsep}{os.environ['PATH']}")
    monkeypatch.setenv("TEST_WORK", str(tmp_path))
    monkeypatch.setenv("LISTS_CACHE_DIR", str(tmp_path / "cache"))
    monkeypatch.delenv("LISTS_DEBIAN_MIRROR", raising=False)
    monkeypatch.delenv("FAIL_WITH", raising=False)
    return tmp_path


def test_the_root_is_made_without_the_addition_that_cannot_be_had(stand_ins, capsys):
    target = stand_ins / "root"
    roots.debian_root("bookworm", "arm64", ["--variant=minbase"], target)
    said = capsys.readouterr().err
    assert ": left out file:///refused bookworm-security, whose index cannot be had now: File has unexpected " \
           "size (1 != 2). Mirror sync in progress?\n" in said
    assert (target / "etc/apt/sources.list").read_text() == (
        "deb http://release.invalid/debian bookworm main\ndeb http://release.invalid/debian bookworm-updates main\n")
    assert Path(f"{target}.fetched").read_text() == "2026-12-08\n"
    # Nothing of the run is left beside the root.
    assert sorted(path.name for path in stand_ins.iterdir()) == ["bin", "mmdebstrap-calls", "root", "root.fetched"]


def test_a_root_that_cannot_be_made_is_said_in_one_line_naming_the_archive(stand_ins, monkeypatch):
    monkeypatch.setenv("FAIL_WITH", "E: Failed to fetch http://release.invalid/debian/dists/bookworm/InRelease  "
                                    "Could not resolve 'release.invalid'")
    with pytest.raises(Failure) as failed:
        roots.debian_root("bookworm", "arm64", [], stand_ins / "root")
    assert failed.value.message == ("cannot make the bookworm arm64 root from http://release.invalid/debian "
                                    "(release bookworm, CPU arm64): Could not resolve 'release.invalid'")
    assert not list(stand_ins.glob("root.*"))


@pytest.mark.parametrize("said, reason", [
    ("W: chrootless mode as root\nW: an index\nE: a failure\n", "a failure"),
    ("E: Failed to fetch http://x/y  Hash Sum mismatch [IP: 192.0.2.1 80]\n", "Hash Sum mismatch"),
    ("I: nothing of apt's\n", ""),
])
def test_apts_reason(said, reason):
    assert roots.apt_reason(said) == reason


def test_the_mmdebstrap_command_line_its_hooks_fixed_texts(monkeypatch, tmp_path):
    monkeypatch.setenv("LISTS_DEBIAN_MIRROR", str(tmp_path / "mirror.list"))
    target = tmp_path / "a $(touch ran) root"
    made = roots.root_run("trixie", "riscv64", ["--variant=minbase", "--format=tar"], target)
    assert made.command() == [
        "mmdebstrap", "--arch=riscv64", "--variant=minbase", "--format=tar",
        f"--setup-hook={roots.LEAVE_OUT_HOOK}", f"--extract-hook={roots.RELEASES_HOOK}",
        "trixie", str(target), str(tmp_path / "mirror.list")]
    # What the hooks need of the run is in their environment.
    assert made.environment()["LISTS_ROOT_SUITE"] == "trixie"
    assert made.environment()["LISTS_ROOT_NOTES"] == f"{target}.notes"
    for hook in (roots.LEAVE_OUT_HOOK, roots.RELEASES_HOOK, sysroot.DOWNLOAD_HOOK):
        assert "trixie" not in hook and "touch" not in hook


@pytest.mark.parametrize("suite, expected, left_out", [
    ("bookworm", [], ["--hook-dir", "--keyring", "--aptopt"]),
    ("trixie", [f"--hook-dir={sysroot.MERGED_USR_HOOKS}"], ["--keyring", "--aptopt"]),
    ("forky", ['--aptopt=Acquire::Check-Valid-Until "false"'], ["--keyring"]),
    ("jammy", ["--keyring=/k/ubuntu.gpg", "--components=main universe"], ["--aptopt"]),
])
def test_each_releases_mmdebstrap_options(suite, expected, left_out):
    release = releases.release(suite)
    options = sysroot.mmdebstrap_options(release, Path("/k/ubuntu.gpg") if release.ubuntu else None)
    assert options[:2] == ["--mode=chrootless", "--variant=extract"]
    assert all(option in options for option in expected)
    assert not [option for option in options if option.split("=")[0] in left_out]
    assert f"--include=libc6-dev,{release.cxx_dev},{','.join(release.libraries)}" in options
    assert options[-1] == f"--extract-hook={sysroot.DOWNLOAD_HOOK}"


@pytest.mark.parametrize("argv, said", [
    (["bookworm$(touch ran)", "arm64"], "the release 'bookworm$(touch ran)' is refused"),
    (["--where", "bookworm", "../arm64"], "the CPU '../arm64' is refused"),
])
def test_names_that_are_not_plain_are_refused_and_nothing_runs(stand_ins, argv, said):
    with pytest.raises(Failure) as failed:
        sysroot.main(argv)
    assert (failed.value.status, failed.value.message.startswith(said)) == (2, True)
    with pytest.raises(Failure):
        roots.debian_root("a b", "arm64", [], stand_ins / "root")
    with pytest.raises(Failure):
        roots.minimal_root("bookworm", "arm 64")
    assert not (stand_ins / "mmdebstrap-calls").exists()


def test_where_names_the_root_by_what_it_holds(stand_ins, capsys):
    for argv in (["--where", "bionic", "i386"], ["--where", "bullseye", "amd64"], ["--where", "noble", "amd64"]):
        assert sysroot.main(argv) == 0
    assert capsys.readouterr().out.split() == [str(stand_ins / "cache" / name) for name in (
        "sysroot-bionic-i386-qt4-qt5", "sysroot-bullseye-amd64-qt5", "sysroot-noble-amd64-qt5-qt6")]
    assert not (stand_ins / "cache").exists()


def unpacked(stage: Path, multiarch: str, *headers: str) -> Path:
    for header in ("usr/include/stdio.h", *headers):
        (stage / header).parent.mkdir(parents=True, exist_ok=True)
        (stage / header).write_text("")
    for folder in ("etc", "usr/share/doc/libc6", f"usr/lib/{multiarch}"):
        (stage / folder).mkdir(parents=True, exist_ok=True)
    return stage


def test_unpacked_packages_made_a_root_to_build_against(tmp_path):
    multiarch = "mips64el-linux-gnuabi64"
    stage = unpacked(tmp_path / "stage", multiarch, f"usr/include/{multiarch}/qt5/QtCore/QList",
                     f"usr/include/{multiarch}/qt6/QtCore/QList", f"usr/include/{multiarch}/qt6/QtCore5Compat/QLinkedList")
    (stage / f"usr/lib/{multiarch}/ld.so.1").write_text("")
    (stage / "usr/lib64").mkdir()
    (stage / "lib64").symlink_to("usr/lib64")
    (stage / "usr/lib64/ld.so.1").symlink_to(f"/usr/lib/{multiarch}/ld.so.1")
    release = releases.release("trixie")
    sysroot.finish(stage, release, "mips64el", multiarch)
    assert os.readlink(stage / "usr/lib64/ld.so.1") == f"../lib/{multiarch}/ld.so.1"
    assert (stage / "lib64/ld.so.1").resolve() == (stage / f"usr/lib/{multiarch}/ld.so.1").resolve()
    assert not (stage / "usr/share/doc").exists()
    assert (stage / "etc/ld.so.cache").read_bytes() == b""
    assert (stage / ".complete").read_text() == (
        "packages: libc6-dev libstdc++-14-dev libqt5core5t64 libqt6core6t64 libqt6core5compat6; unpacked alone: "
        + " ".join(release.development_files) + "\n")


def test_qt4s_qmake_is_told_the_roots_folders(tmp_path):
    multiarch = "i386-linux-gnu"
    stage = unpacked(tmp_path / "stage", multiarch, f"usr/include/{multiarch}/qt5/QtCore/QList",
                     "usr/include/qt4/QtCore/QList", f"usr/lib/{multiarch}/libQtCore.so",
                     f"usr/lib/{multiarch}/qt4/bin/qmake")
    sysroot.finish(stage, releases.release("bionic"), "i386", multiarch)
    conf = (stage / f"usr/lib/{multiarch}/qt4/bin/qt.conf").read_text()
    assert "Prefix=../../../..\n" in conf and f"Libraries=lib/{multiarch}\n" in conf


def test_a_root_that_lacks_a_toolkit_header_is_refused(tmp_path):
    stage = unpacked(tmp_path / "stage", "aarch64-linux-gnu", "usr/include/aarch64-linux-gnu/qt5/QtCore/QList")
    with pytest.raises(Failure, match="the bookworm arm64 root lacks usr/include/aarch64-linux-gnu/qt6/QtCore/QList"):
        sysroot.finish(stage, releases.release("bookworm"), "arm64", "aarch64-linux-gnu")


@pytest.mark.skipif(shutil.which("dpkg-deb") is None, reason="takes dpkg-deb")
def test_development_files_that_cannot_be_unpacked_fail_the_root(tmp_path):
    debs = tmp_path / "debs"
    debs.mkdir()
    release = releases.release("bookworm")
    with pytest.raises(Failure, match="apt-get downloaded none of qtbase5-dev .* for the bookworm root"):
        sysroot.unpack(debs, tmp_path, release)
    (debs / "qt5-qmake_1_arm64.deb").write_bytes(b"!<arch>\nnot whole")
    with pytest.raises(Failure, match="cannot unpack qt5-qmake_1_arm64.deb into the bookworm root"):
        sysroot.unpack(debs, tmp_path, release)


RULE = (r":qemu-aarch64:M::\x7f\x45\x4c\x46\x02:\xff\xff\xff\xff\xff:/usr/libexec/qemu-binfmt/aarch64-binfmt-P:OPF")


@pytest.fixture
def binfmt_folders(tmp_path):
    (tmp_path / "binfmt").mkdir()
    (tmp_path / "binfmt" / "status").write_text("enabled\n")
    (tmp_path / "rules").mkdir()
    (tmp_path / "rules" / "qemu-aarch64.conf").write_text("# qemu's\n" + RULE + "\n")
    return binfmt.Binfmt(tmp_path / "binfmt", tmp_path / "rules")


def test_a_binfmt_handler_of_its_own_registered_and_taken_out(binfmt_folders):
    handlers = binfmt_folders
    handlers.ready("aarch64")
    registered = (handlers.folder / "register").read_text()
    # Flag O left out (a program with its standard input closed would find
    # it open), F kept.
    assert registered == (":list-exercises-qemu-aarch64:M::\\x7f\\x45\\x4c\\x46\\x02:\\xff\\xff\\xff\\xff\\xff:"
                          "/usr/libexec/qemu-binfmt/aarch64-binfmt-P:PF\n")
    handlers.restore()
    assert (handlers.folder / "list-exercises-qemu-aarch64").read_text() == "-1\n"
    assert handlers.handlers == []


def test_binfmt_says_why_it_cannot(binfmt_folders):
    with pytest.raises(Failure, match=r"no .*qemu-s390x.conf \(package qemu-user-static\) to register s390x's"):
        binfmt_folders.ready("s390x")
    (binfmt_folders.rules / "qemu-s390x.conf").write_text(RULE + "\n")
    with pytest.raises(Failure, match="holds no rule for qemu-s390x"):
        binfmt_folders.ready("s390x")
    assert binfmt.registration(":qemu-arm:M::a:b:/q:C", "arm") == ":list-exercises-qemu-arm:M::a:b:/q:F"


def test_a_root_entered_with_none_of_this_machines_environment(tmp_path):
    assert chroot.in_root(tmp_path, ["/bin/sh", "-c", 'exec "$@"', "sh", "id"]) == [
        "chroot", str(tmp_path), "/usr/bin/env", "-i", "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "HOME=/root",
        "TMPDIR=/tmp", "DEBIAN_FRONTEND=noninteractive", "/bin/sh", "-c", 'exec "$@"', "sh", "id"]


def test_a_root_released_unless_something_is_mounted_below_it(tmp_path, capsys):
    root = tmp_path / "a root"
    (root / "proc").mkdir(parents=True)
    proc = tmp_path / "proc"
    for pid, its_root in (("12", root), ("13", tmp_path), ("self", root)):
        (proc / pid).mkdir(parents=True)
        (proc / pid / "root").symlink_to(its_root)
    assert chroot.root_processes(root, proc) == [12]
    mounts = tmp_path / "mounts"
    mounts.write_text(f"proc {str(root).replace(' ', chr(92) + '040')}/proc proc rw 0 0\n")
    assert chroot.mounted_below(root, mounts) == [f"{root}/proc"]
    # (No process of the test's own to stop.)
    (tmp_path / "no-process").mkdir()
    assert chroot.release_root(root, tmp_path / "no-process", mounts) is False
    assert "is still mounted on; left in place" in capsys.readouterr().err and root.exists()
    mounts.write_text(f"proc {tmp_path}/elsewhere/proc proc rw 0 0\n")
    assert chroot.release_root(root, tmp_path / "no-process", mounts) is True
    assert not root.exists()

