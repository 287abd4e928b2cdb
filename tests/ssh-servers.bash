# shellcheck shell=bash disable=SC2034,SC2154
# (It sets variables for the script that sources it, and takes its
# source_dir.)
# ssh-servers.bash: sourced by the tests of device-check --ssh, to give them
# real devices to log in to. (It takes root.)
#
# ssh_servers_start BUILD...: in a minimal Debian root of the first BUILD's
# CPU that this machine can run (another CPU's under a binfmt handler of the
# test's own; where that cannot be registered, the next BUILD's, saying
# so), the one device-check makes and keeps in the cache folder
# (tests/device-root holds it, and the handler, until the servers stop),
# installs OpenSSH's sshd, Dropbear (started by ucspi-tcp's tcpserver) and
# the toolkit's library with the root's apt, and
# starts both servers, each on a free port of 127.0.0.1, with a host key and
# an authorized key for root made for the run. Sets:
#   device_build       the BUILD whose CPU the root is of
#   device_root        the root's folder (the device's files)
#   openssh_port, dropbear_port
#   client_options     ssh's options that log in to them: no configuration,
#                      no agent, a known_hosts file of the run's own
#   accepted_key, refused_key   identity files, the one authorized and one not
# ssh_servers_stop: stops the servers and whatever runs in the root, and
# undoes the rest (mounts, binfmt handler, files); call it on exit.
servers_work='' servers_pids=() servers_holder='' servers_hold='' device_root=''

# in_device COMMAND: the shell COMMAND in the device's root, as root's login
# would run it, with none of this machine's environment.
in_device() {
    chroot "$device_root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root TMPDIR=/tmp \
        DEBIAN_FRONTEND=noninteractive /bin/sh -c "$1"
}

# until_listening PORT: waits, 60 s at most, for a server to listen on PORT.
until_listening() {
    local tries=600
    while [ -z "$(ss -Hltn "sport = :$1")" ]; do
        tries=$((tries - 1))
        [ $tries -gt 0 ] || { echo "ssh-servers: nothing listens on port $1" >&2; return 1; }
        sleep 0.1
    done
}

