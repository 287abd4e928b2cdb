# shellcheck shell=bash
# Sourced by the scripts that run a Debian root as a device with chroot
# (device-check, the ssh tests' servers): entering it with none of this
# machine's environment, and undoing its mounts afterwards.
#
# in_root ROOT COMMAND
#   Runs the shell COMMAND in ROOT as root's login would, with none of this
#   machine's environment.
# mount_in_root ROOT          mounts /proc in ROOT (undone by release_root)
# mount_read_only ROOT FOLDER binds FOLDER of ROOT onto itself, read-only
# release_root ROOT
#   Stops whatever still runs in ROOT, undoes its mounts (innermost first)
#   and removes it; a root that something is still mounted below is left in
#   place, saying so.

_root_mounts=()

in_root() {
    chroot "$1" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root TMPDIR=/tmp \
        DEBIAN_FRONTEND=noninteractive /bin/sh -c "$2"
}

mount_in_root() {
    cp -L /etc/resolv.conf "$1/etc/resolv.conf" 2>/dev/null || true
    mount -t proc proc "$1/proc" && _root_mounts+=("$1/proc")
}

mount_read_only() {
    mount --bind "$1/$2" "$1/$2" || return 1
    _root_mounts+=("$1/$2")
    mount -o remount,bind,ro "$1/$2"
}

# root_processes ROOT: the processes that run in ROOT, one a line.
root_processes() {
    local process
    for process in /proc/[0-9]*; do
        [ "$(readlink "$process/root" 2>/dev/null)" = "$1" ] && echo "${process#/proc/}"
    done
    return 0
}

release_root() {
    local root=$1 pid i kept=()
    for pid in $(root_processes "$root"); do kill -KILL "$pid" 2>/dev/null || true; done
    for ((i = ${#_root_mounts[@]} - 1; i >= 0; i--)); do
        if [[ ${_root_mounts[i]} == "$root"/* ]]; then
            umount "${_root_mounts[i]}" 2>/dev/null || umount -l "${_root_mounts[i]}" 2>/dev/null || true
        else
            kept=("${_root_mounts[i]}" "${kept[@]}")
        fi
    done
    _root_mounts=("${kept[@]}")
    if grep -qF " $root/" /proc/self/mounts 2>/dev/null; then
        echo "$LISTS_CALLER: $root is still mounted on; left in place" >&2
        return 1
    fi
    rm -rf "$root"
}
