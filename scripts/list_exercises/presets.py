"""The project's CMake configure presets (CMakePresets.json, and the user's
CMakeUserPresets.json), read with json and resolved as CMake resolves them:
a field is the preset's own, or else that of the first preset it inherits
from that has it, depth first; each cache variable on its own. What the
project's commands need of a preset is read from its cache variables and
from the vendor object "list-exercises/setup": the Debian packages of its
tools (those of the preset and of every preset it inherits from) and of its
toolkit (the first that gives them, else the base preset's)."""

from __future__ import annotations

import argparse
import json
import os
import platform
import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

SOURCE_DIR = Path(__file__).resolve().parents[2]
VENDOR = "list-exercises/setup"
STEP_KINDS = ("buildPresets", "testPresets")
# A release or a CPU goes into paths and into mmdebstrap's options.
PLAIN_NAME = re.compile(r"[a-z0-9][a-z0-9.-]*")


class PresetError(Exception):
    """A preset that cannot be used, said in words for the user."""


@dataclass
class Preset:
    name: str
    display_name: str = ""
    binary_dir: Path | None = None
    qt: str = ""
    release: str = ""
    arch: str = ""
    packages: list[str] = field(default_factory=list)
    toolkit_packages: list[str] = field(default_factory=list)
    # Whether a build preset and a test preset of its name build and test
    # it (test.sh and run.sh build and test a preset with them).
    build_preset: bool = False
    test_preset: bool = False

    @property
    def has_root(self) -> bool:
        """Whether it builds in a system root (of its release and CPU)."""
        return bool(self.arch)


def _words(entry: Any) -> str:
    # A package entry may be a list of words (a command, once): joined.
    return " ".join(map(str, entry)) if isinstance(entry, list) else str(entry)


