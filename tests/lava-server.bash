# shellcheck shell=bash disable=SC2034,SC2154
# (It sets variables for the script that sources it, and takes its
# source_dir, and free_port from cases.bash.)
# lava-server.bash: sourced by tests/lab-check, to give it a real LAVA server
# on this machine, everything on 127.0.0.1. (It takes root.)
#
# lava_root: makes sure the cache holds LAVA's root (lava-BOOKWORM-ARCH-...:
# a Debian 12 root of this machine's CPU, mmdebstrap's variant apt with
# lava-server, lava-dispatcher, lavacli, PostgreSQL and qemu-system-arm, no
# recommends), made
# there where it is missing (tests/lava-root), and holds it (a shared lock
# on its lock file, as the cache's own holds are) until this shell ends.
lava_release=bookworm
lava_entry='' lava_hold=''
lava_root_name() { "$source_dir/tests/lava-root" --name "$lava_release"; }

lava_root() {
    local name path started
    name=$(lava_root_name)
    started=$(date +%s)
    path=${LISTS_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/list-exercises}/$name
    [ -e "$path" ] && [ "${LISTS_CACHE_REFRESH-}" != "$name" ] ||
        echo "lava-server: making LAVA's root (lava-server, lava-dispatcher, lavacli, postgresql, qemu-system-arm), $path" >&2
    lava_entry=$("$source_dir/tests/lava-root" "$lava_release") || return 1
    # (Taken again here, as the maker's hold ended with it; one removed
    # meanwhile is not there any more.)
    [ -n "$lava_hold" ] || exec {lava_hold}>>"${lava_entry%/*}/.$name.lock"
    flock -s "$lava_hold"
    [ -d "$lava_entry" ] || { echo "lava-server: $lava_entry went from the cache meanwhile" >&2; return 1; }
    echo "lava-server: LAVA's root is ready after $(($(date +%s) - started)) s" \
        "($(du -sm "$lava_entry" | cut -f1) MiB)" >&2
}

# lava_start: starts LAVA from its root (lava_root first): the root's files
# as an overlay on the cache entry, so that the entry stays as it was made;
# PostgreSQL, the database made by the server package's own set-up, a user
# and its token, gunicorn, lava-publisher, lava-scheduler and lava-worker,
# each on a free port of 127.0.0.1, with events on. Sets:
#   lava_dir    the run's folder (its root is lava_dir/root)
#   lava_url    the server's address, http://127.0.0.1:PORT/
#   lava_user, lava_token   a superuser and its token
#   lava_worker the worker's name
#   lava_publisher_port  lava-publisher's port (the workers' --ws-url)
# Set before: lava_bind, the address gunicorn and lava-publisher listen on
# (127.0.0.1 unless set; 0.0.0.0 in a network namespace of the run's own,
# for workers in others), and lava_hosts, more names or addresses the server
# answers to (Django's ALLOWED_HOSTS), an array.
# lava_stop: stops it all and undoes the mounts; call it on exit.
lava_dir='' lava_pids=() lava_bind=${lava_bind:-127.0.0.1}
[ -n "${lava_hosts+set}" ] || lava_hosts=()

# in_lava COMMAND: the shell COMMAND in LAVA's root, as root's login would
# run it, with none of this machine's environment.
in_lava() {
    chroot "$lava_dir/root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root TMPDIR=/tmp \
        DEBIAN_FRONTEND=noninteractive /bin/sh -c "$1"
}

# lava_service NAME COMMAND: starts the shell COMMAND in LAVA's root, in the
# background, its output in lava_dir/NAME.log.
lava_service() {
    setsid chroot "$lava_dir/root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
        LANG=C.UTF-8 /bin/sh -c "exec $2" >"$lava_dir/$1.log" 2>&1 </dev/null &
    lava_pids+=($!)
}

# lava_until WHAT COMMAND: waits, 90 s at most, until the shell COMMAND
# (run here) succeeds, trying it each second.
lava_until() {
    local tries=90
    until eval "$2" >/dev/null 2>&1; do
        tries=$((tries - 1))
        [ $tries -gt 0 ] || { echo "lava-server: $1: not after 90 s" >&2; return 1; }
        sleep 1
    done
}

