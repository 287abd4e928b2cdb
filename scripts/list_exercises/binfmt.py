"""Another CPU's programs run through qemu-user and binfmt_misc, with a
handler of the command's own, taken out again when it ends, so that the
machine's handlers are left as found.

The handler is made from qemu-user-static's rule for the CPU, and takes
precedence over any there (the newest that matches is used). The rule's
flag O (the kernel opens the program and hands qemu the file) is left out,
for that file would take the lowest free descriptor, so that a program
started with its standard input closed would find it open; so is C. Flag F
(the kernel opens qemu when registering) is kept or added, so that qemu
need not be in the root."""

from __future__ import annotations

import subprocess
from pathlib import Path

from .processes import Failure, at_exit, run, say

FOLDER = Path("/proc/sys/fs/binfmt_misc")
RULES = Path("/usr/lib/binfmt.d")


def handler_name(cpu: str) -> str:
    return f"list-exercises-qemu-{cpu}"


def registration(rule: str, cpu: str) -> str:
    """The line that registers the command's handler for CPU, from
    qemu-user-static's RULE line (:qemu-CPU:M::magic:mask:interpreter:flags)."""
    body, _, flags = rule.rstrip("\n")[len(f":qemu-{cpu}:"):].rpartition(":")
    flags = flags.replace("O", "").replace("C", "")
    if "F" not in flags:
        flags += "F"
    return f":{handler_name(cpu)}:{body}:{flags}"


class Binfmt:
    """The handlers that this command registered (and whether it mounted
    binfmt_misc), to take out again."""

    def __init__(self, folder: Path = FOLDER, rules: Path = RULES) -> None:
        self.folder = folder
        self.rules = rules
        self.handlers: list[str] = []
        self.mounted = False
        self._restored_at_exit = False

    def ready(self, cpu: str) -> None:
        """Makes sure that this machine runs CPU's programs (qemu's name:
        aarch64, ...) through qemu-user; Failure, saying why, where it
        cannot. What it registers is taken out when the command ends."""
        if not self._restored_at_exit:
            at_exit(self.restore)
            self._restored_at_exit = True
        if not (self.folder / "status").exists():
            if run(["mount", "-t", "binfmt_misc", "binfmt_misc", self.folder], stderr=subprocess.DEVNULL) != 0:
                raise Failure("binfmt_misc is not mounted and cannot be mounted here")
            self.mounted = True
        handler = handler_name(cpu)
        if (self.folder / handler).exists():
            return
        rule = self.rules / f"qemu-{cpu}.conf"
        if not rule.is_file():
            raise Failure(f"no {rule} (package qemu-user-static) to register {cpu}'s programs with")
        line = next((line for line in rule.read_text().splitlines() if line.startswith(f":qemu-{cpu}:")), None)
        if line is None:
            raise Failure(f"{rule} holds no rule for qemu-{cpu}")
        try:
            with (self.folder / "register").open("w") as register:
                register.write(registration(line, cpu) + "\n")
        except OSError:
            raise Failure("cannot register a binfmt handler here") from None
        self.handlers.append(handler)

    def restore(self) -> None:
        """Takes out the handlers that ready registered, and unmounts
        binfmt_misc where it mounted it."""
        for handler in self.handlers:
            try:
                (self.folder / handler).write_text("-1\n")
            except OSError:
                say(f"could not take out binfmt handler {handler}")
        self.handlers = []
        if self.mounted:
            if run(["umount", self.folder], stderr=subprocess.DEVNULL) != 0:
                say(f"could not unmount {self.folder}")
            self.mounted = False
