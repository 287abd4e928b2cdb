"""bench/run's figures: the targets it ends with follow from its tables (the
results kept in bench/results/, as a run wrote them), and its input is what
the tables say it is."""
from pathlib import Path

from list_exercises import bench

RESULTS = Path(__file__).resolve().parents[2] / "bench" / "results"


def rows(path: Path, first_cell) -> list[str]:
    return [line + "\n" for line in path.read_text().splitlines()
            if line.split() and first_cell(line.split()[0]) and line.split()[0] != "Machine:"]


def test_the_targets_follow_from_the_tables():
    read_count = RESULTS / "read-count.txt"
    read_rows = rows(read_count, str.isdigit)
    startup_rows = [row for row in rows(RESULTS / "start-up.txt", lambda cell: True)
                    if len(row.split()) == 5 and row.split()[2].endswith("x")]
    assert len(read_rows) == len(bench.COUNTS) and startup_rows
    said = read_count.read_text().split("Targets at", 1)[1]
    assert bench.targets(read_rows, startup_rows) == "Targets at" + said


def test_each_count_takes_the_first_numbers_then_a_zero(tmp_path, monkeypatch):
    monkeypatch.setattr(bench, "COUNTS", (3, 10))
    ends = bench.write_numbers(tmp_path / "numbers")
    numbers = (tmp_path / "numbers").read_text().splitlines()
    assert len(numbers) == 10 and all(int(number) != 0 and abs(int(number)) < 2**31 for number in numbers)
    assert bench.input_of(tmp_path, ends, 3).read_text().splitlines() == numbers[:3] + ["0"]


def test_the_plots_figures_are_written_as_awk_writes_them():
    assert [bench.awk_number(value) for value in (7.5, 83.0, 1.7265625, 12345678.5)] == \
        ["7.5", "83", "1.72656", "1.23457e+07"]
