"""What setup installs and makes for presets handed to it as data (as test.sh
and run.sh hand them), and how it picks among a package's alternatives."""
import os
from pathlib import Path

import pytest

from list_exercises import setup
from list_exercises.presets import Preset
from list_exercises.processes import Failure

CROSS = Preset("cross-arm", release="bookworm", arch="arm64",
               packages=["crossbuild-essential-arm64", "qemu-user"], toolkit_packages=[])
NATIVE = Preset("native", packages=["valgrind"], toolkit_packages=["qtbase5-dev"])


def test_a_presets_packages_with_the_basics_and_its_root():
    needs = setup.plan(["native", "cross-arm"], {"native": NATIVE, "cross-arm": CROSS}, {})
    assert needs.packages == sorted({"g++", "make", "cmake", "python3", "valgrind", "qtbase5-dev",
                                     "crossbuild-essential-arm64", "qemu-user"})
    assert needs.roots == [("bookworm", "arm64")]


def test_a_toolkit_of_ones_own_leaves_out_the_toolkit_packages():
    needs = setup.plan(["native"], {"native": NATIVE}, {"Qt5_DIR": "/opt/qt5/lib/cmake/Qt5"})
    assert "qtbase5-dev" not in needs.packages and "valgrind" in needs.packages


def test_scripts_are_set_up_by_name_and_a_root_is_made_once():
    twin = Preset("twin", release="bookworm", arch="arm64")
    needs = setup.plan(["bench", "cross-arm", "twin"], {"cross-arm": CROSS, "twin": twin}, {})
    assert {"hyperfine", "gnuplot-nox", "time"} <= set(needs.packages)
    assert needs.roots == [("bookworm", "arm64")]


@pytest.mark.parametrize("release, arch, said", [
    ("bookworm$(touch ran)", "arm64", "setup: the preset mine's release 'bookworm$(touch ran)' is refused"),
    ("bookworm", "arm64;x", "setup: the preset mine's CPU 'arm64;x' is refused"),
])
def test_a_release_or_cpu_that_is_not_a_plain_name_is_refused_and_nothing_runs(
        monkeypatch, capsys, release, arch, said):
    ran = []
    monkeypatch.setattr(setup, "install", lambda entries: ran.append(entries))
    monkeypatch.setattr(setup.processes, "run", lambda *args, **options: ran.append(args) or 0)
    with pytest.raises(Failure) as refused:
        setup.set_up(["mine"], {"mine": Preset("mine", release=release, arch=arch)})
    assert refused.value.status == 2
    assert said in capsys.readouterr().err
    assert ran == []


def stand_ins(folder: Path, installed: set[str], candidates: set[str]) -> Path:
    """dpkg-query, apt-cache and apt-get that know INSTALLED and CANDIDATES;
    apt-get logs its words."""
    folder.mkdir()
    log = folder / "apt-get.log"
    scripts = {
        "dpkg-query": f'case " {" ".join(installed)} " in *" $3 "*) echo installed ;; *) exit 1 ;; esac',
        "apt-cache": f'case " {" ".join(candidates)} " in *" $2 "*) echo "  Candidate: 1.0" ;;'
                     ' *) echo "  Candidate: (none)" ;; esac',
        "apt-get": f'echo "$*" >>"{log}"',
    }
    for name, body in scripts.items():
        (folder / name).write_text(f"#!/bin/sh\n{body}\n")
        (folder / name).chmod(0o755)
    return log


def test_alternatives_one_installed_will_do_else_the_first_apt_can_install(tmp_path, monkeypatch, capfd):
    log = stand_ins(tmp_path / "bin", installed={"make", "old-name"}, candidates={"new-b"})
    monkeypatch.setenv("PATH", f"{tmp_path / 'bin'}{os.pathsep}{os.environ['PATH']}")
    monkeypatch.setattr(setup.os, "geteuid", lambda: 0)
    setup.install(["make", "new-a|old-name", "new-a|new-b", "gone"])
    assert "setup: installing new-a|new-b gone" in capfd.readouterr().err
    assert log.read_text().splitlines() == ["update -q", "install -y -q --no-install-recommends new-b gone"]


def test_where_it_cannot_install_it_names_what_is_missing_and_goes_on(tmp_path, monkeypatch, capsys):
    log = stand_ins(tmp_path / "bin", installed={"make"}, candidates=set())
    monkeypatch.setenv("PATH", str(tmp_path / "bin"))  # no sudo, and not root
    monkeypatch.setattr(setup.os, "geteuid", lambda: 1000)
    setup.install(["make", "ninja-build"])
    assert "install these, in Debian's names: ninja-build" in capsys.readouterr().err
    assert not log.exists()
