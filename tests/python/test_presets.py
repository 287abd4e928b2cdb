"""Presets resolved as CMake resolves them: the same cache variables as CMake
gives the project's presets and a user's, the same names as CMake lists."""
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


def cmake_variables(source: Path, name: str) -> dict[str, str]:
    """The cache variables that CMake itself gives the preset NAME (shown
    before it would configure; -N leaves the build folder alone)."""
    run = subprocess.run([cmake, "--preset", name, "-N"], cwd=source,
                         capture_output=True, text=True, check=False)
    shown: dict[str, str] = {}
    for line in run.stdout.splitlines():
        variable, equals, value = line.strip().partition("=")
        if equals and value.startswith('"'):
            shown[variable.split(":")[0]] = value.strip('"')
    return shown


def facts_as_cmake_gives_them(source: Path, name: str) -> tuple[str, str, str]:
    shown = cmake_variables(source, name)
    return tuple(shown.get(variable, "") for variable in
                 ("LISTS_QT_VERSION", "LISTS_DEBIAN_SUITE", "LISTS_DEBIAN_ARCH"))


@needs_cmake
def test_the_projects_presets_have_cmakes_cache_variables() -> None:
    read = presets.Presets(SOURCE_DIR)
    for preset in read.presets():
        assert (preset.qt, preset.release, preset.arch) == facts_as_cmake_gives_them(SOURCE_DIR, preset.name), preset.name


@needs_cmake
def test_a_users_presets_resolve_as_cmake_resolves_them(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    source = user_source(tmp_path, USER_PRESETS)
    monkeypatch.setenv("MINE_SUFFIX", "x")
    read = presets.Presets(source)
    for name in ("mine", "of-hidden"):
        preset = read.preset(name)
        assert (preset.qt, preset.release, preset.arch) == facts_as_cmake_gives_them(source, name)
    mine = read.preset("mine")
    assert (mine.arch, mine.qt, mine.binary_dir) == ("arm64", "6", tmp_path / "out" / "mine-x")
    # Tools add up over what it inherits; a toolkit is the first given.
    assert mine.toolkit_packages == ["my-qt6-dev"]
    assert {"ninja-build", "clang", "crossbuild-essential-arm64"} <= set(mine.packages)
    assert read.preset("of-hidden").display_name == "mine, shown"
    assert read.preset("of-hidden").toolkit_packages == read.preset("qt5").toolkit_packages


def test_the_facts_lines_are_those_the_commands_read() -> None:
    arm64 = presets.Presets(SOURCE_DIR).preset("arm64")
    lines = presets.fact_lines(arm64)
    assert lines[:5] == ["arm64 name arm64", f"arm64 binaryDir {SOURCE_DIR}/build/arm64",
                         "arm64 qt 5", "arm64 release bookworm", "arm64 arch arm64"]
    assert "arm64 packages crossbuild-essential-arm64" in lines
    assert lines[-1].startswith("arm64 displayName ")


def test_the_docs_table_is_the_presets_own() -> None:
    shown = presets.shown_table((SOURCE_DIR / "docs/building.md").read_text())
    assert shown == presets.table(presets.Presets(SOURCE_DIR, users=False))


def test_the_table_leaves_out_the_users_presets(tmp_path: Path) -> None:
    source = user_source(tmp_path, USER_PRESETS)
    assert "`mine`" not in presets.table(presets.Presets(source, users=False))
    assert "mine" in presets.Presets(source).visible


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
