# Sourced, after cache.sh, by device-check and by the servers of its ssh
# tests: the minimal Debian root that plays a device, one tarball for each
# release and CPU in the cache folder (mmdebstrap, variant minbase).
#
# minimal_root SUITE ARCH: sets root_tarball to it, made first where it is
# missing.
minimal_root() {
    local suite=$1 arch=$2 started
    command -v mmdebstrap >/dev/null || {
        echo "$script: needs mmdebstrap (Debian package mmdebstrap)" >&2
        return 1
    }
    started=$(date +%s)
    [ -e "$cache_dir/device-root-$suite-$arch.tar" ] ||
        echo "$script: making the minimal $suite $arch root, $cache_dir/device-root-$suite-$arch.tar" >&2
    cached_entry "device-root-$suite-$arch.tar" \
        "$(dirname "${BASH_SOURCE[0]}")/debian-root" "$suite" "$arch" --variant=minbase --format=tar || return 1
    root_tarball=$cached_path
    echo "$script: the root is ready after $(($(date +%s) - started)) s ($(du -m "$root_tarball" | cut -f1) MiB)" >&2
}
