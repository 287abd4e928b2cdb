"""The cache under concurrent makers, a killed maker, prunes beside holders,
and folders that are not the user's own."""
import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from list_exercises import cache, processes, tending

SCRIPTS = Path(__file__).resolve().parents[2] / "scripts"
# A run that takes the entry NAME, made (slowly) by writing a file whose
# making it counts; it holds the entry until told to end (its stdin ends).
TAKER = textwrap.dedent("""\
    import sys, time
    sys.path.insert(0, sys.argv[1])
    from list_exercises import cache, processes
    def make(stage):
        with open(sys.argv[3], "a") as count:
            count.write("made\\n")
        if len(sys.argv) > 5:  # a child that goes on writing once this run is killed
            processes.run(["sh", "-c", ': > "$2.started"; sleep "$1"; : > "$2"', "-", sys.argv[4], sys.argv[5]])
        time.sleep(float(sys.argv[4]))
        stage.mkdir()
        (stage / "content").write_text("whole")
    def main(argv):
        entry = cache.take(sys.argv[2], make)
        print(entry, (entry / "content").read_text(), flush=True)
        sys.stdin.read()
    processes.command(main, "taker")
    """)


@pytest.fixture
def folder(tmp_path, monkeypatch):
    where = tmp_path / "cache"
    monkeypatch.setenv("LISTS_CACHE_DIR", str(where))
    monkeypatch.delenv("LISTS_CACHE_REFRESH", raising=False)
    monkeypatch.delenv("LISTS_CACHE_HELD", raising=False)
    monkeypatch.setenv("LISTS_CACHE_LIMIT", "20G")
    (tmp_path / "taker").write_text(TAKER)
    return where


