"""A device over ssh and the runner of a device build's programs, through a
stand-in for ssh that runs the device's side here, with sh (the device is
this machine, its folders under the test's own TMPDIR)."""
import os
import resource
import shutil
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from list_exercises import devices, processes, releases
from list_exercises.devices import SshDevice
from list_exercises.processes import Failure

SCRIPTS = Path(__file__).resolve().parents[2] / "scripts"
RUNNER = SCRIPTS / "lib" / "run-on-device"
NAME = "tester@device port 22"
# A device's options and destination skipped, the rest is the command.
# FAKE_SSH_DOWN: no connection; FAKE_SSH_HANG: the master does not end.
FAKE_SSH = r"""#!/bin/sh
resolve=no master=no
while [ $# -gt 0 ]; do
    case $1 in
        -G) resolve=yes; shift ;;
        -M) master=yes; shift ;;
        -[TNnqvxXAaCt46]) shift ;;
        -[pilFoScmbeEIJLRDOQWwB]) shift 2 ;;
        *) break ;;
    esac
done
if [ $resolve = yes ]; then
    printf 'user tester\nhostname %s\nport 22\n' "$1"
    exit 0
fi
shift
if [ -n "${FAKE_SSH_DOWN-}" ]; then
    echo "ssh: connect to host device port 22: Connection refused" >&2
    exit 255
fi
if [ $master = yes ] && [ -n "${FAKE_SSH_HANG-}" ]; then
    sh -c "$*"
    exec sleep 60
fi
# The device's own limit on core files (sshd's, not this side's); its shell
# killed by a signal is said as ssh says it, by 255.
ulimit -S -c 0
exec "$FAKE_SSH_PYTHON" -c 'import subprocess, sys
status = subprocess.call(sys.argv[1:])
sys.exit(255 if status < 0 else status)' sh -c "$*"
"""
# The build's program: what it is asked to do, by its first argument.
PROGRAM = r"""#!/bin/sh
case $1 in
    echo) shift; printf '%s\n' "$@"; echo to-stderr >&2 ;;
    cat) cat ;;
    exit) exit "$2" ;;
    kill) kill -s "$2" $$ ;;
    limits) ulimit -c; ulimit -d ;;
    touch) : >"$2" ;;
    sleep) sleep "$2"; echo slept ;;
    end-the-shell) kill -s KILL $PPID ;;
    fds)
        seen=
        for fd in 0 1 2; do
            if [ -e /proc/$$/fd/$fd ]; then seen="$seen $(readlink /proc/$$/fd/$fd)"; else seen="$seen closed"; fi
        done
        echo "$seen" >"$2" ;;
esac
"""


def this_machines_arch() -> str:
    machine = os.uname().machine
    for arch, row in releases.cpus().items():
        if machine in row.native:
            return arch
    pytest.skip(f"no Debian CPU runs on {machine}")


@pytest.fixture
def place(tmp_path, monkeypatch):
    """PATH with the stand-in ssh, a TMPDIR of the test's own, and a build."""
    (tmp_path / "bin").mkdir()
    (tmp_path / "bin" / "ssh").write_text(FAKE_SSH)
    (tmp_path / "bin" / "ssh").chmod(0o755)
    (tmp_path / "tmp").mkdir()
    monkeypatch.setenv("PATH", f"{tmp_path / 'bin'}:{os.environ['PATH']}")
    monkeypatch.setenv("TMPDIR", str(tmp_path / "tmp"))
    monkeypatch.delenv("FAKE_SSH_DOWN", raising=False)
    monkeypatch.setenv("FAKE_SSH_PYTHON", sys.executable)
    monkeypatch.setattr(processes, "_cleanups", [])
    build = tmp_path / "build"
    for program in ("prog", "sub/prog", "CMakeFiles/probe"):
        (build / program).parent.mkdir(parents=True, exist_ok=True)
        (build / program).write_text(PROGRAM)
        (build / program).chmod(0o755)
    (build / "data.txt").write_text("not a program\n")
    return tmp_path


@pytest.fixture
def device(place):
    opened = SshDevice.open(this_machines_arch(), "device", ["-o", "User=tester"])
    opened.send(place / "build")
    yield opened
    opened.close()