ssh_servers_start() {
    local root_tarball started
    servers_work=$(mktemp -d "${TMPDIR:-/tmp}/ssh-servers.XXXXXX")
    # The root's holder ends when its standard input does (the servers are
    # started without the pipe's end).
    mkfifo "$servers_work/hold"
    "$source_dir/tests/device-root" "$servers_work/root" "$@" <"$servers_work/hold" &
    servers_holder=$!
    exec {servers_hold}>"$servers_work/hold"
    until [ -e "$servers_work/root" ]; do
        kill -0 "$servers_holder" 2>/dev/null || { echo "ssh-servers: no BUILD's root can be used here" >&2; return 1; }
        sleep 0.1
    done
    { read -r device_build && read -r root_tarball; } <"$servers_work/root"
    echo "ssh-servers: the device is a minimal root from ${root_tarball##*/}, for $device_build"
    started=$(date +%s)
    device_root=$servers_work/device
    mkdir "$device_root"
    tar -C "$device_root" -xf "$root_tarball"
    cp -L /etc/resolv.conf "$device_root/etc/resolv.conf" 2>/dev/null || true
    mount -t proc proc "$device_root/proc"
    in_device "apt-get update -q && apt-get install -y -q --no-install-recommends \
        openssh-server dropbear-bin ucspi-tcp libqt5core5a" >"$servers_work/install.log" 2>&1 || {
        cat "$servers_work/install.log" >&2
        return 1
    }

    ssh-keygen -q -t ed25519 -N '' -C accepted -f "$servers_work/accepted"
    ssh-keygen -q -t ed25519 -N '' -C refused -f "$servers_work/refused"
    ssh-keygen -q -t ed25519 -N '' -C openssh-host -f "$device_root/etc/ssh/test_host_key"
    in_device "mkdir -p /etc/dropbear && dropbearkey -t ed25519 -f /etc/dropbear/test_host_key >/dev/null 2>&1;
        dropbearkey -y -f /etc/dropbear/test_host_key" | grep '^ssh-' >"$servers_work/dropbear_host_key.pub"
    mkdir -p "$device_root/root/.ssh" "$device_root/run/sshd"
    chmod 700 "$device_root/root/.ssh"
    install -m 600 "$servers_work/accepted.pub" "$device_root/root/.ssh/authorized_keys"
    accepted_key=$servers_work/accepted refused_key=$servers_work/refused

    openssh_port=$(free_port)
    cat >"$device_root/etc/ssh/test_sshd_config" <<EOF
Port $openssh_port
ListenAddress 127.0.0.1
HostKey /etc/ssh/test_host_key
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
PidFile none
EOF
    chroot "$device_root" /usr/bin/env -i /usr/sbin/sshd -D -e -f /etc/ssh/test_sshd_config \
        2>"$servers_work/sshd.log" {servers_hold}>&- &
    servers_pids+=($!)
    until_listening "$openssh_port"
    dropbear_port=$(free_port)
    while [ "$dropbear_port" = "$openssh_port" ]; do dropbear_port=$(free_port); done
    # Dropbear as inetd starts it, one for each connection, as on many a
    # board: its own listener runs itself anew for each connection from an
    # open /proc/self/exe, which qemu-user cannot do under a binfmt handler
    # without flag O, and device-check's is without it.
    chroot "$device_root" /usr/bin/env -i /usr/bin/tcpserver 127.0.0.1 "$dropbear_port" \
        /usr/sbin/dropbear -i -s -r /etc/dropbear/test_host_key 2>"$servers_work/dropbear.log" {servers_hold}>&- &
    servers_pids+=($!)
    until_listening "$dropbear_port"

    {
        echo "[127.0.0.1]:$openssh_port $(cat "$device_root/etc/ssh/test_host_key.pub")"
        echo "[127.0.0.1]:$dropbear_port $(cat "$servers_work/dropbear_host_key.pub")"
    } >"$servers_work/known_hosts"
    client_options=(-F none -o IdentitiesOnly=yes -o IdentityAgent=none
        -o "UserKnownHostsFile=$servers_work/known_hosts" -o GlobalKnownHostsFile=/dev/null)
    echo "ssh-servers: sshd on 127.0.0.1:$openssh_port and Dropbear on 127.0.0.1:$dropbear_port," \
        "ready in $(($(date +%s) - started)) s"
}

# in_root_processes: the processes that run in the device's root, one a line.
in_root_processes() {
    local process
    for process in /proc/[0-9]*; do
        [ "$(readlink "$process/root" 2>/dev/null)" != "$device_root" ] || echo "${process#/proc/}"
    done
    return 0
}

ssh_servers_stop() {
    local pid
    [ -n "$servers_work" ] || return 0
    for pid in "${servers_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${servers_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    servers_pids=()
    if [ -n "$device_root" ]; then
        for pid in $(in_root_processes); do kill -KILL "$pid" 2>/dev/null || true; done
        ! mountpoint -q "$device_root/proc" || umount "$device_root/proc" || umount -l "$device_root/proc" || true
    fi
    # The root's holder: its pipe's end closed, it takes out its binfmt
    # handler; one that something else keeps the pipe open for is stopped.
    [ -z "$servers_hold" ] || exec {servers_hold}>&-
    servers_hold=''
    if [ -n "$servers_holder" ]; then
        timeout 30 tail -f /dev/null --pid="$servers_holder" || kill -TERM "$servers_holder" 2>/dev/null || true
        wait "$servers_holder" 2>/dev/null || true
        servers_holder=''
    fi
    if grep -qF " $servers_work/" /proc/self/mounts; then
        echo "ssh-servers: $servers_work is still mounted on; left in place" >&2
        return 1
    fi
    rm -rf "$servers_work"
    servers_work=''
}
