"""Presets resolved as CMake resolves them: the same facts as CMake's own
reading of the project's presets and of a user's, the same names as CMake
lists."""
import json
import shutil
import subprocess
from pathlib import Path

import pytest

from list_exercises import presets

SOURCE_DIR = Path(__file__).resolve().parents[2]
cmake = shutil.which("cmake")
needs_cmake = pytest.mark.skipif(cmake is None, reason="takes CMake")

USER_PRESETS = {
    "version": 3,
    "configurePresets": [
        {"name": "mine", "inherits": ["arm64", "clang"], "binaryDir": "${sourceParentDir}/out/${presetName}-$env{MINE_SUFFIX}",
         "cacheVariables": {"LISTS_QT_VERSION": {"type": "STRING", "value": "6"}},
         "vendor": {"list-exercises/setup": {"packages": ["ninja-build"], "toolkitPackages": ["my-qt6-dev"]}}},
        {"name": "mine-hidden", "hidden": True, "inherits": "qt5"},
        {"name": "of-hidden", "inherits": "mine-hidden", "displayName": "mine, shown"},
    ],
}


def user_source(tmp_path: Path, user: dict) -> Path:
    source = tmp_path / "src"
    source.mkdir()
    shutil.copy(SOURCE_DIR / "CMakePresets.json", source)
    (source / "CMakeUserPresets.json").write_text(json.dumps(user))
    return source


def cmake_facts(source: Path, env: dict[str, str] | None = None) -> list[str]:
    run = subprocess.run([cmake, "-D", f"SOURCE_DIR={source}", "-P",
                          str(SOURCE_DIR / "scripts/lib/preset-facts.cmake")],
                         capture_output=True, text=True, check=True, env=env)
    return run.stdout.splitlines()


@needs_cmake
def test_the_projects_presets_have_cmakes_facts() -> None:
    read = presets.Presets(SOURCE_DIR)
    ours = [line for preset in read.presets() for line in presets.fact_lines(preset)]
    assert ours == cmake_facts(SOURCE_DIR)


@needs_cmake
def test_a_users_presets_have_cmakes_facts(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    source = user_source(tmp_path, USER_PRESETS)
    monkeypatch.setenv("MINE_SUFFIX", "x")
    read = presets.Presets(source)
    ours = [line for preset in read.presets() for line in presets.fact_lines(preset)]
    assert ours == cmake_facts(source, env={"MINE_SUFFIX": "x", "PATH": "/usr/bin:/bin"})
    mine = read.preset("mine")
    assert (mine.arch, mine.qt, mine.binary_dir) == ("arm64", "6", tmp_path / "out" / "mine-x")
    assert mine.toolkit_packages == ["my-qt6-dev"] and "ninja-build" in mine.packages


@needs_cmake
def test_the_names_are_those_cmake_lists(tmp_path: Path) -> None:
    source = user_source(tmp_path, USER_PRESETS)
    listed = subprocess.run([cmake, "--list-presets=configure"], cwd=source,
                            capture_output=True, text=True, check=True).stdout
    names = [line.split('"')[1] for line in listed.splitlines() if line.strip().startswith('"')]
    # (CMake lists the user's presets first; the project's own order is that
    # of the files, its own first, in which test.sh all runs them.)
    assert sorted(names) == sorted(presets.Presets(source).visible)
    assert "mine-hidden" not in names and "of-hidden" in names


@pytest.mark.parametrize("variable, value", [
    ("LISTS_DEBIAN_SUITE", "bookworm;touch /tmp/x"),
    ("LISTS_DEBIAN_ARCH", "../arm64"),
    ("LISTS_DEBIAN_ARCH", "Arm64"),
])
def test_a_release_or_cpu_that_is_not_a_plain_name_is_refused(tmp_path: Path, variable: str, value: str) -> None:
    source = user_source(tmp_path, {"version": 3, "configurePresets": [
        {"name": "odd", "inherits": "arm64", "cacheVariables": {variable: value}}]})
    with pytest.raises(presets.PresetError, match=r"the preset odd's .* is refused"):
        presets.Presets(source).preset("odd")


def test_unknown_names_are_said_at_once(tmp_path: Path) -> None:
    with pytest.raises(presets.PresetError, match=r"^no preset named nosuch alsonot; the presets are: qt5 "):
        presets.Presets(SOURCE_DIR).presets(["qt5", "nosuch", "alsonot"])
