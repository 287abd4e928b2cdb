# shellcheck shell=bash
# Sourced, after supervise.bash, by the commands that build and test a
# preset (test.sh, run.sh, build-preset).
#
# hold_root PRESET RELEASE ARCH
#   Holds the system root of RELEASE and ARCH that PRESET builds against
#   (nothing where ARCH is empty) for the rest of the calling script, so
#   that no prune or clear of the cache removes it under the build and the
#   tests. scripts/setup made or took it in a child, whose hold ended with
#   it; where it went in between, setup is run once more.

# shellcheck source=cache.bash
. "$(dirname "${BASH_SOURCE[0]}")/cache.bash"

hold_root() {
    local preset=$1 release=$2 arch=$3 path
    [ -n "$arch" ] || return 0
    path=$("$(dirname "${BASH_SOURCE[0]}")/../make-sysroot" --where "$release" "$arch") || return 1
    cache_hold "${path##*/}" && return 0
    echo "$LISTS_CALLER: the $release $arch root is not in the cache (or went from it before this run held it); setting it up" >&2
    run_child "$(dirname "${BASH_SOURCE[0]}")/../setup" "$preset" || return
    cache_hold "${path##*/}" || {
        echo "$LISTS_CALLER: the $release $arch root is not in the cache: $path" >&2
        return 1
    }
}
