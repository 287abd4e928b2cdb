# shellcheck shell=bash
# Sourced by the scripts that take a release's, a CPU's or a cache entry's
# name from a preset, a command line or an entry's name: such a name goes
# into paths, mmdebstrap's options and messages, and must be one plain word,
# [a-z0-9][a-z0-9.-]* (as list_exercises.presets checks a preset's).
#
# plain_name CALLER WHAT VALUE
#   Whether VALUE is such a name; where it is not, says so on standard
#   error, as "CALLER: WHAT 'VALUE' is refused: ...".
plain_name() {
    # (In the C locale, a-z is those 26 letters alone.)
    local LC_ALL=C
    [[ $3 =~ ^[a-z0-9][a-z0-9.-]*$ ]] && return 0
    echo "$1: $2 '$3' is refused: a name is of a-z, 0-9, '.' and '-', from a letter or digit" >&2
    return 1
}