def runner(device, *words, env=None, shell=None, **options):
    """The runner, as CTest starts it, for the build's prog with WORDS."""
    command = [str(RUNNER), f"{device.session.build}/prog", *words]
    if shell:
        command = ["sh", "-c", f'exec "$@" {shell}', "sh", *command]
    environment = {**os.environ, **device.environment(), **(env or {})}
    options.setdefault("capture_output", True)
    if options.get("input") is None:
        options.setdefault("stdin", subprocess.DEVNULL)
    return subprocess.run(command, env=environment, timeout=30, **options)


def test_open_send_fetch_close(place, capsys):
    device = SshDevice.open(this_machines_arch(), "device", [])
    device.send(place / "build")
    folder = Path(device.folder)
    assert device.name == NAME
    assert device.kernel.endswith(f", {os.uname().machine}") and device.kernel.startswith(os.uname().sysname)
    assert sorted(str(p.relative_to(folder)) for p in folder.rglob("*") if p.is_file()) == ["prog", "sub/prog"]
    said = capsys.readouterr().out.splitlines()
    assert said[:2] == [f"{processes.CALLER}: connecting to device ({NAME})",
                        f"{processes.CALLER}: {NAME} is up: {device.kernel}"]
    assert said[2].startswith(f"{processes.CALLER}: sending the programs of {place / 'build'} (")
    (folder / "report.xml").write_text("<testsuites/>\n")
    device.fetch("report.xml", place / "copy.xml")
    assert (place / "copy.xml").read_text() == "<testsuites/>\n"
    with pytest.raises(Failure) as failed:
        device.fetch("nothing-here", place / "none")
    assert failed.value.status == 1
    local = device.session.local
    device.close()
    assert not folder.exists() and not local.exists()


def test_devices_that_cannot_be_used(place, monkeypatch, capsys):
    with pytest.raises(Failure, match="^no CPU is known for vax$") as failed:
        SshDevice.open("vax", "device", [])
    assert failed.value.status == 2
    other = "s390x" if this_machines_arch() != "s390x" else "amd64"
    with pytest.raises(Failure) as failed:
        SshDevice.open(other, "device", [])
    assert failed.value.status == 2
    assert failed.value.message == (f"{NAME} runs on {os.uname().machine} (uname -m), not on {other} "
                                    f"({' '.join(devices.native_machines(other))}): it cannot run this build's programs")
    monkeypatch.setenv("FAKE_SSH_DOWN", "1")
    with pytest.raises(Failure) as failed:
        SshDevice.open(this_machines_arch(), "device", [])
    assert (failed.value.status, failed.value.message) == (2, f"could not connect or log in to {NAME} (ssh's status 255)")
    assert "    | ssh: connect to host device port 22: Connection refused" in capsys.readouterr().err
    # Nothing left here or on the device.
    assert list((place / "tmp").iterdir()) == []


