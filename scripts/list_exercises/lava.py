"""A LAVA server, through lavacli (its identity, as the user's lavacli
configuration has it): each call a child of its own, stopped with the
command, and what it says redacted.

lavacli writes USER:TOKEN@ into the server's address, and some of its errors
quote that address (or the token, as it was given): what it says reaches the
user only without the identity's token and without any address's
USER:TOKEN@. Facts come from its --json forms, read with json; the rest
(a job's number, an error) is what it says, a line."""

from __future__ import annotations

import json
import math
import re
import time
from dataclasses import dataclass
from typing import Any

from . import processes
from .processes import captured

# An address's USER:TOKEN@ (its scheme kept).
CREDENTIALS = re.compile(r"([A-Za-z][A-Za-z0-9+.-]*://)[^/@\s]*@")
# How long a cancel may take (the server, or the connection, may hang).
CANCEL_LIMIT = 30.0
# Waits that fail in a row before a job is given up; each pause 10 s longer.
RETRIES = 3


@dataclass
class Reply:
    """A call's exit status, and its output and errors together, redacted."""
    status: int
    text: str

    @property
    def said(self) -> str:
        """What it says last (a line)."""
        lines = [line for line in self.text.splitlines() if line.strip()]
        return lines[-1] if lines else ""




def identity_fields(text: str) -> dict[str, str]:
    """The identity as lavacli shows it: a YAML mapping of strings, a line a
    key, each value plain or quoted (as yaml.safe_dump writes a string that
    would read as another kind, or that holds what a plain one cannot)."""
    fields: dict[str, str] = {}
    for line in text.splitlines():
        key, colon, value = line.partition(":")
        key, value = key.strip(), value.strip()
        if not colon or not key or line[0].isspace():
            continue
        if len(value) >= 2 and value[0] == value[-1] == "'":
            value = value[1:-1].replace("''", "'")
        elif len(value) >= 2 and value[0] == value[-1] == '"':
            try:
                value = str(json.loads(value))
            except ValueError:
                value = value[1:-1]
        fields.setdefault(key, value)
    return fields


class Lava:
    """The server of lavacli's identity IDENTITY."""

    def __init__(self, identity: str) -> None:
        self.identity = identity
        self.token = ""

    def words(self, *words: str) -> list[str]:
        return ["lavacli", "-i", self.identity, *words]

    def redact(self, text: str) -> str:
        if self.token:
            text = text.replace(self.token, "TOKEN")
        return CREDENTIALS.sub(r"\1", text)

    def redacted(self, value: Any) -> Any:
        """VALUE (read from JSON) with each of its strings redacted."""
        if isinstance(value, str):
            return self.redact(value)
        if isinstance(value, list):
            return [self.redacted(item) for item in value]
        if isinstance(value, dict):
            return {key: self.redacted(item) for key, item in value.items()}
        return value

    def call(self, *words: str, stdin: str | None = None, time_limit: float | None = None) -> Reply:
        """lavacli WORDS: its status and what it says, redacted."""
        status, text = captured(self.words(*words), stdin=stdin, time_limit=time_limit)
        return Reply(status, self.redact(text))

    def data(self, *words: str) -> Any:
        """What lavacli WORDS --json gives, redacted; None where it gives
        nothing that JSON reads (its errors are not JSON)."""
        _, text = captured(self.words(*words, "--json"), errors=False)
        try:
            return self.redacted(json.loads(text))
        except ValueError:
            return None

    def identity_fields(self) -> dict[str, str] | None:
        """The identity's fields (its uri, username, token); None where
        lavacli has no such identity. From here on its token is redacted."""
        status, text = captured(self.words("identities", "show", self.identity), errors=False)
        if status != 0:
            return None
        fields = identity_fields(text)
        self.token = fields.get("token", "")
        return fields

    def job(self, job: str) -> dict[str, Any]:
        """The job's details (its state, health, device, failure_comment,
        visibility ...); {} where the server gives none."""
        shown = self.data("jobs", "show", job)
        return shown if isinstance(shown, dict) else {}

    def results(self, job: str) -> list[Any]:
        """The job's test cases, each as the server gives it; [] where it
        gives none."""
        results = self.data("results", job)
        return results if isinstance(results, list) else []

    def wait(self, job: str, deadline: float, limit: int) -> str:
        """Waits for JOB to end by DEADLINE (of time.monotonic), LIMIT
        minutes from when the waiting began; a wait that fails (the server
        or the connection, for a moment) is tried again, a few times. Gives
        why it did not end; "" where it did."""
        late = f"it had not ended after {limit} minutes"
        failures = 0
        while True:
            left = math.ceil(deadline - time.monotonic())
            if left <= 0:
                return late
            began = time.monotonic()
            reply = self.call("jobs", "wait", job, "--polling", "5", "--timeout", str(left))
            if reply.status == 0:
                return ""
            # (lavacli's own limit: 'timeout!' after the states it saw.)
            if reply.said.endswith("timeout!") or time.monotonic() >= deadline:
                return late
            # (A wait answered for a minute before it failed starts the count again.)
            if time.monotonic() - began >= 60:
                failures = 0
            failures += 1
            if failures > RETRIES:
                return f"it could not be waited for, {failures} tries in a row (the last: {reply.said})"
            processes.say(f"waiting for job {job} failed ({reply.said}); trying again in {10 * failures} s")
            pause(10 * failures)

    def cancel(self, job: str, why: str) -> bool:
        """Cancels JOB, saying WHY; says so where the server does not take
        it. (lavacli says a refused cancel, and exits 0: a cancel taken says
        nothing.)"""
        processes.say(f"cancelling job {job}: {why}")
        try:
            reply = self.call("jobs", "cancel", job, time_limit=CANCEL_LIMIT)
        except processes.TimeLimit:
            reply = Reply(-1, "")
        if reply.status == 0 and not reply.text:
            return True
        reason = reply.said or f"lavacli ended without a word, or did not within {CANCEL_LIMIT:g} s"
        processes.say(f"could not cancel job {job} (it may still run: lavacli jobs cancel {job}): {reason}")
        return False


def pause(seconds: int) -> None:
    # (A child, as every wait here: stopped with the command. The tests'
    # stand-in for sleep sees it.)
    processes.run(["sleep", str(seconds)])
