"""The board's qemu command line from its CPU's row, and the sweep of what
killed runs left: only where the run's process is gone, only a folder of
the user's own named as its record, only a qemu that names that folder."""
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

from list_exercises import board, board_parts, board_records, processes, releases

BOARDS = releases.boards()


def option(command: list[str], name: str) -> list[str]:
    return [command[index + 1] for index, word in enumerate(command) if word == name]


@pytest.mark.parametrize("arch", BOARDS)
def test_the_command_line_is_the_rows_machine_on_a_restricted_network(arch, tmp_path):
    row = BOARDS[arch]
    command = board_parts.qemu_command(row, tmp_path / "image", tmp_path / "run", 40123)
    assert command[0] == f"qemu-system-{row.qemu}"
    assert option(command, "-machine") == [row.machine] and option(command, "-cpu") == [row.model]
    assert option(command, "-accel") == ["tcg,thread=multi" if row.cpus > 1 else "tcg"]
    assert option(command, "-smp") == [str(row.cpus)] and option(command, "-m") == [str(row.memory)]
    assert "-snapshot" in command and "-daemonize" in command
    assert f"console={row.console}" in option(command, "-append")[0].split()
    # One port of 127.0.0.1 alone, and the board reaches nothing.
    assert option(command, "-netdev") == ["user,id=net,restrict=on,hostfwd=tcp:127.0.0.1:40123-:22"]
    assert f"file:{tmp_path}/run/console.log" in option(command, "-serial")
    assert option(command, "-pidfile") == [f"{tmp_path}/run/qemu.pid"]
    # The keys' disk, which board-init finds by its serial, cannot be written.
    assert f"file={tmp_path}/run/keys.tar,format=raw,if=none,id=keys,readonly=on" in option(command, "-drive")
    # The devices of the machine's bus.
    assert option(command, "-device") == [f"{row.disk},drive=root", f"{row.disk},drive=keys,serial=board-keys",
                                          row.random, f"{row.network},netdev=net"]


def test_kvm_takes_the_machines_own_cpu_and_the_append_goes_last(tmp_path):
    row = BOARDS["amd64"]
    command = board_parts.qemu_command(row, tmp_path, tmp_path, 2222, kvm=True, append="loglevel=7 x=1")
    assert option(command, "-cpu") == ["host"] and option(command, "-accel") == ["kvm"]
    assert option(command, "-append")[0].endswith(" init=/usr/local/sbin/board-init loglevel=7 x=1")


def test_a_cpu_without_a_board_is_refused_naming_those_with_one():
    without = next(arch for arch in releases.cpus() if arch not in BOARDS)
    with pytest.raises(processes.Failure) as refused:
        board_parts.board_row(without, kvm=False)
    assert refused.value.status == 2
    assert refused.value.message == f"{without} has no board (docs/boards.md says why); there are boards for " \
                                    + " ".join(BOARDS)


@pytest.mark.parametrize("argv", [["--bogus"], ["--kvm", "--bogus"], ["--bogus", "arm64"]])
def test_an_unknown_option_is_said_so(argv, capsys):
    with pytest.raises(SystemExit) as refused:
        board.arguments(argv)
    assert refused.value.code == 2 and capsys.readouterr().err.endswith("board: error: unknown option --bogus\n")


def test_the_command_follows_the_cpu_as_it_is():
    options, command = board.arguments(["--kvm", "amd64", "ls", "--kvm", "-l"])
    assert options.kvm and options.arch == "amd64" and command == ["ls", "--kvm", "-l"]
    options, command = board.arguments(["--", "arm64", "--", "true"])
    assert options.arch == "arm64" and command == ["--", "true"]


def test_the_ssh_configuration_names_the_runs_own_files(tmp_path):
    config = board_parts.ssh_config(tmp_path, 40123)
    settings = dict(line.split(None, 1) for line in config.splitlines()[1:])
    assert config.startswith("Host board\n")
    assert settings["Port"] == "40123" and settings["HostName"] == "127.0.0.1"
    assert settings["StrictHostKeyChecking"] == "yes" and settings["HostKeyAlias"] == "board"
    for key, name in (("IdentityFile", "id"), ("UserKnownHostsFile", "known_hosts"), ("ControlPath", "control")):
        assert settings[key] == f"{tmp_path}/{name}"


@pytest.fixture
def records(tmp_path, monkeypatch):
    monkeypatch.delenv("XDG_RUNTIME_DIR", raising=False)
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    return board_records.ready()


def a_run(tmp_path: Path, records: Path, name: str, owner: str) -> tuple[Path, Path]:
    """A run's folder and its record, whose process is OWNER ("PID START")."""
    folder = tmp_path / name
    folder.mkdir(mode=0o700)
    record = records / name
    record.write_text(f"{folder}\n{owner}\n")
    return folder, record


def a_qemu(folder: Path) -> subprocess.Popen:
    """A process whose command line names FOLDER, as its qemu's does."""
    qemu = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)", f"{folder}/console.log"])
    # (Once it runs as itself: qemu writes its pid file itself.)
    deadline = time.monotonic() + 10
    while board_records.qemu_of(folder) is None:
        (folder / "qemu.pid").write_text(f"{qemu.pid}\n")
        assert time.monotonic() < deadline
        time.sleep(0.01)
    return qemu


