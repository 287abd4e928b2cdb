# shellcheck shell=bash
# Sourced by test.sh and run.sh, whose work is done in Python
# (scripts/list_exercises/runs.py): makes sure that python3 is there first.
# On a fresh Debian or Ubuntu machine it installs Debian's python3 with
# apt-get, through sudo when not run as root (where sudo may be used without
# a password, or with one asked for at a terminal); where it cannot, it
# names the package, and the command ends with 1.
if ! command -v python3 >/dev/null; then
    _command=${0##*/} _sudo=()
    if [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null &&
        { sudo -n true 2>/dev/null || { [ -t 0 ] && sudo true; }; }; then
        _sudo=(sudo)
    fi
    if ! command -v apt-get >/dev/null || { [ "$(id -u)" -ne 0 ] && [ ${#_sudo[@]} -eq 0 ]; }; then
        echo "$_command: this takes Python 3, which cannot be installed here (it takes apt-get, as root" \
            "or through sudo); install it, in Debian's names: python3" >&2
        exit 1
    fi
    echo "$_command: installing python3" >&2
    if ! "${_sudo[@]}" apt-get update -q >&2 ||
        ! "${_sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends python3 >&2; then
        echo "$_command: python3 could not be installed" >&2
        exit 1
    fi
fi
