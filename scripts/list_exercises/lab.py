"""lab-check: each build checked on a device of a LAVA lab, a job a build,
and a table of what came back (list_exercises.lava is the server)."""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, BinaryIO, Callable, NoReturn

from . import processes, report
from .builds import description_of, read_fields
from .lava import Lava
from .processes import Failure, captured

SOURCE = Path(__file__).resolve().parents[2]
COLUMNS = ("build", "toolkit", "CPU", "device", "passed", "failed", "job", "result")
USAGE = """lab-check [--identity NAME] --device-type CPU=TYPE... [--job-template TYPE=FILE]...
                 [--bundles DIR=URL] [--timeout MINUTES] [--visibility personal|public]
                 BUILD_DIR..."""
ABOUT = """\
Checks each build on a device of a LAVA lab: submits a job a build with
lavacli, to the device type named for the build's CPU (Debian's name, as
its description has it: describe-build BUILD debian_arch), waits for the
jobs, reads each one's health and every test case's result back from the
server, and ends with a table, a row a build: the toolkit the device
loaded, the CPU, the device, the cases passed and failed, the job and the
result.

Each job deploys to the device over its ssh connection (deploy to ssh, boot
by ssh: the device type extends LAVA's ssh type, lava/ssh-type.yaml), or
as --job-template TYPE=FILE says for device type TYPE: FILE the lab's own
deploy and boot actions for it, a YAML sequence of LAVA actions, without
a test action (before them, where the type needs one, the job's context:
a 'context:' block), that names the build's files as {{ bundle_url }},
{{ bundle_sha256 }}, {{ tarball_url }} (the tarball, written beside the
bundle) and {{ tarball_sha256 }}, each a whole value. Then it runs the test
definition lava/list-exercises.yaml, which it takes from a bundle: a tar
archive of lava/ and the build's cpack tarball, written to DIR and fetched
by the worker from URL/BUNDLE. By default DIR is BUILD_DIR/lab-check and
URL its file:// address: for a worker that sees this machine's files at
the same paths (one on this machine); for another lab, DIR a folder its
web server publishes and URL that folder's address. A bundle is named for
its run (two runs sharing DIR never write the same file) and removed when
the run ends; the job gives its SHA-256, which the worker checks before it
unpacks it, and the tarball's, which the device checks before it unpacks
that.

The lab is lavacli's identity NAME ('default' unless named), as your
lavacli configuration has it; the identity's token never reaches the
output. The jobs are personal (only you see them on the server) unless
--visibility public. Exit status: 0 only when every job ran to its end and
every case passed (a skipped case is no pass); 1 where a case failed or a
job could not run (rejected, the device offline, the connection failed:
LAVA's own error is said; or not ended within --timeout MINUTES of
waiting, 60 unless given, or not to be waited for after a few tries, and
then cancelled, saying why); 2 where the server cannot be reached (named)
or the command is used wrongly (a job template refused among them: its
file and line said). Ctrl-C cancels the jobs it submitted."""


@dataclass
class Build:
    """A build to check, and how its job went."""
    path: Path
    cpu: str
    device_type: str
    job: str = ""
    finished: bool = False
    error: str = ""

    @property
    def name(self) -> str:
        return self.path.name


@dataclass
class Outcome:
    """What a job's results say: the check's cases passed and failed (a
    skipped one is no pass), whether the check could run at all (its case
    run-ptest), the toolkit the device loaded (the reference of the case
    header/toolkit), and LAVA's own error, if any."""
    passed: int = 0
    failed: int = 0
    cannot_run: bool = False
    toolkit: str = "-"
    error: str = ""


def read_results(results: list[Any]) -> Outcome:
    """The Outcome of a job's cases, as `lavacli results --json` gives them."""
    outcome = Outcome()
    toolkit = ""
    for case in results:
        if not isinstance(case, dict):
            continue
        suite, name, metadata = str(case.get("suite", "")), str(case.get("name", "")), case.get("metadata")
        metadata = metadata if isinstance(metadata, dict) else {}
        if suite == "lava" and metadata.get("error_msg") and not outcome.error:
            outcome.error = " ".join(str(metadata["error_msg"]).split())
        # (The definition's cases are in the suite N_list-exercises.)
        if not suite.endswith("_list-exercises"):
            continue
        if name == "header/toolkit":
            toolkit = str(metadata.get("reference", "")).replace("_", " ")
        elif not name.startswith("header/"):
            passed = case.get("result") == "pass"
            outcome.passed += passed
            outcome.failed += not passed
            outcome.cannot_run = outcome.cannot_run or (name == "run-ptest" and not passed)
    outcome.toolkit = " ".join(toolkit.split()) or "-"
    return outcome


