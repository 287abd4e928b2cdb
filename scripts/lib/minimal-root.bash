# shellcheck shell=bash
# Sourced, after supervise.bash and cache.bash, by device-check and by the
# servers of its ssh tests: the minimal Debian root that plays a device, one
# tarball for each release and CPU in the cache (mmdebstrap, variant
# minbase).
#
# minimal_root SUITE ARCH: makes it where it is missing, and says how big it is.
# (Its path: cache_path "$(minimal_root_name SUITE ARCH)".)
# build_release BUILD: the release that a device for BUILD runs: that of
# the build's system root, else this machine's.
minimal_root_name() { echo "device-root-$1-$2.tar"; }
build_release() {
    local release
    release=$("$(dirname "${BASH_SOURCE[0]}")/../describe-build" "$1" release)
    [ -n "$release" ] || release=$(. /etc/os-release && echo "$VERSION_CODENAME")
    echo "$release"
}
minimal_root() {
    local name started
    name=$(minimal_root_name "$1" "$2")
    command -v mmdebstrap >/dev/null || {
        echo "$LISTS_CALLER: needs mmdebstrap (Debian package mmdebstrap)" >&2
        return 1
    }
    started=$(date +%s)
    [ -e "$(cache_path "$name")" ] ||
        echo "$LISTS_CALLER: making the minimal $1 $2 root, $(cache_path "$name")" >&2
    cached_entry "$name" "$(dirname "${BASH_SOURCE[0]}")/debian-root" "$1" "$2" --variant=minbase --format=tar || return 1
    echo "$LISTS_CALLER: the root is ready after $(($(date +%s) - started)) s" \
        "($(du -m "$(cache_path "$name")" | cut -f1) MiB)" >&2
}
