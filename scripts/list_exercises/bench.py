"""bench/run: measures list_read_count against wc -w, each program's
start-up against an empty program, and list_read_count's instructions
against its floor's, in a Release build of the qt5 preset's toolkit, and
writes the tables to bench/results/. It measures; it does not pass or fail
on the figures."""

from __future__ import annotations

import argparse
import csv
import os
import platform
import random
import re
import resource
import shlex
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

from . import build, builds, processes, setup
from .processes import Failure

SOURCE_DIR = Path(__file__).resolve().parents[2]
BUILD = Path("build/bench")
RESULTS = Path("bench/results")
LOCALES = ("C", "C.UTF-8")
# Below 10^5 numbers a run is too short for hyperfine to take the shell's
# own time out reliably; nine counts, four a decade.
COUNTS = (100000, 177828, 316228, 562341, 1000000, 1778279, 3162278, 5623413, 10000000)
ROW_FORMAT = "%-9s %6s %15s %15s %15s %8s %6s %6s %8s %6s %8s\n"
STARTUP_FORMAT = "%-24s %16s %14s %8s %14s\n"

USAGE = """\
Builds the programs in Release (toolkit 5) and measures, with hyperfine:
 - how long list_read_count takes to read 10^5 to 10^7 random integers (in
   quarter-decade steps) against wc -w on the same input, in the C locale and
   in C.UTF-8 (wc -w takes a different path in each), and the ratio of the
   faster wc -w's time to list_read_count's; with the peak memory of both;
 - each program's start-up time against an empty program linked against
   the same toolkit module;
 - with callgrind, the instructions that list_read_count and its floor
   (bench/read_count_floor.cpp) run on 10^7 random ints, and their ratio.
Every input is first counted once, untimed, and the run stops with an error
if list_read_count or wc -w does not count all its numbers. Each command
is timed at least MIN_RUNS times (default 10) after a warm-up run; times
are medians.

It prints the machine, the build measured and the tables, and writes them
to bench/results/ (read-count.txt, start-up.txt, instructions.txt) with a
plot of time and memory against the count of numbers (read-count.svg). It
measures; it does not pass or fail on the figures."""


@dataclass
class Timing:
    """One command's figures from hyperfine's CSV, in seconds."""
    median: str
    stddev: str
    cpu: float

    @property
    def seconds(self) -> float:
        return float(self.median)


def fail(message: str) -> Failure:
    return Failure(message, 1)


def out(text: str, *copies: Path) -> None:
    """TEXT on standard output, and added to each of COPIES."""
    sys.stdout.write(text)
    sys.stdout.flush()
    for copy in copies:
        with copy.open("a") as file:
            file.write(text)


def must(args: list[str | os.PathLike[str]], **options: object) -> None:
    """Runs ARGS, which must succeed (else the run ends with its status)."""
    sys.stdout.flush()
    status = processes.run(args, **options)
    if status != 0:
        raise Failure("", processes.shell_status(status))


def build_programs(programs: list[str]) -> tuple[Path, Path, Path]:
    """The Release build; its programs' folder, empty program and floor.
    Testing stays on: the build then describes itself, and its probe tells
    which toolkit library the programs load."""
    must(["cmake", "-S", ".", "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=ON"],
         stdout=subprocess.DEVNULL)
    must(["cmake", "--build", BUILD, "--parallel", str(build.cores()), "--target", *programs,
          "loaded_toolkit", "empty_program", "read_count_floor"], stdout=subprocess.DEVNULL)
    fields = builds.read_fields(builds.described(BUILD))
    if fields.get("build_type", [""])[0] != "Release":
        raise fail(f"{BUILD} is not a Release build")
    return Path(fields["programs"][0]), BUILD / "bench/empty_program", BUILD / "bench/read_count_floor"


def load_average() -> list[str]:
    return Path("/proc/loadavg").read_text().split()[:3]


def header() -> str:
    """The machine, the build measured and what it is compared with."""
    model = next((line.partition(":")[2].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                  if re.match(r"model name\s*:", line)), "")
    try:
        system = platform.freedesktop_os_release().get("PRETTY_NAME", "")
    except OSError:
        system = ""
    described = processes.output([builds.PRINTER, builds.described(BUILD)])
    wc = processes.output(["wc", "--version"]).splitlines()[0]
    hyperfine = processes.output(["hyperfine", "--version"]).strip()
    lines = [f"Machine: {model}, {build.cores()} cores; {system}, Linux {os.uname().release}; "
             f"load average at start {' '.join(load_average())}",
             f"Build measured ({BUILD}):", *[f"  {line}" for line in described.splitlines()],
             f"Compared with: {wc}; timed with {hyperfine}"]
    load = load_average()[0]
    if float(load) >= 1:
        lines.append(f"NOTE: other work is running (load average {load}): times vary more than on a quiet machine")
    return "\n".join(lines) + "\n"


