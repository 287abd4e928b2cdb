"""mmdebstrap's setup hook for every root (list_exercises.roots), once the
root's apt sources are written and before their indexes are fetched:

    python3 -m list_exercises.additions ROOT

Each addition (an archive of another suite than the release's own: its
updates, its security archive) is fetched alone, and left out where that
fails, as it does while an archive is in mid-sync; the release's own
archive is noted, for the line that says why a root could not be made. What
it needs of the run is in the environment: LISTS_ROOT_SUITE (the release),
LISTS_ROOT_NOTES (a file for the lines to say, one a line),
LISTS_ROOT_ARCHIVE (a file for the release's archive), and mmdebstrap's
MMDEBSTRAP_APT_CONFIG."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

# apt's lines that say nothing of why (what follows from the reason, or
# what mmdebstrap always warns of in chrootless mode).
_NOT_REASONS = re.compile(r"Some index files failed|failed$|failed to run|chrootless mode as root|unsandboxed")


def apt_reason(said: str) -> str:
    """The first of apt's errors (else warnings) in SAID, without the
    address it was fetched from."""
    lines = [line for line in said.splitlines() if re.match(r"(E|W): ", line) and not _NOT_REASONS.search(line)]
    lines.sort(key=lambda line: line[0])
    if not lines:
        return ""
    reason = lines[0][3:]
    reason = re.sub(r"^Failed to fetch [^ ]+ +", "", reason)
    return re.sub(r" *\[IP: [^]]*\]", "", reason)


def source_of(line: str) -> tuple[str, str] | None:
    """The archive and suite of a one-line `deb [OPTIONS] URI SUITE
    COMPONENT...` line; None for any other line."""
    words = line.split()
    if not words or words[0] != "deb":
        return None
    at = 1
    if len(words) > 1 and words[1].startswith("["):
        while at < len(words) and not words[at].endswith("]"):
            at += 1
        at += 1
    if at + 1 >= len(words):
        return None
    return words[at], words[at + 1]


def can_be_had(line: str, probe: Path, apt_config: str) -> str:
    """Whether the sources LINE's index can be had now: "" where it can,
    else apt's reason."""
    shutil.rmtree(probe, ignore_errors=True)
    (probe / "lists" / "partial").mkdir(parents=True)
    (probe / "sources.list").write_text(line + "\n")
    done = subprocess.run(
        ["apt-get", "update", "-q", "--error-on=any",
         "-o", f"Dir::Etc::SourceList={probe / 'sources.list'}", "-o", f"Dir::Etc::SourceParts={probe / 'none'}",
         "-o", f"Dir::State::Lists={probe / 'lists'}", "-o", "APT::Sandbox::User=root"],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
        env={**os.environ, "APT_CONFIG": apt_config}, check=False)
    if done.returncode == 0:
        return ""
    return apt_reason(done.stdout) or "apt-get update failed"


def leave_out_failing_additions(root: Path, suite: str, notes: Path, archive: Path, apt_config: str) -> None:
    probe = root / "tmp" / "addition-probe"
    # (Sources in one-line form: mmdebstrap writes its own so, and a mirror
    # named by a file of such lines.)
    for sources in [root / "etc/apt/sources.list", *sorted((root / "etc/apt/sources.list.d").glob("*.list"))]:
        if not sources.is_file():
            continue
        kept = []
        for line in sources.read_text().splitlines():
            source = source_of(line)
            if source and source[1] == suite:
                archive.write_text(source[0] + "\n")
            elif source:
                reason = can_be_had(line, probe, apt_config)
                if reason:
                    with notes.open("a") as said:
                        said.write(f"left out {source[0]} {source[1]}, whose index cannot be had now: {reason}\n")
                    continue
            kept.append(line)
        sources.write_text("".join(line + "\n" for line in kept))
    shutil.rmtree(probe, ignore_errors=True)


def main(argv: list[str]) -> int:
    needed = ("LISTS_ROOT_SUITE", "LISTS_ROOT_NOTES", "LISTS_ROOT_ARCHIVE", "MMDEBSTRAP_APT_CONFIG")
    missing = [name for name in needed if name not in os.environ]
    if len(argv) != 1 or missing:
        print("usage: python3 -m list_exercises.additions ROOT, as mmdebstrap's setup hook "
              f"(with {', '.join(needed)} in the environment)", file=sys.stderr)
        return 2
    leave_out_failing_additions(Path(argv[0]), os.environ["LISTS_ROOT_SUITE"], Path(os.environ["LISTS_ROOT_NOTES"]),
                                Path(os.environ["LISTS_ROOT_ARCHIVE"]), os.environ["MMDEBSTRAP_APT_CONFIG"])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
