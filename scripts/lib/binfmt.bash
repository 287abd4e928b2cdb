# shellcheck shell=bash
# Sourced, after supervise.bash, by the bash scripts that run another CPU's programs through
# qemu-user and binfmt_misc with a handler of their own (device-check, the
# ssh servers of its tests), which they take out again afterwards, so that
# the machine's handlers are left as found:
#   binfmt_ready CPU   registers the handler for qemu's CPU (aarch64, ...)
#   binfmt_restore     takes out what binfmt_ready put in (call it on exit)
binfmt=/proc/sys/fs/binfmt_misc
binfmt_handlers=() binfmt_mounted=no

# binfmt_ready CPU: makes sure that this machine runs CPU's programs through
# qemu-user; fails, saying why, where it cannot. It registers a handler of
# its own, from qemu-user-static's rule for CPU, which takes precedence over
# any there (the newest that matches is used) and is taken out afterwards:
# the rule's flag O (the kernel opens the program and hands qemu the file)
# is left out, for that file would take the lowest free descriptor, so that
# a program started with its standard input closed would find it open. Flag
# F (the kernel opens qemu when registering) is kept or added, so that qemu
# need not be in the root.
binfmt_ready() {
    local cpu=$1 handler=list-exercises-qemu-$1 rule=/usr/lib/binfmt.d/qemu-$1.conf line flags
    if [ ! -e "$binfmt/status" ]; then
        mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || {
            echo "$LISTS_CALLER: binfmt_misc is not mounted and cannot be mounted here" >&2
            return 1
        }
        binfmt_mounted=yes
    fi
    [ -e "$binfmt/$handler" ] && return 0
    [ -f "$rule" ] || {
        echo "$LISTS_CALLER: no $rule (package qemu-user-static) to register $cpu's programs with" >&2
        return 1
    }
    line=$(grep -m1 "^:qemu-$cpu:" "$rule") || {
        echo "$LISTS_CALLER: $rule holds no rule for qemu-$cpu" >&2
        return 1
    }
    flags=$(printf '%s' "${line##*:}" | tr -d 'OC')
    case $flags in
        *F*) ;;
        *) flags=${flags}F ;;
    esac
    line=":$handler:${line#:qemu-"$cpu":}"
    if ! echo "${line%:*}:$flags" >"$binfmt/register" 2>/dev/null; then
        echo "$LISTS_CALLER: cannot register a binfmt handler here" >&2
        return 1
    fi
    binfmt_handlers+=("$handler")
}

# binfmt_restore: takes out the handlers binfmt_ready registered, and
# unmounts binfmt_misc where it mounted it.
binfmt_restore() {
    local handler
    for handler in "${binfmt_handlers[@]}"; do
        echo -1 >"$binfmt/$handler" 2>/dev/null || echo "$LISTS_CALLER: could not take out binfmt handler $handler" >&2
    done
    binfmt_handlers=()
    if [ $binfmt_mounted = yes ]; then
        umount "$binfmt" 2>/dev/null || echo "$LISTS_CALLER: could not unmount $binfmt" >&2
        binfmt_mounted=no
    fi
}