lava_start() {
    local root started http_port publisher_port event_port db_port cluster host
    started=$(date +%s)
    lava_dir=$(mktemp -d "${TMPDIR:-/tmp}/lava-server.XXXXXX")
    root=$lava_dir/root
    mkdir "$lava_dir/upper" "$lava_dir/work" "$root"
    mount -t overlay overlay -o "lowerdir=$lava_entry,upperdir=$lava_dir/upper,workdir=$lava_dir/work" \
        "$root" || return 1
    cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
    mount -t proc proc "$root/proc" || return 1
    # PostgreSQL's shared memory, and the terminals the worker runs its
    # connections to devices in.
    mount -t tmpfs -o size=256m tmpfs "$root/dev/shm" || return 1
    mount --bind /dev/pts "$root/dev/pts" || return 1

    http_port=$(free_port) publisher_port=$(free_port) event_port=$(free_port) db_port=$(free_port)
    lava_publisher_port=$publisher_port
    lava_url=http://127.0.0.1:$http_port/ lava_user=lab lava_worker=lab-worker
    cluster=$(cd "$root/etc/postgresql" && echo */main)
    cat >"$root/etc/postgresql/${cluster%/main}/main/conf.d/lab.conf" <<EOF2
listen_addresses = '127.0.0.1'
port = $db_port
EOF2
    cat >"$root/etc/lava-server/settings.d/00-database.yaml" <<EOF2
DATABASES:
  default:
    ENGINE: "django.db.backends.postgresql"
    NAME: "lavaserver"
    USER: "lavaserver"
    PASSWORD: "$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')"
    HOST: "127.0.0.1"
    PORT: $db_port
EOF2
    cat >"$root/etc/lava-server/settings.d/01-lab.yaml" <<EOF2
EVENT_NOTIFICATION: true
EVENT_SOCKET: "tcp://127.0.0.1:$event_port"
EOF2
    if [ ${#lava_hosts[@]} -gt 0 ]; then
        {
            printf 'ALLOWED_HOSTS: ["127.0.0.1", "localhost"'
            for host in "${lava_hosts[@]}"; do printf ', "%s"' "$host"; done
            printf ']\n'
        } >"$root/etc/lava-server/settings.d/02-hosts.yaml"
    fi
    echo "lava-server: starting PostgreSQL (port $db_port)" >&2
    in_lava "pg_ctlcluster ${cluster%/main} main start" >&2 || return 1
    echo "lava-server: making LAVA's database (the server package's own set-up)" >&2
    in_lava "PGPORT=$db_port python3 /usr/share/lava-server/postinst.py" >"$lava_dir/postinst.log" 2>&1 || {
        cat "$lava_dir/postinst.log" >&2
        return 1
    }
    in_lava "lava-server manage users add --superuser --staff --passwd lab $lava_user" >&2 || return 1
    lava_token=$(in_lava "lava-server manage tokens add --user $lava_user") || return 1
    # The worker puts this address into its jobs: without it, this
    # machine's outward one.
    mkdir -p "$root/etc/lava-server/dispatcher.d/$lava_worker"
    echo "dispatcher_ip: 127.0.0.1" >"$root/etc/lava-server/dispatcher.d/$lava_worker/dispatcher.yaml"

    echo "lava-server: starting gunicorn ($lava_url), lava-publisher, lava-scheduler and lava-worker" >&2
    lava_service gunicorn "gunicorn3 lava_server.wsgi -u lavaserver -g lavaserver --worker-class eventlet --workers 2 \
        --bind $lava_bind:$http_port --log-level info"
    lava_service publisher "lava-server manage lava-publisher --host $lava_bind --port $publisher_port"
    lava_service scheduler "lava-server manage lava-scheduler --event-url tcp://127.0.0.1:$event_port"
    lava_until "gunicorn on $lava_url" "curl -fsS ${lava_url}api/v0.2/ || wget -q -O /dev/null ${lava_url}api/v0.2/" || return 1
    lava_service worker "lava-worker --level DEBUG --url $lava_url --ws-url http://127.0.0.1:$publisher_port/ws/ \
        --name $lava_worker --worker-dir /var/lib/lava/dispatcher/worker"
    lava_until "the worker $lava_worker online" \
        "in_lava 'lava-server manage workers details $lava_worker' | grep -i 'state.*online'" || return 1
    echo "lava-server: LAVA is up after $(($(date +%s) - started)) s" >&2
}

lava_stop() {
    local pid cluster root=$lava_dir/root
    [ -n "$lava_dir" ] || return 0
    for pid in "${lava_pids[@]}"; do kill -TERM -- "-$pid" 2>/dev/null || true; done
    for pid in "${lava_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    lava_pids=()
    if [ -d "$root/etc/postgresql" ]; then
        cluster=$(cd "$root/etc/postgresql" && echo */main)
        in_lava "pg_ctlcluster ${cluster%/main} main stop -m fast" >/dev/null 2>&1 || true
    fi
    for pid in /proc/[0-9]*; do
        [ "$(readlink "$pid/root" 2>/dev/null)" != "$root" ] || kill -KILL "${pid#/proc/}" 2>/dev/null || true
    done
    # (The overlay and what is mounted in it, innermost first; the run's
    # folder is removed only once nothing is mounted in it.)
    if mountpoint -q "$root"; then
        umount -R "$root" 2>/dev/null || umount -R -l "$root" || true
    fi
    if grep -qF " $lava_dir/" /proc/self/mounts; then
        echo "lava-server: $lava_dir is still mounted on; left in place" >&2
        return 1
    fi
    rm -rf "$lava_dir"
    lava_dir=''
}