def taker(folder: Path, name: str, seconds: float = 0.0, *child: str) -> subprocess.Popen:
    return subprocess.Popen(
        [sys.executable, str(folder.parent / "taker"), str(SCRIPTS), name, str(folder.parent / f"{name}.count"),
         str(seconds), *child], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def end(run: subprocess.Popen) -> tuple[str, str]:
    out, err = run.communicate("", timeout=30)
    return out, err


def test_concurrent_makers_make_once_and_both_take_it_whole(folder):
    runs = [taker(folder, "root", 1.0) for _ in range(3)]
    results = [end(run) for run in runs]
    assert all(run.returncode == 0 for run in runs), results
    assert (folder.parent / "root.count").read_text() == "made\n"
    assert all(out == f"{folder / 'root'} whole\n" for out, _ in results)
    said = "".join(err for _, err in results)
    assert said.count("waiting for it") >= 1 and said.count("took root from the cache") == 2
    assert sorted(p.name for p in folder.iterdir()) == [".root.lock", "root"]
    assert not (folder / "root").stat().st_mode & 0o022


def test_a_killed_makers_leftovers_are_swept_and_the_entry_made(folder):
    run = taker(folder, "root", 30.0)
    deadline = time.monotonic() + 10
    while not (folder.parent / "root.count").exists():
        assert time.monotonic() < deadline
        time.sleep(0.02)
    # Killed outright: no clean-up of its own.
    run.kill()
    run.communicate()
    (folder / f".root.{run.pid}").mkdir()
    out, err = end(second := taker(folder, "root"))
    assert second.returncode == 0, err
    assert f"removing .root.{run.pid}, left by a run that was stopped" in err
    assert sorted(p.name for p in folder.iterdir()) == [".root.lock", "root"]


def test_prune_leaves_what_a_run_holds_and_removes_the_rest(folder):
    for name in ("old", "held"):
        end(taker(folder, name))
    os.utime(folder / "old", (1, 1))
    holder = taker(folder, "held")
    assert holder.stdout.readline()
    # Bash's holds (flock -s on the same lock) count as well.
    bash_holder = subprocess.Popen(["flock", "-o", "-s", str(folder / ".old.lock"), "sleep", "30"])
    time.sleep(0.2)
    assert tending.prune(0) == ["left old, which a run holds", "left held, which a run holds"]
    bash_holder.kill()
    bash_holder.wait()
    size = tending.size_text(tending.disk_bytes(folder / "old"))
    assert tending.prune(0) == [f"removed old ({size})", "left held, which a run holds"]
    assert not (folder / "old").exists() and (folder / "held").exists()
    end(holder)
    assert tending.remove("held") and not (folder / "held").exists()


def test_a_refresh_makes_it_anew_but_not_in_the_run_that_holds_it(folder, monkeypatch):
    end(taker(folder, "root"))
    monkeypatch.setenv("LISTS_CACHE_REFRESH", "root")
    made = []

    def make(stage: Path) -> None:
        made.append(stage)
        stage.mkdir()
    assert cache.take("root", make) == folder / "root"
    assert len(made) == 1 and str(folder / "root") in os.environ["LISTS_CACHE_HELD"]
    assert cache.take("root", make) == folder / "root" and len(made) == 1


def test_a_failed_maker_leaves_nothing(folder):
    def make(stage: Path) -> None:
        stage.mkdir()
        Path(f"{stage}.fetched").write_text("2026-12-01\n")
        raise processes.Failure("mmdebstrap failed")
    with pytest.raises(processes.Failure):
        cache.take("root", make)
    assert [p.name for p in folder.iterdir()] == [".root.lock"]


@pytest.mark.parametrize("harm, why", [
    (lambda f: f.chmod(0o777), "others may write to it (mode 777)"),
    (lambda f: ((f / "root").rename(f / "real"), (f / "root").symlink_to(f / "real")), "it is a symbolic link"),
])
def test_what_is_not_the_users_own_alone_stops_the_run(folder, harm, why):
    end(taker(folder, "root"))
    harm(folder)
    with pytest.raises(processes.Failure) as refused:
        cache.take("root", lambda stage: stage.mkdir())
    assert refused.value.status == 2 and why in refused.value.message


def test_fetched_day_and_limits(folder, tmp_path, monkeypatch):
    release = tmp_path / "InRelease"
    release.write_text("Origin: Debian\nDate: Sat, 05 Dec 2026 23:10:01 UTC\n")
    other = tmp_path / "Release"
    other.write_text("Date: Mon, 30 Nov 2026 08:00:00 UTC\n")

    def make(stage: Path) -> None:
        stage.mkdir()
        cache.record_fetched(stage, [other, release, tmp_path / "missing"])
    cache.take("root", make)
    assert cache.fetched("root") == "2026-12-05"
    monkeypatch.setenv("LISTS_CACHE_LIMIT", "1.5G")
    assert tending.limit() == 3 << 29
    monkeypatch.setenv("LISTS_CACHE_LIMIT", "lots")
    with pytest.raises(processes.Failure):
        tending.limit()


def test_a_signal_to_a_waiting_taker_ends_it(folder):
    maker = taker(folder, "root", 30.0)
    deadline = time.monotonic() + 10
    while not (folder.parent / "root.count").exists():
        assert time.monotonic() < deadline
        time.sleep(0.02)
    waiting = taker(folder, "root")
    time.sleep(0.5)
    waiting.send_signal(signal.SIGTERM)
    _, err = waiting.communicate(timeout=10)
    assert waiting.returncode == 143 and "waiting for it" in err
    maker.send_signal(signal.SIGTERM)
    maker.communicate(timeout=40)
    assert maker.returncode == 143
    assert [p.name for p in folder.iterdir()] == [".root.lock"]


def test_a_killed_makers_child_that_goes_on_is_waited_for(folder):
    done = folder.parent / "child-done"
    run = taker(folder, "root", 1.5, str(done))
    deadline = time.monotonic() + 10
    while not (folder.parent / "child-done.started").exists():
        assert time.monotonic() < deadline
        time.sleep(0.02)
    run.kill()
    # (Not its streams' end: the child holds them.)
    run.wait()
    _, err = end(second := taker(folder, "root"))
    assert second.returncode == 0, err
    assert "another run is making root; waiting for it" in err
    assert done.exists()
