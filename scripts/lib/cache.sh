# Sourced by the scripts that make what the build takes from outside (system
# roots, the fetched Qt 4, device roots) and by those that run long children
# (test.sh). Two things, each done in this one place:
#
# run_child COMMAND...
#   Runs COMMAND and returns its status. On a signal to the script (Ctrl-C,
#   a CI job's time-out, a hang-up), the child is stopped with its whole
#   process tree, and waited for, before the script's clean-up runs; the
#   script then ends with the shell's status for that signal (130, 143, 129).
#
# cached_entry NAME COMMAND...
#   Makes sure that the cache folder holds the complete entry NAME (a folder
#   or a file) and sets cached_path to its path. Where it is not there, `COMMAND... STAGE`
#   makes it at STAGE, a hidden name beside the entry (COMMAND's standard
#   output goes to standard error), and it is moved in by one rename: an
#   entry is only ever there complete, and a finished entry is never removed.
#   One maker at a time: a lock beside the entry (.NAME.lock) is held while
#   it is made; another run waits, then takes what the first made. What a
#   killed maker left (.NAME.*) is swept by the next one, under the lock.
#
# The cache folder is $LISTS_CACHE_DIR, by default build/cache in the source
# folder. Messages begin with the calling script's name. Neither function may
# be called in a command substitution, whose subshell would not take the
# signals as the script does.

script=${0##*/}
# (The helpers that this script runs name it in their messages.)
export LISTS_CALLER=$script
cache_dir=${LISTS_CACHE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/build/cache}
case $cache_dir in /*) ;; *) cache_dir=$PWD/$cache_dir ;; esac

# The child running (one at a time), what to remove and what to run at the
# end, however the script ends.
_child= _remove_at_exit=() _at_exit=()

# at_exit COMMAND: a shell command to run when the script ends.
at_exit() { _at_exit+=("$1"); }
# remove_at_exit PATH: PATH is removed when the script ends.
remove_at_exit() { _remove_at_exit+=("$1"); }

_stop_child() {
    [ -n "$_child" ] || return 0
    local group=$_child waited=0
    _child=
    kill -TERM -- "-$group" 2>/dev/null || return 0
    # Its whole group, not just the child: mmdebstrap, apt or a test that
    # it started may outlive it by a moment, and must not write into what
    # the clean-up removes.
    while kill -0 -- "-$group" 2>/dev/null; do
        # After 30 s, the hard way; after 35 s, no longer waited for.
        [ $waited -lt 350 ] || break
        if [ $waited -ge 300 ]; then
            kill -KILL -- "-$group" 2>/dev/null || true
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
    wait "$group" 2>/dev/null || true
}
_on_exit() {
    local status=$? command
    trap - EXIT
    trap '' INT TERM HUP
    _stop_child
    for command in "${_at_exit[@]}"; do
        eval "$command" || true
    done
    [ ${#_remove_at_exit[@]} -eq 0 ] || rm -rf -- "${_remove_at_exit[@]}" 2>/dev/null || true
    exit "$status"
}
_on_signal() {
    trap '' INT TERM HUP
    echo "$script: stopped by SIG$1" >&2
    exit "$2"
}
trap _on_exit EXIT
trap '_on_signal INT 130' INT
trap '_on_signal TERM 143' TERM
trap '_on_signal HUP 129' HUP

run_child() {
    local status=0
    # setsid makes the child lead a process group of its own, which is
    # stopped as a whole; it runs in the background so that the shell takes
    # a signal at once, not once the child has finished. (Its standard input
    # is /dev/null, as for any command in the background.)
    setsid "$@" &
    _child=$!
    wait "$_child" || status=$?
    _child=
    return $status
}

cached_entry() {
    local name=$1
    shift
    cached_path=$cache_dir/$name
    [ ! -e "$cached_path" ] || return 0
    if ! mkdir -p "$cache_dir" 2>/dev/null || [ ! -w "$cache_dir" ] || [ ! -x "$cache_dir" ]; then
        echo "$script: cannot write to the cache folder $cache_dir: set LISTS_CACHE_DIR to one that can be written" >&2
        return 1
    fi
    local lock=$cache_dir/.$name.lock fd
    exec {fd}>>"$lock" || return 1
    # (A child that inherits the lock holds it too: where a maker is killed
    # outright while its children go on writing, the next one waits for them.)
    if ! flock -n "$fd"; then
        echo "$script: another run is making $name; waiting for it" >&2
        run_child flock "$fd" || return 1
    fi
    # (Every step's failure is checked: a caller may have called this in a
    # condition, where set -e does not stop it.)
    if [ ! -e "$cached_path" ]; then
        local leftover
        for leftover in "$cache_dir/.$name".*; do
            [ -e "$leftover" ] && [ "$leftover" != "$lock" ] || continue
            echo "$script: removing ${leftover##*/}, left by a run that was stopped" >&2
            rm -rf -- "$leftover" || return 1
        done
        local stage=$cache_dir/.$name.$$
        remove_at_exit "$stage"
        if ! run_child "$@" "$stage" >&2 || [ ! -e "$stage" ]; then
            rm -rf -- "$stage"
            exec {fd}>&-
            return 1
        fi
        mv -T -- "$stage" "$cached_path" || return 1
    fi
    exec {fd}>&-
}
