# shellcheck shell=bash
# Sourced, after supervise.bash, by the commands that build and test a
# preset (test.sh, run.sh, build-preset): what a run holds while it uses it.
#
# hold_build_folder FOLDER
#   Holds the build folder FOLDER (a lock beside it, FOLDER.lock) until
#   release_build_folder, or the script's end: another run of test.sh or
#   run.sh in the same clone that builds into it waits, rather than build
#   into it at the same time. Runs of other presets go on side by side.
# release_build_folder
#
# preset_fact PRESET FACT
#   PRESET's first value of FACT, from the facts the run read: the file that
#   LISTS_PRESET_FACTS names, lines of PRESET FACT VALUE (scripts/presets
#   --facts).
# hold_root PRESET
#   Holds the system root that PRESET builds against (its release's and
#   CPU's; nothing where it has none) for the rest of the calling script, so
#   that no prune or clear of the cache removes it under the build and the
#   tests. scripts/setup made or took it in a child, whose hold ended with
#   it; where it went in between, setup is run once more. Sets held_root to
#   the root's folder (empty where the preset has none), which configuring
#   the preset names to its toolchain (LISTS_SYSROOT).

# shellcheck source=cache.bash
. "$(dirname "${BASH_SOURCE[0]}")/cache.bash"

preset_fact() {
    awk -v preset="$1" -v fact="$2" '$1 == preset && $2 == fact { sub(/^[^ ]+ [^ ]+ /, ""); print; exit }' \
        "$LISTS_PRESET_FACTS"
}

# shellcheck disable=SC2034 # (for the scripts that source this)
held_root=''
hold_root() {
    local preset=$1 release arch path
    held_root=''
    release=$(preset_fact "$preset" release) arch=$(preset_fact "$preset" arch)
    [ -n "$arch" ] || return 0
    path=$("$(dirname "${BASH_SOURCE[0]}")/../make-sysroot" --where "$release" "$arch") || return 1
    # shellcheck disable=SC2034
    held_root=$path
    cache_hold "${path##*/}" && return 0
    echo "$LISTS_CALLER: the $release $arch root is not in the cache (or went from it before this run held it); setting it up" >&2
    run_child "$(dirname "${BASH_SOURCE[0]}")/../setup" "$preset" || return
    cache_hold "${path##*/}" || {
        echo "$LISTS_CALLER: the $release $arch root is not in the cache: $path" >&2
        return 1
    }
}

_build_folder_lock=''
hold_build_folder() {
    mkdir -p -- "$(dirname -- "$1")" || return 1
    exec {_build_folder_lock}>>"$1.lock" || return 1
    if ! flock -n "$_build_folder_lock"; then
        echo "$LISTS_CALLER: another run is building or testing in $1; waiting for it to end" >&2
        run_child flock "$_build_folder_lock" || return 1
    fi
}
release_build_folder() {
    [ -z "$_build_folder_lock" ] || exec {_build_folder_lock}>&-
    _build_folder_lock=''
}
