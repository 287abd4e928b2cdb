# shellcheck shell=bash
# Sourced by what reaches a device over ssh (device-check --ssh, test.sh
# --device): one way of taking a destination and the user's ssh options.
#
# ssh_device DESTINATION [SSH_OPTION...]
#   Sets ssh_options (the user's options, then what ssh would otherwise
#   leave unset: a connection attempt and a dropped connection end in time
#   rather than hang; where there is no terminal, ssh asks nothing; and
#   the device under test is given neither the user's agent nor X display,
#   whatever the user's configuration says: ssh takes an option's first
#   value, so the user's own options on the command line still win) and
#   device_name (user@host port N, as ssh resolves the destination with the
#   user's configuration). The user's configuration, keys, agent and known
#   hosts are used as they are (the agent to log in, never forwarded); host
#   keys are always checked.
# quoted WORD
#   WORD as one word of a POSIX shell's command line.

# shellcheck disable=SC2034 # (ssh_options and device_name are the caller's)
ssh_device() {
    local destination=$1 effective
    shift
    ssh_options=("$@" -o ForwardAgent=no -o ForwardX11=no)
    if effective=$(ssh -G "$@" "$destination" 2>/dev/null); then
        _ssh_setting() { sed -n "s/^$1 //p" <<<"$effective"; }
        device_name="$(_ssh_setting user)@$(_ssh_setting hostname) port $(_ssh_setting port)"
        [ "$(_ssh_setting connecttimeout)" != none ] || ssh_options+=(-o ConnectTimeout=30)
        [ "$(_ssh_setting serveraliveinterval)" != 0 ] ||
            ssh_options+=(-o ServerAliveInterval=15 -o ServerAliveCountMax=4)
    else
        device_name=$destination
    fi
    (: </dev/tty) 2>/dev/null || ssh_options+=(-o BatchMode=yes)
}

quoted() { printf "'%s'" "${1//\'/\'\\\'\'}"; }