# The values a job template may name, each as {{ name }}: what lab-check
# knows of a build only as it submits its job.
PLACEHOLDERS = ("bundle_url", "bundle_sha256", "tarball_url", "tarball_sha256")
PLACEHOLDER = re.compile(r"\{\{(.*?)\}\}")
# (Text before a placeholder that leaves it a whole value: a mapping's
# value, a sequence's item or an item of a flow sequence; after it, the
# line's end, a comment or the end of a flow collection's item.)
BEFORE_VALUE = re.compile(r"(^|\s)-\s+$|\S:\s+$|[\[,]\s*$")
AFTER_VALUE = re.compile(r"\s*$|\s+#|\s*[\],}]")
ITEM = re.compile(r"(\s*)-(\s+|$)")
KEY = re.compile(r"""(["']?)([A-Za-z_][A-Za-z0-9_.-]*)\1\s*:(\s|$)""")
FLOW_KEY = re.compile(r"""\{\s*(["']?)([A-Za-z_][A-Za-z0-9_.-]*)\1\s*:""")
SSH_TYPE = SOURCE / "lava" / "ssh-type.yaml"
# The job's context a template may give before its actions (LAVA's qemu
# type takes the CPU from it, context.arch).
CONTEXT = re.compile(r"context:(\s|$)")


@dataclass
class Template:
    """A job template: a device type's deploy and boot actions, as YAML,
    a block sequence of actions at COLUMN, naming NAMES; TEXT from its first
    item on, line START of the file; CONTEXT the job's context it gives
    before them (its 'context:' block at column 0, or "")."""
    path: str
    text: str
    start: int
    column: int
    names: set[str]
    context: str = ""


def is_comment(line: str) -> bool:
    return line.lstrip(" \t").startswith("#")


def read_template(path: str) -> Template:
    """The template in file PATH, refused (exit 2), its line named, where it
    is no YAML block sequence of actions (as far as a line's indentation and
    first words tell: PyYAML, where there is one, reads it too), has a test
    action of its own, or names what is no placeholder."""
    try:
        text = Path(path).read_text(encoding="utf-8").removeprefix("\ufeff")
    except (OSError, UnicodeDecodeError) as error:
        why = error.strerror if isinstance(error, OSError) else "not UTF-8 text"
        raise Failure(f"cannot read the job template {path} ({why})", 2) from None

    def refuse(number: int, why: str) -> NoReturn:
        raise Failure(f"job template {path}, line {number}: {why}", 2)

    lines = text.splitlines()
    column, start, names = -1, 0, set()
    # (The lines of the job's context before the actions, where it has one.)
    context: list[str] = []
    # (The column of the keys of the action on the lines before, -1 where
    # its first key is still to come.)
    keys: int | None = None
    for number, line in enumerate(lines, 1):
        if not line.strip(" \t") or is_comment(line):
            continue
        indent = len(line) - len(line.lstrip(" "))
        if line[indent] == "\t":
            refuse(number, "indented with a tab (YAML takes spaces only)")
        if column < 0 and re.fullmatch(r"---\s*", line):
            # (The one document's start: the job is the document.)
            continue
        item = ITEM.match(line)
        if column < 0 and (CONTEXT.match(line) and not context or context and indent > 0):
            if PLACEHOLDER.search(line):
                refuse(number, "a placeholder in the job's context (only the actions may name one)")
            context.append(line)
            continue
        if column < 0:
            if not item:
                refuse(number, "not a YAML sequence of actions: its first item, '- deploy: ...', expected")
            column, start = indent, number
        elif indent < column or indent == column and not item:
            refuse(number, "outside the sequence of actions (at its column, an item, '- ...', expected)")
        key_at = None
        if item and indent == column:
            key_at = item.end()
            if key_at == len(line):
                keys = -1
            elif not (KEY.match(line, key_at) or FLOW_KEY.match(line, key_at)):
                refuse(number, "an item that is no action (a mapping: '- deploy: ...')")
            else:
                keys = key_at
        elif keys == -1 or indent == keys:
            key_at, keys = indent, indent
        key = key_at is not None and (KEY.match(line, key_at) or FLOW_KEY.match(line, key_at))
        if key and key.group(2) == "test":
            refuse(number, "a test action: lab-check adds the job's test action itself")
        for found in PLACEHOLDER.finditer(line):
            name = found.group(1).strip()
            if name not in PLACEHOLDERS:
                known = ", ".join(f"{{{{ {each} }}}}" for each in PLACEHOLDERS)
                refuse(number, f"unknown placeholder {found.group(0)} (known: {known})")
            if not (BEFORE_VALUE.search(line[:found.start()]) and AFTER_VALUE.match(line, found.end())):
                refuse(number, f"{found.group(0)} is not a whole value (lab-check writes it as a "
                               "quoted string: 'url: {{ tarball_url }}')")
            names.add(name)
        if "{{" in PLACEHOLDER.sub("", line):
            refuse(number, "'{{' that begins no placeholder ('{{ name }}')")
    if column < 0:
        raise Failure(f"job template {path}: no action in it (a YAML sequence of actions: '- deploy: ...')", 2)
    # (What comes before the first item, comments, is the file's, not the job's.)
    template = Template(path, "".join(f"{line}\n" for line in lines[start - 1:]), start, column, names,
                        "".join(f"{line}\n" for line in context))
    parsed_as_yaml(template)
    return template


