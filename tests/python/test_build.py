"""What build-preset (and test.sh and run.sh, in-process) hands CMake: the
preset's build and configure presets, the root it holds named to the
toolchain, a device's build in a folder of its own."""
import subprocess
import sys
from pathlib import Path

import pytest

from list_exercises import build
from list_exercises.presets import Preset
from list_exercises.processes import Failure

SCRIPTS = Path(__file__).resolve().parents[2] / "scripts"
ROOT = Path("/cache/sysroot-bookworm-arm64-qt5-qt6")


@pytest.fixture
def steps(monkeypatch):
    ran: list[list[str]] = []
    monkeypatch.setattr(build, "hold_root", lambda preset: ROOT if preset.arch else None)
    monkeypatch.setattr(build, "_step", lambda args, log, quiet: ran.append(args) or 0)
    monkeypatch.setattr(build, "cores", lambda: 2)
    return ran


def test_a_preset_is_configured_with_its_root_and_built_with_its_build_preset(steps, tmp_path):
    arm64 = Preset("arm64", binary_dir=tmp_path / "arm64", release="bookworm", arch="arm64")
    assert build.build(arm64) == tmp_path / "arm64"
    assert steps == [["cmake", "--preset", "arm64", f"-DLISTS_SYSROOT={ROOT}"],
                     ["cmake", "--build", "--preset", "arm64", "--parallel", "2"]]


def test_a_device_build_is_a_folder_of_its_own(steps, tmp_path):
    arm64 = Preset("arm64", binary_dir=tmp_path / "arm64", release="bookworm", arch="arm64")
    assert build.build(arm64, device=True) == tmp_path / "arm64-device"
    assert steps == [["cmake", "--preset", "arm64", f"-DLISTS_SYSROOT={ROOT}", "-B", str(tmp_path / "arm64-device"),
                      "-DLISTS_ON_DEVICE=ON"],
                     ["cmake", "--build", str(tmp_path / "arm64-device"), "--parallel", "2"]]


def test_a_preset_without_a_root_names_none(steps, tmp_path):
    build.build(Preset("qt5", binary_dir=tmp_path / "qt5"))
    assert steps[0] == ["cmake", "--preset", "qt5"]


def test_a_preset_without_a_build_folder_is_refused(steps, capsys):
    with pytest.raises(Failure) as refused:
        build.build(Preset("nowhere"))
    assert refused.value.status == 2 and steps == []
    assert "build-preset: preset nowhere names no build folder (binaryDir)" in capsys.readouterr().err


@pytest.mark.parametrize("release, arch", [("xenial", "amd64"), ("bookworm", "arm64"), ("bullseye", "amd64")])
def test_the_root_is_the_one_make_sysroot_makes(tmp_path, monkeypatch, release, arch):
    monkeypatch.setenv("LISTS_CACHE_DIR", str(tmp_path))
    where = subprocess.run([sys.executable, SCRIPTS / "make-sysroot", "--where", release, arch],
                           capture_output=True, text=True, check=True).stdout.strip()
    assert build.root_of(Preset("mine", release=release, arch=arch)) == Path(where)
    assert build.root_of(Preset("qt5")) is None
