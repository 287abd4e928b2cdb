"""The one place where ssh's command lines are made: a destination and the
user's ssh options, as ssh takes them, for everything that reaches a device
over ssh (device-check --ssh, test.sh --device, a booted board, the lab's
tests).

The user's configuration, keys, agent and known hosts are used as they are
(the agent to log in, never forwarded); host keys are always checked. What
ssh would otherwise leave unset is set: a connection attempt and a dropped
connection end in time rather than hang; where there is no terminal, ssh
asks nothing; the device under test is given neither the user's agent nor
X display, whatever the user's configuration says. (ssh takes an option's
first value, so the user's own options on the command line still win.)"""

from __future__ import annotations

import os
import shlex
import subprocess
from dataclasses import dataclass, field
from pathlib import Path


@dataclass
class Destination:
    """A device reached over ssh: DESTINATION and the user's OPTIONS."""

    destination: str
    user_options: list[str] = field(default_factory=list)
    options: list[str] = field(default_factory=list)
    # user@host port N, as ssh resolves the destination.
    name: str = ""

    @classmethod
    def resolve(cls, destination: str, user_options: list[str] | None = None) -> Destination:
        user_options = list(user_options or [])
        options = user_options + ["-o", "ForwardAgent=no", "-o", "ForwardX11=no"]
        settings = effective_settings(destination, user_options)
        if settings:
            name = f"{settings.get('user', '')}@{settings.get('hostname', '')} port {settings.get('port', '')}"
            if settings.get("connecttimeout") == "none":
                options += ["-o", "ConnectTimeout=30"]
            if settings.get("serveraliveinterval") == "0":
                options += ["-o", "ServerAliveInterval=15", "-o", "ServerAliveCountMax=4"]
        else:
            name = destination
        if not has_terminal():
            options += ["-o", "BatchMode=yes"]
        return cls(destination, user_options, options, name)

    def command(self, remote: list[str] | None = None, *, control: Path | None = None,
                master: bool = False, extra: list[str] | None = None) -> list[str]:
        """ssh's command line: the shared connection at CONTROL (started
        by this one where MASTER), then REMOTE, a command whose words are
        quoted for the device's shell (ssh joins them with spaces)."""
        words = ["ssh", "-T"]
        if control is not None:
            words += ["-o", f"ControlPath={control}"]
            words += ["-M", "-o", "ControlPersist=no"] if master else ["-o", "ControlMaster=no"]
        words += list(extra or []) + self.options + [self.destination]
        if remote:
            words.append(remote_command(remote))
        return words


def remote_command(words: list[str]) -> str:
    """WORDS as one command line of a POSIX shell, each word one word."""
    return " ".join(shlex.quote(word) for word in words)


def effective_settings(destination: str, user_options: list[str]) -> dict[str, str]:
    """What ssh makes of its configuration for DESTINATION (ssh -G), its
    keywords in lower case; empty where ssh cannot say."""
    try:
        result = subprocess.run(["ssh", "-G", *user_options, destination], capture_output=True,
                                text=True, stdin=subprocess.DEVNULL, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return {}
    if result.returncode != 0:
        return {}
    settings: dict[str, str] = {}
    for line in result.stdout.splitlines():
        key, _, value = line.partition(" ")
        settings.setdefault(key.lower(), value)
    return settings


def has_terminal() -> bool:
    try:
        os.close(os.open("/dev/tty", os.O_RDONLY))
    except OSError:
        return False
    return True