def parsed_as_yaml(template: Template) -> None:
    """TEMPLATE read by PyYAML, where there is one, its values filled in:
    refused (exit 2) where it is no YAML or no sequence of mappings."""
    try:
        import yaml
    except ImportError:
        return
    try:
        actions = yaml.safe_load(filled(template, {name: name for name in PLACEHOLDERS}))
    except yaml.YAMLError as error:
        mark = getattr(error, "problem_mark", None)
        where = f", line {template.start + mark.line}" if mark is not None else ""
        problem = getattr(error, "problem", None) or str(error)
        raise Failure(f"job template {template.path}{where}: not YAML ({problem})", 2) from None
    if not isinstance(actions, list) or not all(isinstance(action, dict) for action in actions):
        raise Failure(f"job template {template.path}: not a YAML sequence of actions", 2)
    try:
        context = yaml.safe_load(template.context) if template.context else {"context": {}}
    except yaml.YAMLError as error:
        problem = getattr(error, "problem", None) or str(error)
        raise Failure(f"job template {template.path}: not YAML (its context: {problem})", 2) from None
    if not isinstance(context.get("context"), dict):
        raise Failure(f"job template {template.path}: not YAML of LAVA's (its context is no mapping)", 2)


def filled(template: Template, values: dict[str, str]) -> str:
    """TEMPLATE's text, each placeholder its value, as a YAML quoted string
    (JSON's: a value that holds ': ', ' #' or quotes stays one value)."""
    return "".join(line if is_comment(line) else
                   PLACEHOLDER.sub(lambda found: json.dumps(values[found.group(1).strip()]), line)
                   for line in template.text.splitlines(keepends=True))


def job_definition(build: Build, visibility: str, template: Template, values: dict[str, str],
                   tarball: str) -> str:
    """The job of BUILD, as YAML: its deploy and boot actions TEMPLATE's
    filled with VALUES (the bundle's address and SHA-256 among them), then
    the test action, the definition from that bundle."""
    heading = {
        "device_type": build.device_type,
        "job_name": f"list-exercises: {build.name} ({build.cpu})",
        "priority": "medium",
        "visibility": visibility,
        "timeouts": {"job": {"minutes": 30}, "action": {"minutes": 20}, "connection": {"minutes": 2}},
    }
    test = {"test": {"timeout": {"minutes": 20}, "definitions": [{
        "from": "url",
        "repository": values["bundle_url"],
        # (Checked by the worker as it fetches the bundle, before it is
        # unpacked; the tarball's by the device, before it is.)
        "sha256sum": values["bundle_sha256"],
        "path": "lava/list-exercises.yaml",
        "name": "list-exercises",
        "parameters": {"TARBALL": tarball, "TARBALL_SHA256": values["tarball_sha256"]},
    }]}}
    # (Each value JSON, which is YAML, on its key's line; the template's
    # block sequence as the actions, the test action one more item of it.)
    return "".join(f"{key}: {json.dumps(value)}\n" for key, value in heading.items()) + template.context + \
        "actions:\n" + filled(template, values) + " " * template.column + "- " + json.dumps(test) + "\n"