def test_a_live_runs_folder_and_qemu_are_left(tmp_path, records):
    me = f"{os.getpid()} {board_records.started_at(os.getpid())}"
    folder, record = a_run(tmp_path, records, "board.live", me)
    qemu = a_qemu(folder)
    try:
        board_records.sweep(records)
        assert folder.is_dir() and record.exists() and qemu.poll() is None
    finally:
        qemu.kill()
        qemu.wait()


def test_a_gone_runs_qemu_is_stopped_and_its_folder_removed(tmp_path, records, capsys):
    # (This process's number, but another start: a later process of the
    # same number is not the run's.)
    folder, record = a_run(tmp_path, records, "board.gone", f"{os.getpid()} 1")
    qemu = a_qemu(folder)
    started = time.monotonic()
    try:
        board_records.sweep(records)
        assert qemu.wait(timeout=10) is not None and time.monotonic() - started < 5
    finally:
        qemu.kill()
        qemu.wait()
    assert not folder.exists() and not record.exists()
    assert f"stopping the board (qemu {qemu.pid}) that run {os.getpid()} left" in capsys.readouterr().err


def test_a_pid_file_naming_another_process_stops_nothing(tmp_path, records):
    folder, _ = a_run(tmp_path, records, "board.reused", "1 1")
    other = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    (folder / "qemu.pid").write_text(f"{other.pid}\n")
    try:
        board_records.sweep(records)
        assert other.poll() is None and not folder.exists()
    finally:
        other.kill()
        other.wait()


def test_only_a_folder_of_ones_own_named_as_its_record_is_removed(tmp_path, records):
    shared, shared_record = a_run(tmp_path, records, "board.shared", "")
    shared.chmod(0o777)
    other, other_record = a_run(tmp_path, records, "board.other", "")
    other_record.write_text(f"{tmp_path / 'kept'}\n\n")
    (tmp_path / "kept").mkdir()
    (tmp_path / "victim").mkdir()
    (tmp_path / "victim" / "file").write_text("data")
    (tmp_path / "board.link").symlink_to(tmp_path / "victim")
    (records / "board.link").write_text(f"{tmp_path / 'board.link'}\n\n")
    board_records.sweep(records)
    assert shared.is_dir() and (tmp_path / "kept").is_dir() and (tmp_path / "victim" / "file").exists()
    # Their records are gone: their runs are.
    assert list(records.iterdir()) == []


def test_the_records_folder_under_a_link_of_ones_own_is_taken(tmp_path, monkeypatch):
    monkeypatch.delenv("XDG_RUNTIME_DIR", raising=False)
    (tmp_path / "real").mkdir(mode=0o755)
    (tmp_path / "home").mkdir(mode=0o755)
    (tmp_path / "home" / ".cache").symlink_to(tmp_path / "real")
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "home" / ".cache"))
    records = board_records.ready()
    assert (tmp_path / "real" / board_records.RECORDS).is_dir()
    assert records.stat().st_mode & 0o777 == 0o700


def test_the_records_folder_where_others_may_put_another_is_refused(tmp_path, monkeypatch):
    monkeypatch.delenv("XDG_RUNTIME_DIR", raising=False)
    (tmp_path / "open").mkdir()
    (tmp_path / "open").chmod(0o777)
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "open"))
    with pytest.raises(processes.Failure) as refused:
        board_records.ready()
    assert refused.value.status == 1
    assert f"others may write to {tmp_path / 'open'}, where it is (mode 777)" in refused.value.message


def test_the_bench_gives_the_board_and_the_session_the_cpu_and_the_build_its_preset(tmp_path, monkeypatch):
    from list_exercises import board_bench, presets
    # A preset for arm64 that is not named so: the CPU and the preset differ.
    (tmp_path / "CMakePresets.json").write_text(json.dumps({"version": 6, "configurePresets": [
        {"name": "a64", "binaryDir": "build/a64", "cacheVariables": {
            "LISTS_DEBIAN_SUITE": "bookworm", "LISTS_DEBIAN_ARCH": "arm64"}}]}))
    monkeypatch.setattr(board_bench, "Presets", lambda: presets.Presets(tmp_path))
    monkeypatch.setattr(board_bench, "release_of", lambda cpu: "bookworm")
    calls: list[list[str]] = []

    def run(args, **options):
        calls.append([str(arg) for arg in args])
        return 0

    def output(args, **options):
        calls.append([str(arg) for arg in args])
        return f"{tmp_path}/build/a64-device\n"

    monkeypatch.setattr(board_bench.processes, "run", run)
    monkeypatch.setattr(board_bench.processes, "output", output)
    board_bench.test_on_device("arm64")
    build, test, suite = calls
    assert build[1:] == ["--quiet", "--device", "a64"]
    assert test[1:] == ["arm64", str(board_bench.BENCH), "--test-on-board", "arm64", f"{tmp_path}/build/a64-device"]
    assert suite[1:] == ["arm64", str(board_bench.BENCH), "--suite-on-board", "a64"]
