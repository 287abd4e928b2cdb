"""device-check's judgments as data: which root and which binfmt handler a
build's CPU gets, why a step is skipped or fails, and what a run of
run-ptest must show to pass."""
from __future__ import annotations

import pytest

from list_exercises import binfmt, device_check, roots
from list_exercises.device_check import Tally, check_ptest_output, root_refusal

RULE = r":qemu-aarch64:M::\x7f\x45\x4c\x46\x02:\xff\xff\xff\xff\xff:/usr/libexec/qemu-binfmt/aarch64-binfmt-P:OPF"


@pytest.fixture
def handlers(tmp_path):
    (tmp_path / "binfmt").mkdir()
    (tmp_path / "binfmt" / "status").write_text("enabled\n")
    (tmp_path / "rules").mkdir()
    (tmp_path / "rules" / "qemu-aarch64.conf").write_text(RULE + "\n")
    return binfmt.Binfmt(tmp_path / "binfmt", tmp_path / "rules")


def test_an_arm64_build_gets_its_own_aarch64_handler_and_root(handlers):
    assert root_refusal("arm64", False, 0, handlers) == ("", "")
    assert handlers.handlers == ["list-exercises-qemu-aarch64"]
    assert (handlers.folder / "register").read_text().startswith(":list-exercises-qemu-aarch64:")
    assert roots.minimal_root_name("bookworm", "arm64") == "device-root-bookworm-arm64.tar"


def test_a_native_build_needs_no_handler(handlers):
    assert root_refusal("amd64", True, 0, handlers) == ("", "")
    assert handlers.handlers == []
    assert not (handlers.folder / "register").exists()


def test_why_a_root_is_skipped_or_fails(handlers, capsys):
    assert root_refusal("arm64", False, 1000, handlers) == (
        "in a minimal arm64 root (it takes root, for chroot and mounts)", "")
    assert handlers.handlers == []
    assert root_refusal("nosuchcpu", False, 0, handlers) == ("", "no emulator is known for nosuchcpu")
    # A CPU in the table whose rule qemu-user-static lacks here: skipped, saying why.
    (handlers.rules / "qemu-aarch64.conf").unlink()
    assert root_refusal("arm64", False, 0, handlers) == (
        "in a minimal arm64 root (this machine cannot run arm64 programs through binfmt_misc)", "")
    assert "qemu-aarch64.conf (package qemu-user-static)" in capsys.readouterr().err


def test_binfmt_not_mountable_is_a_skip(tmp_path, monkeypatch):
    unmounted = binfmt.Binfmt(tmp_path / "none", tmp_path)
    monkeypatch.setattr(binfmt, "run", lambda *args, **options: 32)
    skip, fault = root_refusal("arm64", False, 0, unmounted)
    assert "cannot run arm64 programs through binfmt_misc" in skip and not fault


REPORT = ('<?xml version="1.0"?>\n<testsuites><testsuite><properties>'
          '<property name="loaded_library" value="/usr/lib/libQt5Core.so.5 &amp; co"/></properties>'
          '<testcase name="a"/><testcase name="b"/></testsuite></testsuites>\n')


@pytest.mark.parametrize("log, report, said", [
    ("PASS: a\nPASS: b\n2 passed, 0 failed\n", REPORT, "PASS: x"),
    ("PASS: a\nFAIL: b\n1 passed, 1 failed\n", REPORT, "FAIL: x: not every case passed"),
    ("PASS: a\nSKIP: b\n1 passed, 0 failed\n", REPORT, "FAIL: x: not every case passed"),
    ("PASS: a\nPASS: b\n", REPORT, "FAIL: x: not every case passed"),
    ("0 passed, 0 failed\n", REPORT, "FAIL: x: no case was run"),
    ("PASS: a\n1 passed, 0 failed\n", REPORT, "FAIL: x: the JUnit report holds 2 cases, not one for each line"),
    ("PASS: a\nPASS: b\n2 passed, 0 failed\n", None, "FAIL: x: the JUnit report holds no cases, not one for each line"),
    ("PASS: a\nPASS: b\n2 passed, 0 failed\n", "<testsuites><testsuite>", "FAIL: x: the JUnit report holds no cases"),
    ("PASS: a\nPASS: b\n2 passed, 0 failed\n", REPORT.replace("loaded_library", "other"),
     "FAIL: x: the report names no library"),
])
def test_what_a_run_of_run_ptest_must_show(tmp_path, capsys, log, report, said):
    (tmp_path / "log").write_text(log)
    if report is not None:
        (tmp_path / "report.xml").write_text(report)
    tally = Tally()
    check_ptest_output(tally, "x", tmp_path / "log", tmp_path / "report.xml")
    assert capsys.readouterr().out.startswith(said)
    assert (tally.passed, tally.failed) == ((1, 0) if said == "PASS: x" else (0, 1))


def test_the_library_named_is_read_unescaped(tmp_path):
    (tmp_path / "report.xml").write_text(REPORT)
    assert device_check.report_facts(tmp_path / "report.xml") == (2, "/usr/lib/libQt5Core.so.5 & co")


def test_the_last_line_counts_skips_only_where_there_are_some():
    tally = Tally(2, 1, 0)
    assert tally.line() == "device-check: 2 passed, 1 failed"
    tally.skipped = 1
    assert tally.line() == "device-check: 2 passed, 1 failed, 1 skipped"


def test_a_roots_size_counts_each_file_once_and_leaves_proc_out(tmp_path):
    (tmp_path / "proc").mkdir()
    (tmp_path / "proc" / "big").write_bytes(b"x" * 3 * 1024 * 1024)
    (tmp_path / "usr").mkdir()
    (tmp_path / "usr" / "a").write_bytes(b"x" * 1024 * 1024)
    (tmp_path / "usr" / "b").hardlink_to(tmp_path / "usr" / "a")
    assert device_check.disk_mib(tmp_path) == 2