def templates_of(entries: list[str], types: list[str]) -> dict[str, Template]:
    """Each device type's job template, by --job-template TYPE=FILE, read
    before anything is packed; a type not named by --device-type, or
    given two, refused."""
    named = {entry.partition("=")[2] for entry in types}
    templates: dict[str, Template] = {}
    for entry in entries:
        device_type, _, path = entry.partition("=")
        if device_type not in named:
            raise Failure(f"--job-template {entry}: no --device-type CPU={device_type} names "
                          f"the device type {device_type}", 2)
        if device_type in templates:
            raise Failure(f"--job-template {entry}: the device type {device_type} has a template "
                          f"already ({templates[device_type].path})", 2)
        templates[device_type] = read_template(path)
    return templates


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # (Used wrongly, it says how it is used, its options' defaults and all.)
        self.description = None
        self.print_help(sys.stderr)
        self.exit(2, f"{self.prog}: {message}\n")


def pair(text: str) -> str:
    if not re.fullmatch(r".+=.+", text, re.DOTALL):
        raise argparse.ArgumentTypeError(f"NAME=VALUE, not '{text}'")
    return text


def minutes(text: str) -> int:
    # (At least a minute: lavacli would take 0 as no limit at all.)
    if not re.fullmatch(r"0*[1-9][0-9]{0,5}", text):
        raise argparse.ArgumentTypeError(f"a number of minutes from 1, not '{text}'")
    return int(text)


def parse_arguments(argv: list[str]) -> argparse.Namespace:
    parser = Parser(prog="lab-check", usage=USAGE, description=ABOUT,
                    formatter_class=argparse.RawTextHelpFormatter)
    parser.add_argument("--identity", metavar="NAME", default="default",
                        help="lavacli's identity of the lab ('default' unless given)")
    parser.add_argument("--device-type", metavar="CPU=TYPE", type=pair, action="append", default=[],
                        dest="types", help="the device type of the builds of CPU (Debian's name)")
    parser.add_argument("--job-template", metavar="TYPE=FILE", type=pair, action="append", default=[],
                        dest="templates",
                        help="the deploy and boot actions of the jobs of device type TYPE:\n"
                             "FILE a YAML sequence of LAVA actions (lava/ssh-type.yaml,\n"
                             "the ssh type's, unless given)")
    parser.add_argument("--bundles", metavar="DIR=URL", type=pair, default=None,
                        help="where the bundles are written, and the address the workers\n"
                             "fetch them from (BUILD_DIR/lab-check and its file:// address\n"
                             "unless given)")
    parser.add_argument("--timeout", metavar="MINUTES", type=minutes, default=60,
                        help="the longest wait for the jobs, from when the waiting\n"
                             "begins (60 unless given); a job not ended by then is cancelled")
    parser.add_argument("--visibility", choices=("personal", "public"), default="personal",
                        help="who sees the jobs on the server: personal (you alone,\n"
                             "unless given) or public")
    parser.add_argument("builds", metavar="BUILD_DIR", nargs="+")
    return parser.parse_args(argv)


def builds_of(folders: list[str], types: list[str]) -> list[Build]:
    """Each build folder, its CPU and the device type named for it."""
    named: dict[str, str] = {}
    for entry in types:
        cpu, _, device_type = entry.partition("=")
        named.setdefault(cpu, device_type)
    builds = []
    for folder in folders:
        path = Path(os.path.abspath(folder))
        if not path.is_dir() or not os.access(path, os.X_OK):
            raise Failure(f"no build folder {folder}", 2)
        description = description_of(path)
        if description is None:
            raise Failure(f"{folder} holds no built configuration with its description "
                          "(it takes BUILD_TESTING on)", 2)
        cpu = read_fields(description).get("debian_arch", [""])[0]
        if cpu not in named:
            raise Failure(f"no device type is named for {path.name}'s CPU, {cpu} "
                          f"(--device-type {cpu}=TYPE)", 2)
        builds.append(Build(path, cpu, named[cpu]))
    return builds


def tell(message: str) -> None:
    """A message of the command's own, on standard output."""
    print(f"lab-check: {message}", flush=True)


