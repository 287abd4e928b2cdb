# shellcheck shell=bash
# Sourced, after supervise.bash, by the scripts that make what the build
# takes from outside (system roots, device roots): one way to make a thing
# once and keep it.
#
# cache_path NAME
#   Prints the path of the cache entry NAME (made or not).
# cached_entry NAME COMMAND...
#   Makes sure that the cache holds the complete entry NAME (a folder or a
#   file). Where it is not there, `COMMAND... STAGE` makes it at STAGE, a
#   hidden name beside the entry (COMMAND's standard output goes to standard
#   error), and it is moved in by one rename: an entry is only ever there
#   complete, and a finished entry is never removed. One maker at a time: a
#   lock beside the entry (.NAME.lock) is held while it is made; another run
#   waits, then takes what the first made. What a killed maker left
#   (.NAME.*) is swept by the next one, under the lock.
#
# The cache folder is $LISTS_CACHE_DIR, by default build/cache in the source
# folder. Messages begin with the calling script's name.

cache_path() {
    local folder=${LISTS_CACHE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/build/cache}
    case $folder in /*) ;; *) folder=$PWD/$folder ;; esac
    echo "$folder/$1"
}

cached_entry() {
    local name=$1 path folder
    shift
    path=$(cache_path "$name")
    [ ! -e "$path" ] || return 0
    folder=${path%/*}
    if ! mkdir -p "$folder" 2>/dev/null || [ ! -w "$folder" ] || [ ! -x "$folder" ]; then
        echo "$LISTS_CALLER: cannot write to the cache folder $folder: set LISTS_CACHE_DIR to one that can be written" >&2
        return 1
    fi
    local lock=$folder/.$name.lock fd
    exec {fd}>>"$lock" || return 1
    # (A child that inherits the lock holds it too: where a maker is killed
    # outright while its children go on writing, the next one waits for them.)
    if ! flock -n "$fd"; then
        echo "$LISTS_CALLER: another run is making $name; waiting for it" >&2
        run_child flock "$fd" || return 1
    fi
    # (Every step's failure is checked: a caller may have called this in a
    # condition, where set -e does not stop it.)
    if [ ! -e "$path" ]; then
        local leftover
        for leftover in "$folder/.$name".*; do
            [ -e "$leftover" ] && [ "$leftover" != "$lock" ] || continue
            echo "$LISTS_CALLER: removing ${leftover##*/}, left by a run that was stopped" >&2
            rm -rf -- "$leftover" || return 1
        done
        local stage=$folder/.$name.$$
        remove_at_exit "$stage"
        if ! run_child "$@" "$stage" >&2 || [ ! -e "$stage" ]; then
            rm -rf -- "$stage"
            exec {fd}>&-
            return 1
        fi
        mv -T -- "$stage" "$path" || return 1
    fi
    exec {fd}>&-
}
