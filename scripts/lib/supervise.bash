# shellcheck shell=bash
# Sourced by the scripts that run long children (mmdebstrap, apt, a build,
# ctest, a virtual machine): however the script ends, its children end with
# it and its clean-up runs.
#
# run_child COMMAND...
#   Runs COMMAND and returns its status. On a signal to the script (Ctrl-C,
#   a CI job's time-out, a hang-up), the child is stopped with its whole
#   process tree, and waited for, before the script's clean-up runs; the
#   script then ends with the shell's status for that signal (130, 143, 129)
#   and says so: 'SCRIPT: stopped by SIGTERM'.
# at_exit COMMAND
#   A shell command to run when the script ends, in the order given.
# remove_at_exit PATH
#   PATH is removed when the script ends.
#
# run_child may not be called in a command substitution, whose subshell
# would not take the signals as the script does.

# Once a script: sourced again (by a library of its own), it keeps what the
# script registered.
[ -z "${_supervised_once-}" ] || return 0
_supervised_once=yes

# The helpers that the script runs name it in their messages.
export LISTS_CALLER=${0##*/}

_supervised_child='' _remove_at_exit=() _at_exit=()

at_exit() { _at_exit+=("$1"); }
remove_at_exit() { _remove_at_exit+=("$1"); }

_stop_child() {
    [ -n "$_supervised_child" ] || return 0
    local group=$_supervised_child waited=0
    _supervised_child=
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
    echo "$LISTS_CALLER: stopped by SIG$1" >&2
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
    _supervised_child=$!
    wait "$_supervised_child" || status=$?
    _supervised_child=
    return $status
}
