"""A build folder's description: the one of the configuration built last."""
import os
from pathlib import Path

from list_exercises import builds


def configuration(folder: Path, built_at: float, probe_runs: bool = True) -> Path:
    folder.mkdir(parents=True, exist_ok=True)
    probe = folder / "loaded_toolkit"
    probe.write_text("#!/bin/sh\n")
    probe.chmod(0o755 if probe_runs else 0o644)
    os.utime(probe, (built_at, built_at))
    description = folder / "build-description.txt"
    description.write_text(f"probe={probe}\nbuild_type={folder.name}\nheaders=a\nheaders=b\n")
    return description


def test_the_configuration_built_last_is_described(tmp_path: Path) -> None:
    configuration(tmp_path / "Debug", 1000)
    newest = configuration(tmp_path / "Release", 2000)
    configuration(tmp_path / "RelWithDebInfo", 3000, probe_runs=False)  # never built
    assert builds.description_of(tmp_path) == newest


def test_a_folder_without_a_built_configuration_has_none(tmp_path: Path) -> None:
    (tmp_path / "build-description.txt").write_text("probe=/nowhere/loaded_toolkit\n")
    assert builds.description_of(tmp_path) is None
    assert builds.main([str(tmp_path), "build_type"]) == 1


def test_a_field_is_printed_a_line_a_value(tmp_path: Path, capsys) -> None:
    configuration(tmp_path, 1000)
    assert builds.main([str(tmp_path), "headers"]) == 0
    assert capsys.readouterr().out == "a\nb\n"
    # A field the description does not have is said, never an empty success;
    # runner alone may be absent (programs run here).
    assert builds.main([str(tmp_path), "nosuch"]) == 2
    assert "has no field 'nosuch'" in capsys.readouterr().err
    assert builds.main([str(tmp_path), "runner"]) == 0