class Presets:
    """Every configure preset of a source folder, hidden ones included."""

    def __init__(self, source_dir: Path = SOURCE_DIR, users: bool = True) -> None:
        """USERS: the user's own presets too (CMakeUserPresets.json)."""
        self.source_dir = source_dir
        self.raw: dict[str, dict[str, Any]] = {}
        self.visible: list[str] = []
        # The build and test presets, by kind ("buildPresets", "testPresets").
        self.steps: dict[str, dict[str, dict[str, Any]]] = {kind: {} for kind in STEP_KINDS}
        files = ("CMakePresets.json", "CMakeUserPresets.json") if users else ("CMakePresets.json",)
        for file in files:
            path = source_dir / file
            if not path.exists():
                continue
            try:
                read = json.loads(path.read_text())
                presets = read.get("configurePresets", [])
                for kind in STEP_KINDS:
                    self.steps[kind].update((step["name"], step) for step in read.get(kind, []))
            except (OSError, ValueError, AttributeError, KeyError, TypeError) as error:
                raise PresetError(f"cannot read the configure presets of {file}: {error}") from error
            for preset in presets:
                self.raw[preset["name"]] = preset
                if not preset.get("hidden", False):
                    self.visible.append(preset["name"])

    def parents(self, name: str) -> list[str]:
        inherits = self.raw.get(name, {}).get("inherits", [])
        return [inherits] if isinstance(inherits, str) else list(inherits)

    def first(self, name: str, *keys: str) -> Any:
        """The value at KEYS of the preset, or of the first preset it
        inherits from that has one (depth first); None where none has."""
        value: Any = self.raw.get(name, {})
        for key in keys:
            value = value.get(key) if isinstance(value, dict) else None
        # (An empty list given is given: it says there is none.)
        if value is not None and value != "":
            return value
        for parent in self.parents(name):
            value = self.first(parent, *keys)
            if value is not None:
                return value
        return None

    def every(self, name: str, *keys: str) -> list[str]:
        """The list at KEYS of the preset and of every preset it inherits
        from, each entry once."""
        value: Any = self.raw.get(name, {})
        for key in keys:
            value = value.get(key) if isinstance(value, dict) else None
        entries = [_words(entry) for entry in value or []]
        for parent in self.parents(name):
            entries += self.every(parent, *keys)
        return list(dict.fromkeys(entries))

    def has_step(self, kind: str, name: str) -> bool:
        """Whether a build or test preset (KIND) named NAME, not hidden, is
        of the configure preset NAME."""
        step = self.steps[kind].get(name)
        return (step is not None and not step.get("hidden", False)
                and self.step_configure_preset(kind, name) == name)

    def step_configure_preset(self, kind: str, name: str, seen: frozenset[str] = frozenset()) -> str:
        """The configure preset of a build or test preset: its own, or that
        of the first preset it inherits from that names one (depth first)."""
        step = self.steps[kind].get(name)
        if step is None or name in seen:
            return ""
        if "configurePreset" in step:
            return str(step["configurePreset"])
        inherits = step.get("inherits", [])
        for parent in [inherits] if isinstance(inherits, str) else inherits:
            found = self.step_configure_preset(kind, parent, seen | {name})
            if found:
                return found
        return ""

    def cache_variable(self, name: str, variable: str) -> str:
        value = self.first(name, "cacheVariables", variable)
        if isinstance(value, dict):
            value = value.get("value", "")
        if isinstance(value, bool):
            return "TRUE" if value else "FALSE"
        return "" if value is None else str(value)

    def binary_dir(self, name: str) -> Path | None:
        pattern = self.first(name, "binaryDir")
        if not pattern:
            return None
        macros = {
            "sourceDir": str(self.source_dir),
            "sourceParentDir": str(self.source_dir.parent),
            "sourceDirName": self.source_dir.name,
            "presetName": name,
            "hostSystemName": platform.system(),
            "dollar": "$",
        }
        expanded = re.sub(r"\$(?:penv|env)\{([^}]*)\}", lambda match: os.environ.get(match[1], ""), pattern)
        expanded = re.sub(r"\$\{(\w+)\}", lambda match: macros.get(match[1], match[0]), expanded)
        return Path(os.path.normpath(self.source_dir / expanded))

    def preset(self, name: str) -> Preset:
        """The preset NAME, resolved; a release or CPU that is not a plain
        name is refused by the preset's name."""
        if name not in self.visible:
            raise PresetError(f"no preset named {name}; the presets are: {' '.join(self.visible)}")
        toolkit = self.first(name, "vendor", VENDOR, "toolkitPackages")
        if toolkit is None:
            toolkit = self.raw.get("base", {}).get("vendor", {}).get(VENDOR, {}).get("toolkitPackages", [])
        preset = Preset(
            name=name,
            display_name=self.first(name, "displayName") or "",
            binary_dir=self.binary_dir(name),
            qt=self.cache_variable(name, "LISTS_QT_VERSION"),
            release=self.cache_variable(name, "LISTS_DEBIAN_SUITE"),
            arch=self.cache_variable(name, "LISTS_DEBIAN_ARCH"),
            packages=self.every(name, "vendor", VENDOR, "packages"),
            toolkit_packages=[_words(entry) for entry in toolkit],
            build_preset=self.has_step("buildPresets", name),
            test_preset=self.has_step("testPresets", name),
        )
        for what, value in (("release (LISTS_DEBIAN_SUITE)", preset.release),
                            ("CPU (LISTS_DEBIAN_ARCH)", preset.arch)):
            if value and not PLAIN_NAME.fullmatch(value):
                raise PresetError(f"the preset {name}'s {what} '{value}' is refused: a name is of "
                                  "a-z, 0-9, '.' and '-', from a letter or digit")
        return preset

    def presets(self, names: list[str] | None = None) -> list[Preset]:
        """The presets NAMES (every visible one where none is given); every
        unknown name is said at once."""
        names = names or self.visible
        unknown = [name for name in names if name not in self.visible]
        if unknown:
            raise PresetError(f"no preset named {' '.join(unknown)}; the presets are: {' '.join(self.visible)}")
        return [self.preset(name) for name in names]


def without_steps(chosen: list[Preset]) -> str:
    """Where a preset of CHOSEN has no build preset or no test preset of its
    name, with which test.sh and run.sh build and test it, what to add;
    empty where each has both."""
    alone = [preset.name for preset in chosen if not (preset.build_preset and preset.test_preset)]
    if not alone:
        return ""
    steps = {"buildPresets": [{"name": name, "configurePreset": name} for name in alone],
             "testPresets": [{"name": name, "inherits": "base", "configurePreset": name} for name in alone]}
    which = f"the preset {alone[0]} has" if len(alone) == 1 else f"the presets {' '.join(alone)} have"
    return (f"{which} no build preset and test preset of its name, which build and test it here as "
            "`cmake --build --preset NAME` and `ctest --preset NAME` do: add to CMakeUserPresets.json "
            f"{json.dumps(steps)[1:-1]}")


