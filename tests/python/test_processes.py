"""A command's children end with it, however it ends, and its clean-up runs."""
import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from list_exercises import processes

SCRIPTS = Path(__file__).resolve().parents[2] / "scripts"


def commander(tmp_path: Path, body: str) -> subprocess.Popen:
    """A command of the package's kind whose main is BODY."""
    script = tmp_path / "commander"
    head = ["import sys", f"sys.path.insert(0, {str(SCRIPTS)!r})", "from pathlib import Path",
            "from list_exercises import processes", "def main(argv):"]
    tail = ['processes.command(main, "commander")']
    script.write_text("\n".join(head + [textwrap.indent(textwrap.dedent(body), "    ")] + tail) + "\n")
    return subprocess.Popen([sys.executable, str(script)], stderr=subprocess.PIPE, text=True)


def wait_for(path: Path, limit: float = 10) -> None:
    deadline = time.monotonic() + limit
    while not path.exists():
        assert time.monotonic() < deadline, f"{path} never came"
        time.sleep(0.02)


@pytest.mark.parametrize("signum, status", [(signal.SIGTERM, 143), (signal.SIGINT, 130), (signal.SIGHUP, 129)])
def test_a_signal_stops_the_child_group_then_cleans_up(tmp_path, signum, status):
    grandchild = tmp_path / "grandchild.pid"
    left = tmp_path / "left"
    left.mkdir()
    command = commander(tmp_path, f"""
        processes.remove_at_exit(Path({str(left)!r}))
        processes.run(["sh", "-c", "sleep 60 & echo $! > {grandchild}; wait"])
        """)
    wait_for(grandchild)
    time.sleep(0.1)
    command.send_signal(signum)
    _, err = command.communicate(timeout=20)
    assert command.returncode == status
    assert err == f"commander: stopped by {signal.Signals(signum).name}\n"
    assert not left.exists()
    stat = Path(f"/proc/{int(grandchild.read_text())}/stat")
    assert not stat.exists() or stat.read_text().rsplit(")", 1)[1].split()[0] == "Z"


def test_failure_said_with_its_status_and_cleanups_all_run(tmp_path):
    marks = tmp_path / "marks"
    command = commander(tmp_path, f"""
        def mark(word):
            with open({str(marks)!r}, "a") as f:
                f.write(word + "\\n")
        processes.at_exit(lambda: mark("first"))
        processes.at_exit(lambda: 1 / 0)
        processes.at_exit(lambda: mark("second"))
        raise processes.Failure("no such preset 'x'", 2)
        """)
    _, err = command.communicate(timeout=20)
    assert command.returncode == 2
    assert err.startswith("commander: no such preset 'x'\n")
    assert "could not clean up" in err
    assert marks.read_text() == "first\nsecond\n"


def test_a_command_with_its_standard_output_closed_ends_with_its_status(tmp_path):
    script = tmp_path / "commander"
    script.write_text(f"import sys\nsys.path.insert(0, {str(SCRIPTS)!r})\n"
                      "from list_exercises import processes\n"
                      "processes.command(lambda argv: 3, 'commander')\n")
    ran = subprocess.run(["sh", "-c", 'exec "$@" >&-', "sh", sys.executable, str(script)],
                         capture_output=True, text=True, timeout=20)
    assert (ran.returncode, ran.stderr) == (3, "")


def test_time_limit_stops_the_group(tmp_path):
    started = time.monotonic()
    with pytest.raises(processes.TimeLimit):
        processes.run(["sh", "-c", "sleep 30 & sleep 30"], time_limit=0.3)
    assert time.monotonic() - started < 10


def test_status_and_signal_of_a_child():
    assert processes.run(["sh", "-c", "exit 3"]) == 3
    assert processes.run(["sh", "-c", "kill -SEGV $$"]) == -signal.SIGSEGV
    assert processes.output(["printf", "a b"]) == "a b"
    with pytest.raises(processes.Failure):
        processes.output(["false"])


def test_lock_waits_for_its_holder(tmp_path):
    path = tmp_path / "thing.lock"
    holder = subprocess.Popen(["flock", str(path), "sleep", "0.5"])
    time.sleep(0.2)
    started = time.monotonic()
    fd = processes.lock(path, shared=True)
    assert time.monotonic() - started > 0.1
    os.close(fd)
    holder.wait()