def time_commands(work: Path, csv_file: Path, options: list[str], commands: list[tuple[str, str]]) -> dict[str, Timing]:
    """Times each command with hyperfine (given OPTIONS), a figure a name.
    Any run that fails stops the benchmark; hyperfine's notes (outliers,
    very short runs) are shown only then."""
    arguments = ["hyperfine", "--style", "none", "--export-csv", str(csv_file), *options]
    for name, command in commands:
        arguments += ["--command-name", name, command]
    log = work / "hyperfine.log"
    with log.open("w") as errors:
        if processes.run(arguments, stdout=subprocess.DEVNULL, stderr=errors) != 0:
            said = log.read_text().rstrip("\n")
            raise fail(f"a timed run failed: {said}")
    with csv_file.open(newline="") as figures:
        return {row["command"]: Timing(row["median"], row["stddev"], float(row["user"]) + float(row["system"]))
                for row in csv.DictReader(figures)}


def peak_kib(command: list[str], stdin: Path) -> int:
    """The peak resident memory of COMMAND, fed STDIN."""
    with stdin.open("rb") as feed:
        measured = subprocess.run(["/usr/bin/time", "-f", "%M", *command], stdin=feed,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if measured.returncode != 0:
        raise fail(f"{' '.join(command)} failed measuring its memory")
    return int(measured.stderr.splitlines()[-1])


def check_reader(reader: Path, numbers: Path, stored: int) -> None:
    """list_read_count must store all STORED numbers and say so."""
    with numbers.open("rb") as feed:
        read = subprocess.run([reader], stdin=feed, stdout=subprocess.PIPE, text=True)
    if read.returncode != 0:
        raise fail(f"list_read_count failed (status {read.returncode}) reading {stored} numbers")
    last = (read.stdout.splitlines() or [""])[-1]
    if last != f"myQList stores {stored} numbers.":
        raise fail(f"list_read_count said '{last}' for {stored} numbers")


def write_numbers(path: Path) -> dict[int, int]:
    """The inputs' numbers: random ints, one a line, never 0. Each count
    takes the first numbers of the largest input, so it is generated once;
    gives the bytes that each count's numbers take."""
    generator = random.Random(1)
    ends: dict[int, int] = {}
    written = 0
    with path.open("w", encoding="ascii") as numbers:
        for start, end in zip((0, *COUNTS), COUNTS):
            values = (int(generator.random() * 4294967295) - 2147483647 for _ in range(end - start))
            text = "".join(f"{value or 1}\n" for value in values)
            numbers.write(text)
            written += len(text)
            ends[end] = written
    return ends


def awk_number(value: float) -> str:
    """VALUE as awk prints a number (an integer whole, else %.6g)."""
    return str(int(value)) if value == int(value) else f"{value:.6g}"


def input_of(work: Path, ends: dict[int, int], count: int) -> Path:
    """The first COUNT numbers, then a 0."""
    path = work / "input"
    with (work / "numbers").open("rb") as numbers, path.open("wb") as made:
        left = ends[count]
        while left:
            chunk = numbers.read(min(left, 1 << 20))
            made.write(chunk)
            left -= len(chunk)
        made.write(b"0\n")
    return path


def read_count_row(work: Path, reader: Path, count: int, min_runs: int, footprint: int, input_path: Path) -> str:
    """COUNT's row of the table (its line of the plot added to plot.dat);
    the counts must be right before any time is worth taking."""
    stored = count + 1
    check_reader(reader, input_path, stored)
    commands = []
    for locale in LOCALES:
        with input_path.open("rb") as feed:
            words = subprocess.run(["wc", "-w"], stdin=feed, stdout=subprocess.PIPE, text=True,
                                   env={**os.environ, "LC_ALL": locale})
        if words.returncode != 0:
            raise fail(f"wc -w failed in {locale}")
        if words.stdout.strip() != str(stored):
            raise fail(f"wc -w in {locale} counted {words.stdout.strip()} of {stored} numbers")
        commands.append((f"wc -w {locale}", f"LC_ALL={locale} wc -w <{shlex.quote(str(input_path))}"))
    commands.append(("list_read_count", f"{shlex.quote(str(reader))} <{shlex.quote(str(input_path))}"))
    timed = time_commands(work, work / f"{count}.csv",
                          ["--warmup", "1", "--min-runs", str(min_runs), "--max-runs", "100"], commands)
    faster = "C.UTF-8" if timed["wc -w C.UTF-8"].seconds < timed["wc -w C"].seconds else "C"
    peak = peak_kib([str(reader)], input_path)
    wc_peak = peak_kib(["env", f"LC_ALL={faster}", "wc", "-w"], input_path)

    def shown(name: str) -> str:
        return f"{timed[name].seconds * 1000:.1f}+-{float(timed[name].stddev) * 1000:.1f}"

    wc, read = timed[f"wc -w {faster}"], timed["list_read_count"]
    with (work / "plot.dat").open("a") as plot:
        plot.write(f"{count} {read.median} {wc.median} {awk_number(peak / 1024)} {awk_number(wc_peak / 1024)}\n")
    return ROW_FORMAT % (count, f"{input_path.stat().st_size / 1e6:.1f}", shown("wc -w C"), shown("wc -w C.UTF-8"),
                         shown("list_read_count"), faster, f"{wc.seconds / read.seconds:.2f}",
                         f"{wc.cpu / read.cpu:.2f}", f"{peak / 1024:.1f}", f"{wc_peak / 1024:.1f}",
                         f"{(peak - footprint) * 1024 / (count + 1):.2f}")


def read_count(work: Path, reader: Path, min_runs: int) -> list[str]:
    """The table of list_read_count against wc -w, shown and in work/table;
    gives its rows."""
    ends = write_numbers(work / "numbers")
    (work / "none").write_text("0\n")
    check_reader(reader, work / "none", 1)
    footprint = peak_kib([str(reader)], work / "none")
    table = work / "table"
    out("\nlist_read_count against wc -w on the same input (random ints, one a line, then a 0):\n"
        f"median +- standard deviation of at least {min_runs} runs each, after a warm-up run;\n"
        "ratio: the faster wc -w's time over list_read_count's (its share of wc -w's speed),\n"
        "and the same for their mean CPU time (user and system), which leaves out waits;\n"
        "peak memory (of list_read_count and of the faster wc -w), and list_read_count's\n"
        f"bytes a stored number above its peak with no input ({footprint // 1024} MB)\n"
        + ROW_FORMAT % ("numbers", "in MB", "wc -w C ms", "wc C.UTF-8 ms", "reader ms", "faster", "ratio",
                        "CPU", "peak MB", "wc MB", "B/number"), table)
    (work / "plot.dat").write_text("")
    rows = []
    for count in COUNTS:
        rows.append(read_count_row(work, reader, count, min_runs, footprint, input_of(work, ends, count)))
        out(rows[-1], table)
    return rows


def plot(work: Path) -> None:
    """Time and peak memory against the count, both axes logarithmic."""
    script = work / "plot.gnuplot"
    data = work / "plot.dat"
    script.write_text(f"""\
set terminal svg size 960,420 dynamic enhanced font "sans,12" background rgb "white"
set output "{RESULTS}/read-count.svg"
set multiplot layout 1,2 title "list_read_count against wc -w (its faster locale), random ints" noenhanced
set logscale xy
set format x "10^{{%L}}"
set xlabel "numbers read"
set grid
set key top left Left reverse noenhanced
set ylabel "seconds (median)"
plot "{data}" using 1:2 with linespoints pt 7 title "list_read_count", \\
     "" using 1:3 with linespoints pt 5 title "wc -w"
set ylabel "peak memory, MB"
plot "{data}" using 1:4 with linespoints pt 7 title "list_read_count", \\
     "" using 1:5 with linespoints pt 5 title "wc -w"
unset multiplot
""")
    must(["gnuplot", script])


def start_up(work: Path, min_runs: int, empty: Path, programs: Path, names: list[str]) -> list[str]:
    """The table of each program's start-up against the empty program's,
    shown and in work/startup; gives its rows."""
    runs = min_runs * 30
    table = work / "startup"
    out("\nStart-up: median +- standard deviation of "
        f"{runs} runs of each program, run\n"
        "directly (no shell), standard input empty, after 10 warm-up runs; and the mean CPU\n"
        "time a run (user and system), which leaves out any wait for a busy processor\n"
        + STARTUP_FORMAT % ("program", "ms a run", "against empty", "CPU ms", "against empty"), table)
    commands = [("empty_program", str(empty))] + [(name, str(programs / name)) for name in names]
    # Two programs fail a check by design, and list_read_count finds no
    # input: their exit statuses are expected.
    timed = time_commands(work, work / "startup.csv",
                          ["-N", "--ignore-failure", "--warmup", "10", "--runs", str(runs)], commands)
    baseline = timed["empty_program"]
    rows = [STARTUP_FORMAT % (name, f"{each.seconds * 1000:.3f}+-{float(each.stddev) * 1000:.3f}",
                              f"{each.seconds / baseline.seconds:.2f}x", f"{each.cpu * 1000:.3f}",
                              f"{each.cpu / baseline.cpu:.2f}x")
            for name, each in timed.items()]
    out("".join(rows), table)
    return rows


def instructions(work: Path, reader: Path, floor: Path) -> str:
    made = work / "instructions"
    with made.open("w") as counted:
        sys.stdout.flush()
        if processes.run([SOURCE_DIR / "bench/read-count-instructions", "--count", str(COUNTS[-1]),
                          reader, floor], stdout=counted) != 0:
            raise fail("counting the instructions failed")
    return made.read_text()


def targets(read_rows: list[str], startup_rows: list[str]) -> str:
    last = next(row.split() for row in read_rows if row.split()[0] == str(COUNTS[-1]))
    ratio, per_number = float(last[6]), float(last[10])
    slowest = max((float(row.split()[2][:-1]) for row in startup_rows), default=0.0)
    return (f"Targets at 10^7 numbers: throughput {ratio:.2f}x the faster wc -w (at least 0.5x: "
            f"{'met' if ratio >= 0.5 else 'NOT met'}); peak memory {per_number:.2f} bytes a number "
            f"(at most 8.5: {'met' if per_number <= 8.5 else 'NOT met'});\n"
            f"start-up: the slowest program at {slowest:.2f}x the empty one (at most 1.10x: "
            f"{'met' if slowest <= 1.10 else 'NOT met'})\n")


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="bench/run", description=USAGE,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("min_runs", metavar="MIN_RUNS", nargs="?", default="10")
    min_runs = parser.parse_args(argv).min_runs
    if not re.fullmatch(r"[1-9][0-9]*", min_runs):
        raise Failure(f"MIN_RUNS is a count of runs, not '{min_runs}'", 2)
    os.chdir(SOURCE_DIR)
    # The programs that fail a check by design must not spend time on core dumps.
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    preset, = build.chosen(["qt5"], steps=False)
    setup.basics()
    setup.set_up(["qt5", "bench"], {"qt5": preset})
    names = sorted(reference.parent.parent.name for reference in SOURCE_DIR.glob("*/reference/run.ending"))
    programs, empty, floor = build_programs(names)
    reader = programs / "list_read_count"
    # Both locales must really be there, or wc -w would quietly run in C twice.
    charmap = subprocess.run(["locale", "charmap"], capture_output=True, text=True,
                             env={**os.environ, "LC_ALL": "C.UTF-8"})
    if charmap.stdout.strip() != "UTF-8":
        raise fail("the C.UTF-8 locale is not available here")
    shared = Path("/dev/shm")
    work = Path(tempfile.mkdtemp(prefix="bench.", dir=shared if os.access(shared, os.W_OK) else None))
    processes.remove_at_exit(work)
    RESULTS.mkdir(parents=True, exist_ok=True)
    head = header()
    out(head)
    read_rows = read_count(work, reader, int(min_runs))
    (RESULTS / "read-count.txt").write_text(head + (work / "table").read_text())
    plot(work)
    startup_rows = start_up(work, int(min_runs), empty, programs, names)
    (RESULTS / "start-up.txt").write_text(head + (work / "startup").read_text())
    out("\n")
    counted = instructions(work, reader, floor)
    out(counted)
    (RESULTS / "instructions.txt").write_text(head + counted)
    out("\n")
    out(f"Load average at the end: {' '.join(load_average())}\n", RESULTS / "read-count.txt")
    out(targets(read_rows, startup_rows), RESULTS / "read-count.txt")
    out(f"Written: {RESULTS}/read-count.txt, {RESULTS}/read-count.svg, {RESULTS}/start-up.txt, "
        f"{RESULTS}/instructions.txt\n")
    return 0