def fact_lines(preset: Preset) -> list[str]:
    """The preset as lines of PRESET FACT VALUE, as the shell commands read
    them today."""
    lines = [f"{preset.name} name {preset.name}"]
    if preset.binary_dir is not None:
        lines.append(f"{preset.name} binaryDir {preset.binary_dir}")
    for fact, value in (("qt", preset.qt), ("release", preset.release), ("arch", preset.arch)):
        if value:
            lines.append(f"{preset.name} {fact} {value}")
    lines += [f"{preset.name} packages {entry}" for entry in preset.packages]
    lines += [f"{preset.name} toolkitPackages {entry}" for entry in preset.toolkit_packages]
    if preset.display_name:
        lines.append(f"{preset.name} displayName {preset.display_name}")
    return lines


TABLE_HEADER = ("| preset | what it checks | system root | Debian packages it needs besides "
                "`g++ make cmake python3` |\n|---|---|---|---|\n")


def table(read: Presets) -> str:
    """The table of every preset that docs/building.md shows."""
    rows = []
    for preset in read.presets():
        root = f"{preset.release} {preset.arch}" if preset.has_root else "none"
        packages = list(dict.fromkeys(preset.packages + preset.toolkit_packages))
        # (A bar in a cell would end it.)
        needs = "`" + " ".join(packages).replace("|", "\\|") + "`" if packages else "none"
        rows.append(f"| `{preset.name}` | {preset.display_name} | {root} | {needs} |\n")
    return TABLE_HEADER + "".join(rows)


def shown_table(text: str) -> str:
    """The table in a document: from its header row to the first line that
    is not a row."""
    lines: list[str] = []
    for line in text.splitlines(keepends=True):
        if not lines and not line.startswith("| preset | what it checks"):
            continue
        if not line.startswith("|"):
            break
        lines.append(line)
    return "".join(lines)


def main(argv: list[str] | None = None) -> int:
    import difflib
    import sys

    parser = argparse.ArgumentParser(
        prog="presets",
        description="Prints the names of the configure presets that can be used "
                    "(CMakePresets.json and CMakeUserPresets.json, hidden ones left out), a line "
                    "each; with NAMEs, checks that each is one of them (exit 2 where one is not, "
                    "or where a preset's release or CPU is not a plain name).")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--facts", action="store_true",
                      help="what the project's commands need of each preset, as lines of "
                           "PRESET FACT VALUE (build folder, release, CPU, packages...)")
    mode.add_argument("--table", action="store_true",
                      help="the table of every preset that docs/building.md shows")
    mode.add_argument("--check-table", metavar="FILE", type=Path,
                      help="whether FILE shows that table as it is now (exit 1, with the "
                           "difference, where it does not)")
    parser.add_argument("--project", action="store_true",
                        help="the project's own presets alone (CMakePresets.json), not the "
                             "user's; the table is always of those")
    parser.add_argument("names", metavar="NAME", nargs="*",
                        help="after --, a name is never taken for an option")
    arguments = parser.parse_args(argv)
    caller = os.environ.get("LISTS_CALLER") or "presets"
    try:
        # (The docs' table is of the project's presets, whatever a user adds.)
        read = Presets(users=not (arguments.project or arguments.table or arguments.check_table))
        if arguments.table or arguments.check_table:
            made = table(read)
        else:
            chosen = read.presets(arguments.names)
    except PresetError as error:
        print(f"{caller}: {error}", file=sys.stderr)
        return 2
    if arguments.table:
        sys.stdout.write(made)
    elif arguments.check_table:
        try:
            shown = shown_table(arguments.check_table.read_text())
        except OSError as error:
            print(f"presets: cannot read {arguments.check_table}: {error.strerror}", file=sys.stderr)
            return 2
        if shown != made:
            sys.stdout.writelines(difflib.unified_diff(
                shown.splitlines(keepends=True), made.splitlines(keepends=True),
                f"the table in {arguments.check_table}", "the presets' table (scripts/presets --table)"))
            print(f"presets: {arguments.check_table} does not show the presets as they are: "
                  "put in scripts/presets --table's", file=sys.stderr)
            return 1
        print(f"presets: {arguments.check_table} shows every preset as CMakePresets.json has it")
    elif arguments.facts:
        for preset in chosen:
            print("\n".join(fact_lines(preset)))
    elif not arguments.names:
        print("\n".join(preset.name for preset in chosen))
    return 0
