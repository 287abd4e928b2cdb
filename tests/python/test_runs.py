"""Which presets test.sh and run.sh take, and how a run goes on past a preset
that fails (its set-up, its build or its tests) but stops at a cache that
cannot be trusted."""
import json
import shutil
from pathlib import Path

import pytest

from list_exercises import build, presets, runs
from list_exercises.presets import Preset
from list_exercises.processes import Failure

SOURCE_DIR = Path(__file__).resolve().parents[2]


@pytest.mark.parametrize("argv, names, device", [
    ([], ["qt5"], []),
    (["all"], [], []),
    # ("all" is a name of its own only alone: with others it is no preset.)
    (["all", "qt5"], ["all", "qt5"], []),
    (["arm64", "--device", "board", "-F", "config"], ["arm64"], ["board", "-F", "config"]),
])
def test_the_presets_and_the_device_taken(argv, names, device):
    assert runs.test_arguments(argv) == (names, device)


@pytest.mark.parametrize("argv", [
    ["arm64", "--device"], ["all", "--device", "board"], ["-x", "--device", "board"],
    ["arm64", "--device", "-F", "config"],
])
def test_a_device_run_not_as_its_usage_says_is_refused(argv, capsys):
    with pytest.raises(Failure) as refused:
        runs.test_arguments(argv)
    assert refused.value.status == 2
    assert capsys.readouterr().err == runs.DEVICE_USAGE + "\n"


def source_with(tmp_path: Path, user: dict) -> Path:
    source = tmp_path / "src"
    source.mkdir(parents=True)
    shutil.copy(SOURCE_DIR / "CMakePresets.json", source)
    (source / "CMakeUserPresets.json").write_text(json.dumps(user))
    return source


def chosen(monkeypatch, source: Path, names: list[str], steps: bool = True) -> list[str]:
    monkeypatch.setattr(build, "Presets", lambda: presets.Presets(source))
    return [preset.name for preset in build.chosen(names, steps=steps)]


MINE = {"name": "mine", "inherits": "qt5"}


def test_a_configure_preset_alone_is_refused_at_once_saying_what_to_add(tmp_path, monkeypatch):
    source = source_with(tmp_path, {"version": 3, "configurePresets": [MINE]})
    with pytest.raises(Failure) as refused:
        chosen(monkeypatch, source, ["qt5", "mine"])
    assert refused.value.status == 2
    assert refused.value.message.startswith("the preset mine has no build preset and test preset of its name")
    # What it says to add makes it a preset that test.sh takes.
    added = json.loads("{" + refused.value.message.split("CMakeUserPresets.json ", 1)[1] + "}")
    source = source_with(tmp_path / "added", {"version": 3, "configurePresets": [MINE], **added})
    assert chosen(monkeypatch, source, ["mine"]) == ["mine"]
    # (A device's build is a folder of its own, which no build preset names.)
    assert chosen(monkeypatch, source_with(tmp_path / "device", {"version": 3, "configurePresets": [MINE]}),
                  ["mine"], steps=False) == ["mine"]


def test_a_test_preset_of_another_configure_preset_is_not_its_own(tmp_path):
    source = source_with(tmp_path, {
        "version": 3, "configurePresets": [MINE],
        "buildPresets": [{"name": "mine", "configurePreset": "mine"}],
        "testPresets": [{"name": "of-mine", "hidden": True, "configurePreset": "mine"},
                        {"name": "mine", "inherits": ["base", "of-mine"]},
                        {"name": "qt6", "configurePreset": "mine"}]})
    read = presets.Presets(source)
    assert read.preset("mine").test_preset
    assert not presets.Presets(source).has_step("testPresets", "qt6")


def test_all_is_every_configure_preset_the_users_too(tmp_path, monkeypatch):
    source = source_with(tmp_path, {
        "version": 3, "configurePresets": [MINE],
        "buildPresets": [{"name": "mine", "configurePreset": "mine"}],
        "testPresets": [{"name": "mine", "inherits": "base", "configurePreset": "mine"}]})
    assert chosen(monkeypatch, source, []) == presets.Presets(source).visible
    assert "mine" in presets.Presets(source).visible and "qt5" in presets.Presets(source).visible