def reach(lava: Lava) -> None:
    """The server, before anything is packed: where it cannot be reached,
    that is all there is to say. (Its address without what may log in.)"""
    fields = lava.identity_fields()
    if fields is None:
        raise Failure(f"lavacli has no identity '{lava.identity}': name your lab's server first "
                      "(lavacli identities add --uri https://SERVER/RPC2 --username USER --token TOKEN "
                      f"{lava.identity})", 2)
    server = lava.redact(fields.get("uri", ""))
    reply = lava.call("system", "version")
    if reply.status != 0:
        where = f"{server} (identity {lava.identity})" if server else f"of identity {lava.identity}"
        raise Failure(f"cannot reach the LAVA server {where}: {reply.said}", 2)
    tell(f"LAVA {reply.said.rsplit(' ', 1)[-1]} at {server or f'identity {lava.identity}'}")


def sha256(path: Path) -> str:
    digest = hashlib.sha256()
    with path.open("rb") as file:
        for block in iter(lambda: file.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


class NotSubmitted(Exception):
    """Why a build's job was not submitted."""


def pack(build: Build, packages: Path) -> Path:
    """The build's cpack tarball, made in PACKAGES."""
    try:
        status, said = captured(["cpack", "-G", "TGZ", "-B", str(packages)], cwd=str(build.path))
    except OSError as error:
        status, said = 127, f"cpack: {error.strerror}\n"
    if status != 0:
        sys.stderr.write(said)
        raise NotSubmitted("cpack could not pack the build")
    tarballs = sorted(packages.glob("*.tar.gz"))
    if len(tarballs) != 1 or not tarballs[0].is_file():
        raise NotSubmitted(f"cpack made no one tarball ({' '.join(t.name for t in tarballs) or 'none'})")
    return tarballs[0]


def published(build: Build, bundles: str | None, name: str, what: str,
              write: Callable[[BinaryIO], int]) -> tuple[Path, str]:
    """The file NAME of the run (removed when it ends), written by WRITE
    (its status) where the workers fetch the bundles from, and its address."""
    folder, _, url = (bundles or "").partition("=")
    if not bundles:
        folder, url = str(build.path / "lab-check"), f"file://{build.path / 'lab-check'}"
    path = Path(folder) / name
    try:
        Path(folder).mkdir(parents=True, exist_ok=True)
        # ("x": never over another run's file.)
        with path.open("xb") as out:
            processes.remove_at_exit(path)
            status = write(out)
    except OSError as error:
        raise NotSubmitted(f"could not write the {what} {path} ({error.strerror})") from None
    if status != 0:
        raise NotSubmitted(f"could not write the {what} {path}")
    return path, f"{url.rstrip('/')}/{name}"


def file_name(name: str) -> str:
    # (A name as a file's name takes it: an address needs no quoting.)
    return re.sub(r"[^A-Za-z0-9._-]", "_", name)


def run_name(build: Build, run: str) -> str:
    return f"list-exercises-lab-{file_name(build.name)}-{run}"


def bundle(build: Build, tarball: Path, bundles: str | None, run: str) -> tuple[Path, str]:
    """The build's bundle, written for the run (removed when it ends), and
    its address."""
    return published(build, bundles, f"{run_name(build, run)}.tar.gz", "bundle",
                     lambda out: processes.run(["tar", "-czf", "-", "-C", str(SOURCE), "lava",
                                                "-C", str(tarball.parent), tarball.name], stdout=out))


def tarball_published(build: Build, tarball: Path, bundles: str | None, run: str) -> str:
    """The address of the build's tarball, written beside its bundle for
    the run (for a template that names {{ tarball_url }})."""
    def copy(out: BinaryIO) -> int:
        with tarball.open("rb") as source:
            shutil.copyfileobj(source, out)
        return 0
    return published(build, bundles, f"{run_name(build, run)}-{file_name(tarball.name)}", "tarball",
                     copy)[1]


def submit(lava: Lava, build: Build, index: int, work: Path, options: argparse.Namespace,
           run: str, template: Template) -> None:
    """Packs BUILD, writes its bundle and submits its job, its deploy and
    boot actions TEMPLATE's."""
    tarball = pack(build, work / f"packages-{index}")
    path, url = bundle(build, tarball, options.bundles, run)
    try:
        values = {"bundle_url": url, "bundle_sha256": sha256(path), "tarball_sha256": sha256(tarball)}
    except OSError:
        raise NotSubmitted("could not write the job's definition") from None
    if "tarball_url" in template.names:
        values["tarball_url"] = tarball_published(build, tarball, options.bundles, run)
    job = job_definition(build, options.visibility, template, values, tarball.name)
    # (lavacli says a rejected job, and exits 0.)
    reply = lava.call("jobs", "submit", "-", stdin=job).text.rstrip("\n")
    if not re.fullmatch(r"[0-9]+", reply):
        error = f"LAVA rejected the job: {reply.removeprefix('Unable to submit <stdin>: ')}"
        processes.say(f"{build.name} ({build.cpu}): {error}")
        raise NotSubmitted(error)
    build.job = reply
    tell(f"{build.name} ({build.cpu}): job {build.job} on device type {build.device_type}, its bundle {url}")


def verdict(job: str, shown: dict[str, Any], outcome: Outcome) -> str:
    """Why a job that ended did not run the check; "" where it did."""
    health = str(shown.get("health") or "")
    if health != "Complete":
        error = outcome.error or " ".join(str(shown.get("failure_comment") or "").split())
        return f"job {job} ended {health or 'unknown'}: {error or f'LAVA gave no reason (lavacli jobs logs {job})'}"
    if outcome.passed + outcome.failed == 0:
        return f"job {job} ran no case"
    return ""


def finish(lava: Lava, build: Build, deadline: float, limit: int) -> list[str]:
    """Waits for BUILD's job (cancelled where it does not end) and gives
    its row."""
    job = build.job
    tell(f"waiting for job {job} ({build.name})")
    why = lava.wait(job, deadline, limit)
    if why:
        state = str(lava.job(job).get("state") or "")
        # (Ended after all, between the last wait and now: nothing to cancel.)
        if state != "Finished":
            ending = "cancelled" if lava.cancel(job, why) else "could not be cancelled"
            build.error = f"job {job}: {why} (state {state or 'unknown'}); {ending}"
    build.finished = True
    shown = lava.job(job)
    outcome = read_results(lava.results(job))
    if not build.error:
        build.error = verdict(job, shown, outcome)
        if not build.error and outcome.cannot_run:
            processes.say(f"{build.name}: the check could not run on the device; its log says why "
                          f"(lavacli jobs logs {job})")
    result = "passed" if outcome.failed == 0 else "FAILED"
    return [f"`{build.name}`", outcome.toolkit, build.cpu, str(shown.get("device") or "-"),
            str(outcome.passed), str(outcome.failed), job, result]


def lavacli_ready() -> None:
    """LAVA's client (the lab itself is elsewhere), installed where missing."""
    if shutil.which("lavacli"):
        return
    # (In the foreground: sudo may ask for a password at the terminal.)
    subprocess.call([str(SOURCE / "scripts" / "setup"), "lab-check"])
    if not shutil.which("lavacli"):
        raise Failure("needs lavacli (Debian package lavacli)", 2)


def main(argv: list[str]) -> int:
    options = parse_arguments(argv)
    # (Every template read, and the ssh type's, before anything else is done.)
    templates = templates_of(options.templates, options.types)
    ssh_type = read_template(str(SSH_TYPE))
    lavacli_ready()
    builds = builds_of(options.builds, options.types)
    lava = Lava(options.identity)

    def cancel_unfinished() -> None:
        # (An interrupted run leaves no job behind on the lab's devices.)
        for build in builds:
            if build.job and not build.finished:
                lava.cancel(build.job, "lab-check ended before the job did")

    processes.at_exit(cancel_unfinished)
    work = Path(tempfile.mkdtemp(prefix="lab-check."))
    processes.remove_at_exit(work)
    reach(lava)
    # The run's own name for its bundles: the time and 8 random bytes.
    run = f"{time.strftime('%Y%m%d-%H%M%S', time.gmtime())}-{os.urandom(8).hex()}"
    for index, build in enumerate(builds):
        try:
            submit(lava, build, index, work, options, run, templates.get(build.device_type, ssh_type))
        except NotSubmitted as why:
            build.error = str(why)
    deadline = time.monotonic() + options.timeout * 60
    rows, status = [], 0
    for build in builds:
        row = [f"`{build.name}`", "-", build.cpu, "-", "-", "-", "-", ""]
        if build.job:
            row = finish(lava, build, deadline, options.timeout)
        if build.error:
            row[-1] = f"did not run: {build.error}"
            processes.say(f"{build.name}: {build.error}")
        status = status if row[-1] == "passed" else 1
        rows.append(row)
    print()
    sys.stdout.write(report.table(rows, COLUMNS))
    return status
