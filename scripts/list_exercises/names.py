"""A release's, a CPU's or a cache entry's name goes into paths,
mmdebstrap's options and messages: it must be one plain word."""

from __future__ import annotations

import re

from .processes import Failure

# (a-z is those 26 letters alone: re's ranges are of code points.)
PLAIN_NAME = re.compile(r"[a-z0-9][a-z0-9.-]*")


def is_plain(value: str) -> bool:
    return PLAIN_NAME.fullmatch(value) is not None


def check_plain(what: str, value: str) -> str:
    """VALUE, where it is a plain name; else Failure (status 2) saying so."""
    if not is_plain(value):
        raise Failure(f"{what} '{value}' is refused: a name is of a-z, 0-9, '.' and '-', from a letter or digit", 2)
    return value