def test_unknown_presets_are_refused_at_once_with_the_list(monkeypatch):
    with pytest.raises(Failure) as refused:
        build.chosen(["qt5", "nosuch"])
    assert refused.value.status == 2
    assert refused.value.message.startswith("no preset named nosuch; the presets are: qt5 ")


def test_every_project_preset_is_a_configure_build_and_test_preset():
    assert presets.without_steps(presets.Presets(SOURCE_DIR, users=False).presets()) == ""


@pytest.fixture
def run_of(monkeypatch, tmp_path):
    """A TestRun whose set-up fails where FAILING says (status), and whose
    builds and tests pass."""
    def make(names: list[str], failing: dict[str, int]):
        def set_up(names_given, _presets):
            status = failing.get(names_given[0])
            if status:
                raise Failure("", status)
        monkeypatch.setattr(runs.setup, "set_up", set_up)
        monkeypatch.setattr(runs.build, "hold_root", lambda preset: None)
        monkeypatch.setattr(runs.TestRun, "check", lambda self, preset, run: True)
        monkeypatch.setattr(runs.report, "summarise", lambda *args: "")
        run = runs.TestRun([Preset(name) for name in names])
        run.results = tmp_path
        return run
    return make


def test_a_preset_whose_set_up_fails_fails_alone(run_of, capsys):
    run = run_of(["qt5", "qt6", "clang"], {"qt6": 1})
    assert run.all() == 1
    out = capsys.readouterr().out
    assert "=== preset clang\n" in out
    assert out.endswith("=== FAILED in preset(s): qt6 (passed: 2 of 3)\n")


def test_a_cache_that_cannot_be_trusted_stops_the_run(run_of, capsys):
    run = run_of(["qt5", "qt6", "clang"], {"qt6": 2})
    with pytest.raises(Failure) as stopped:
        run.all()
    assert stopped.value.status == 2
    assert "=== preset clang" not in capsys.readouterr().out


def test_a_run_that_passes_says_so_and_where_the_reports_are(run_of, capsys):
    run = run_of(["qt5", "clang"], {})
    assert run.all() == 0
    assert capsys.readouterr().out.endswith(
        f"=== the test suite passed in 2 preset(s): qt5 clang\n=== JUnit XML reports: {run.results}/\n")


class FakeDevice:
    name, kernel = "root@board port 22", "Linux 6.1.0-arm64, aarch64"

    def __init__(self) -> None:
        self.sent: list[Path] = []

    def send(self, build_folder: Path) -> None:
        self.sent.append(build_folder)

    def environment(self) -> dict[str, str]:
        return {"LISTS_DEVICE_SESSION": "/tmp/session"}


def test_a_device_run_sends_the_device_build_and_tests_it_there(monkeypatch, tmp_path, capsys):
    device_build = tmp_path / "arm64-device"
    monkeypatch.setattr(runs.build, "hold_folder", lambda folder: None)
    monkeypatch.setattr(runs.build, "build", lambda preset, device: device_build if device else None)
    monkeypatch.setattr(runs.builds, "print_header", lambda folder: print("Toolkit:  Qt 5"))
    monkeypatch.setattr(runs.builds, "fields_text", lambda folder: "processor=aarch64\n")
    ran = []
    monkeypatch.setattr(runs.processes, "run", lambda args, **options: ran.append((args, options)) or 0)
    device = FakeDevice()
    run = runs.TestRun([Preset("arm64", binary_dir=tmp_path / "arm64", arch="arm64")], device)
    run.results = tmp_path
    assert run.check(run.presets[0], run.run_name(run.presets[0]))
    assert device.sent == [device_build]
    assert capsys.readouterr().out == f"=== preset arm64 checks, on {device.name} ({device.kernel}):\nToolkit:  Qt 5\n"
    assert (tmp_path / "arm64-device.description").read_text() == \
        f"processor=aarch64\ndevice={device.name}, {device.kernel}\n"
    (args, options), = ran
    assert args[:3] == ["ctest", "--test-dir", str(device_build)] and "--parallel" not in args
    assert args[-2:] == ["--output-junit", str(tmp_path / "arm64-device.xml")]
    assert options["env"]["LISTS_DEVICE_SESSION"] == "/tmp/session"
