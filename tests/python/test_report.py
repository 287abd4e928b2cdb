"""The summary table that test.sh ends with, from the files a run keeps."""
import os
from pathlib import Path

import pytest

from list_exercises import report

DESCRIPTION = """toolkit_version=5.15.8
processor=aarch64
word_size=64
byte_order=little-endian
sanitizers=
runner=/usr/bin/qemu-aarch64
runner=-L
loaded_version=5.15.2
"""


def junit(tests: int, failures: int = 0, skipped: int = 0, disabled: int = 0) -> str:
    # ctest's layout: the suite's own attributes first, then each case's.
    cases = "".join(f'<testcase name="case{n}" status="run"><skipped/></testcase>' for n in range(2))
    return (f'<?xml version="1.0" encoding="UTF-8"?>\n<testsuite name="Linux-g++"\n\ttests="{tests}"'
            f'\n\tfailures="{failures}"\n\tdisabled="{disabled}"\n\tskipped="{skipped}"\n\t>{cases}</testsuite>\n')


@pytest.fixture
def results(tmp_path: Path) -> Path:
    return tmp_path


def keep(results: Path, preset: str, description: str | None, xml: str | None,
         report_older: bool = False) -> None:
    if description is not None:
        (results / f"{preset}.description").write_text(description)
    if xml is not None:
        path = results / f"{preset}.xml"
        path.write_text(xml)
        if report_older:
            stamp = (results / f"{preset}.description").stat().st_mtime - 10
            os.utime(path, (stamp, stamp))


def row_of(results: Path, preset: str, failed: set[str] | None = None) -> list[str]:
    return report.row(preset, results, failed or set())


def test_a_passing_run_names_what_it_loaded_and_what_ran_it(results: Path) -> None:
    keep(results, "arm64", DESCRIPTION, junit(113, skipped=1, disabled=2))
    assert row_of(results, "arm64") == ["`arm64`", "Qt 5.15.2", "aarch64", "64-bit", "little-endian",
                                        "qemu-aarch64", "110", "0", "3", "passed"]


def test_the_device_and_sanitizers_name_the_runner(results: Path) -> None:
    described = DESCRIPTION.replace("sanitizers=", "sanitizers=address") + "device=board, 6.1.0\n"
    keep(results, "arm64-device", described, junit(5))
    assert row_of(results, "arm64-device")[5] == "the device board, 6.1.0, sanitizers address"


@pytest.mark.parametrize("xml, older, failed, result", [
    (junit(10, failures=1), False, set(), "FAILED"),
    (junit(10), False, {"p"}, "FAILED"),          # ctest's own verdict wins over the report
    (junit(3, skipped=3), False, set(), "FAILED"),  # nothing passed: nothing was shown
    (junit(10), True, set(), "failed: its tests did not run"),   # an earlier run's report
    (None, False, set(), "failed: its tests did not run"),
    ("<testsuite tests=", False, set(), "failed: its tests did not run"),  # cut short
])
def test_a_run_that_did_not_pass_is_never_passed(results: Path, xml: str | None, older: bool,
                                                 failed: set[str], result: str) -> None:
    keep(results, "p", DESCRIPTION, xml, report_older=older)
    assert row_of(results, "p", failed)[-1] == result


def test_a_run_without_its_description_failed_before_its_tests(results: Path) -> None:
    keep(results, "p", None, junit(10))
    assert row_of(results, "p") == ["`p`"] + ["-"] * 8 + ["failed before its tests (set-up, build or header)"]


def test_main_prints_and_writes_the_same_table(results: Path, capsys: pytest.CaptureFixture[str]) -> None:
    keep(results, "a", DESCRIPTION, junit(4))
    keep(results, "b", None, None)
    assert report.main([str(results), "--failed", "", "a", "b"]) == 0
    printed = capsys.readouterr().out
    assert printed == (results / "summary.md").read_text()
    lines = printed.splitlines()
    assert lines[0].startswith("Run on ") and lines[1] == ""
    assert lines[2] == "| " + " | ".join(report.COLUMNS) + " |"
    assert [line.split(" | ")[0] for line in lines[4:]] == ["| `a`", "| `b`"]
    assert report.main([str(results / "nowhere"), "a"]) == 2