def test_killed_outright_the_device_removes_the_folder(place):
    holder = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import sys, time
        sys.path.insert(0, {str(SCRIPTS)!r})
        from list_exercises.devices import SshDevice
        device = SshDevice.open({this_machines_arch()!r}, "device", [])
        print("opened", device.folder, device.session.local, flush=True)
        time.sleep(60)
        """)], stdout=subprocess.PIPE, text=True)
    said = holder.stdout.readline()
    while not said.startswith("opened "):
        said = holder.stdout.readline()
    folder, local = map(Path, said.split()[1:])
    assert folder.is_dir()
    holder.kill()
    holder.wait()
    deadline = time.monotonic() + 10
    while folder.exists():
        assert time.monotonic() < deadline, "the folder outlived its run"
        time.sleep(0.05)
    # What it left here goes with the next run's opening.
    assert local.exists()
    SshDevice.open(this_machines_arch(), "device", []).close()
    assert not local.exists()


def test_a_hung_session_is_cut(place, monkeypatch):
    monkeypatch.setattr(devices, "CLOSE_GRACE", 0.5)
    monkeypatch.setenv("FAKE_SSH_HANG", "1")
    device = SshDevice.open(this_machines_arch(), "device", [])
    keeper = device._keeper
    started = time.monotonic()
    device.close()
    assert time.monotonic() - started < 5
    assert keeper.poll() is not None


def test_streams_and_arguments(device):
    words = ["a b", "it's", "", "new\nline", "$HOME", "*"]
    ran = runner(device, "echo", *words)
    assert (ran.returncode, ran.stdout, ran.stderr) == (0, ("\n".join(words) + "\n").encode(), b"to-stderr\n")
    ran = runner(device, "cat", input=b"\x00\x01 bytes\n" * 1000)
    assert ran.stdout == b"\x00\x01 bytes\n" * 1000


@pytest.mark.parametrize("shell, expected", [
    ("<&-", ["closed", "pipe", "pipe"]),
    ("</", ["/", "pipe", "pipe"]),
    ("</dev/zero >/dev/full", ["/dev/zero", "/dev/full", "pipe"]),
    (">&- 2>&-", ["pipe", "closed", "closed"]),
    ("2>/dev/null", ["pipe", "pipe", "/dev/null"]),
])
def test_special_streams_are_the_same_on_the_device(device, place, shell, expected):
    report = place / "fds"
    ran = runner(device, "fds", str(report), shell=shell, stdin=subprocess.PIPE)
    assert ran.returncode == 0, ran.stderr
    # (A pipe; or, through the programs' session, its FIFO, which the
    # stand-in for ssh gives the device's side where sshd gives a pipe.)
    seen = ["pipe" if line.startswith("pipe:") or Path(line).name.startswith("programs.") else line
            for line in report.read_text().split()]
    assert seen == expected


def test_limits_on_core_files_and_data(place, monkeypatch):
    # The runner's limits, whether the run's own (the programs' session) or
    # others (a session of its own), are the program's on the device.
    core, data = resource.getrlimit(resource.RLIMIT_CORE), resource.getrlimit(resource.RLIMIT_DATA)
    try:
        resource.setrlimit(resource.RLIMIT_CORE, (512000, core[1]))
        opened = SshDevice.open(this_machines_arch(), "device", ["-o", "User=tester"])
    finally:
        resource.setrlimit(resource.RLIMIT_CORE, core)
    opened.send(place / "build")

    def limited():
        resource.setrlimit(resource.RLIMIT_CORE, (1024000, resource.RLIM_INFINITY))
        resource.setrlimit(resource.RLIMIT_DATA, (1 << 30, resource.RLIM_INFINITY))

    def the_runs():
        resource.setrlimit(resource.RLIMIT_CORE, (512000, resource.RLIM_INFINITY))
    # The device's sh counts core files in 512-byte blocks, data in KiB.
    assert runner(opened, "limits", preexec_fn=limited).stdout.split() == [b"2000", b"1048576"]
    expected_data = b"unlimited" if data[0] == resource.RLIM_INFINITY else str(data[0] // 1024).encode()
    assert runner(opened, "limits", preexec_fn=the_runs).stdout.split() == [b"1000", expected_data]
    opened.close()


@pytest.mark.parametrize("status", [0, 1, 3, 126, 127, 145, 147, 148])
def test_exit_statuses(device, status):
    # (147 and 148 are SIGSTOP's and SIGTSTP's numbers: an exit status alone,
    # never a reason to stop the runner.)
    assert runner(device, "exit", str(status)).returncode == status


@pytest.mark.parametrize("shell", ["dash", "busybox"])
@pytest.mark.parametrize("name", ["ABRT", "SEGV", "TERM", "KILL", "PIPE"])
def test_the_runner_dies_of_the_programs_signal(place, monkeypatch, name, shell):
    # The device's sh that shell (BusyBox's runs a script's last command in
    # its own place).
    if not shutil.which(shell):
        pytest.skip(f"no {shell} here")
    (place / "device-bin").mkdir()
    (place / "device-bin" / "sh").symlink_to(shutil.which(shell))
    monkeypatch.setenv("PATH", f"{place / 'device-bin'}:{os.environ['PATH']}")
    opened = SshDevice.open(this_machines_arch(), "device", ["-o", "User=tester"])
    opened.send(place / "build")
    no_core = lambda: resource.setrlimit(resource.RLIMIT_CORE, (0, resource.RLIM_INFINITY))  # noqa: E731
    for streamed in (None, b""):
        ran = runner(opened, "kill", name, preexec_fn=no_core, input=streamed)
        # (Nor the device's shell's note of the signal: "Aborted", say.)
        assert (ran.returncode, ran.stderr) == (-signal.Signals[f"SIG{name}"], b"")
    opened.close()


def test_a_lost_connection_fails_this_program_and_every_later_one(device, place):
    # (A program with input from here: an ssh session of its own.)
    ran = runner(device, "echo", env={"FAKE_SSH_DOWN": "1"}, input=b"")
    assert ran.returncode == 255
    assert ran.stderr.decode().endswith(f"run-on-device: lost the connection to {NAME} (or the run's folder on it)\n")
    ran = runner(device, "touch", str(place / "ran"))
    assert ran.returncode == 255 and not (place / "ran").exists()
    assert ran.stderr == f"run-on-device: not run: the connection to {NAME} was lost earlier in this run\n".encode()


def test_the_programs_session_ended_midway_fails_this_program_and_every_later_one(device, place):
    ran = runner(device, "end-the-shell")
    assert ran.returncode == 255
    assert ran.stderr.decode().endswith(f"run-on-device: lost the connection to {NAME} (or the run's folder on it)\n")
    ran = runner(device, "touch", str(place / "ran"))
    assert ran.returncode == 255 and not (place / "ran").exists()


def test_programs_at_once_or_after_one_cut_short_keep_their_own_output(device):
    # One runner holds the programs' session, another runs meanwhile; one
    # is killed halfway, and what its program still writes reaches no later one.
    first = subprocess.Popen([str(RUNNER), f"{device.session.build}/prog", "sleep", "1"],
                             env={**os.environ, **device.environment()}, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE)
    time.sleep(0.3)
    ran = runner(device, "echo", "meanwhile")
    assert (ran.returncode, ran.stdout) == (0, b"meanwhile\n")
    first.kill()
    first.wait()
    first.stdout.close()
    for _ in range(3):
        ran = runner(device, "echo", "after")
        assert (ran.returncode, ran.stdout, ran.stderr) == (0, b"after\n", b"to-stderr\n")


def test_a_folder_gone_from_the_device(device):
    for program in Path(device.folder).rglob("*"):
        program.unlink() if program.is_file() else None
    for folder in sorted(Path(device.folder).rglob("*"), reverse=True) + [Path(device.folder)]:
        folder.rmdir()
    ran = runner(device, "echo")
    assert ran.returncode == 255
    assert b"run-on-device: the run's folder is gone from the device\n" in ran.stderr
    assert device.session.lost


def test_what_the_runner_does_not_run(device, place):
    ran = runner(device, "echo", env={"LISTS_DEVICE_SESSION": ""})
    assert ran.returncode == 255
    assert ran.stderr == (b"run-on-device: no device to run on: a device build's tests run through "
                          b"./test.sh PRESET --device DESTINATION\n")
    other = place / "elsewhere"
    other.write_text(PROGRAM)
    ran = subprocess.run([str(RUNNER), str(other)], env={**os.environ, **device.environment()},
                         capture_output=True, timeout=30)
    assert ran.returncode == 255
    assert ran.stderr.decode() == (f"run-on-device: {other} is not a program of the build sent to the device "
                                   f"({place / 'build'})\n")


def test_the_sweep_takes_only_dead_runs_folders_of_ones_own(tmp_path):

    def session(name: str, owner: str, mode: int = 0o700) -> Path:
        folder = tmp_path / f"{devices.SESSION_PREFIX}{name}"
        folder.mkdir()
        (folder / "owner").write_text(owner)
        folder.chmod(mode)
        return folder
    dead = session("dead", "999999999")
    alive = session("alive", str(os.getpid()))
    others = session("others", "999999999", 0o777)
    devices.sweep_sessions(tmp_path)
    assert not dead.exists() and alive.exists() and others.exists()
