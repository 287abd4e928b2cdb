# shellcheck shell=bash
# Sourced by test.sh for --device: a device reached over ssh that runs a
# whole test suite's programs, through one connection for the whole run.
#
# device_open ARCH DESTINATION [SSH_OPTION...]
#   Connects (ssh's ControlMaster), refuses a device whose CPU is not one
#   that runs ARCH's programs, and makes a folder on the device for the run.
#   Exports LISTS_DEVICE_SESSION, the folder here that the build's runner
#   (scripts/lib/run-on-device) reads: its session.json, as
#   list_exercises.devices writes it; sets device_name, device_kernel
#   (kernel and CPU, as the device's uname says them) and device_folder
#   (the run's folder on the device). Exits 2, saying why, where the device
#   cannot be used.
# device_send BUILD
#   Sends the programs of BUILD (every executable file but CMake's own) to
#   the device's folder, once for the run.
# device_close
#   Ends the connection; the device removes the run's folder. Registered to
#   run at exit.
#
# The folder on the device lives as long as the connection's first session,
# whose standard input is a pipe that a process of its own holds open for
# as long as this shell lives (tail --pid): when this shell ends, however it
# ends (killed outright too), the session reads its end and removes the
# folder; a lost connection ends it as well. (This shell does not hold the
# pipe itself: its children, ctest's tests among them, would hold it too.)

# shellcheck source=supervise.bash
. "$(dirname "${BASH_SOURCE[0]}")/supervise.bash"
# shellcheck source=ssh-device.bash
. "$(dirname "${BASH_SOURCE[0]}")/ssh-device.bash"
# shellcheck source=debian-cpus.bash
. "$(dirname "${BASH_SOURCE[0]}")/debian-cpus.bash"

device_session='' device_keeper='' device_holder='' device_folder='' device_build=''
device_destination='' device_user_options=() device_kernel=''

# _json_string WORD: WORD as a JSON string.
_json_string() {
    local word=$1 i character
    word=${word//\\/\\\\}
    word=${word//\"/\\\"}
    for ((i = 1; i < 32; i++)); do
        printf -v character "\\$(printf %03o "$i")"
        [[ $word != *"$character"* ]] || word=${word//"$character"/$(printf '\\u%04x' "$i")}
    done
    printf '"%s"' "$word"
}
# _json_list WORD...: the WORDs as a JSON list of strings.
_json_list() {
    local word separator=''
    printf '['
    for word do
        printf '%s' "$separator"
        _json_string "$word"
        separator=', '
    done
    printf ']'
}
# _device_session_data: the session's session.json, whole at once, for the
# runner (list_exercises.devices.Session).
_device_session_data() {
    local field value
    {
        printf '{"options": '
        _json_list "${ssh_options[@]}"
        printf ', "user_options": '
        _json_list "${device_user_options[@]}"
        for field in destination name control folder kernel build; do
            case $field in
                destination) value=$device_destination ;;
                name) value=$device_name ;;
                control) value=$device_session/connection ;;
                folder) value=$device_folder ;;
                kernel) value=$device_kernel ;;
                build) value=$device_build ;;
            esac
            printf ', "%s": ' "$field"
            _json_string "$value"
        done
        printf '}\n'
    } >"$device_session/.session.json.new" &&
        mv "$device_session/.session.json.new" "$device_session/session.json"
}

device_open() {
    local arch=$1 destination=$2 cpus
    shift 2
    cpus=$(native_machines "$arch") || {
        echo "$LISTS_CALLER: no CPU is known for $arch" >&2
        exit 2
    }
    ssh_device "$destination" "$@"
    device_destination=$destination device_user_options=("$@")
    # What a run killed outright left here (the device's side ended with it).
    local stale
    for stale in "${TMPDIR:-/tmp}"/device-session.*/owner; do
        [ -f "$stale" ] && ! kill -0 "$(cat "$stale")" 2>/dev/null && rm -rf "${stale%/owner}"
    done
    device_session=$(mktemp -d "${TMPDIR:-/tmp}/device-session.XXXXXX")
    echo $$ >"$device_session/owner"
    remove_at_exit "$device_session"
    at_exit device_close
    export LISTS_DEVICE_SESSION=$device_session
    local control=(-o "ControlPath=$device_session/connection")

    # The first session: checks the CPU, makes the folder, says where, and
    # holds it until its standard input ends.
    # shellcheck disable=SC2016
    local keeper='
cpus=$1
cpu=$(uname -m)
case " $cpus " in
    *" $cpu "*) ;;
    *) echo "cpu $cpu"; exit 3 ;;
esac
folder=$(mktemp -d "${TMPDIR:-/tmp}/list-exercises.XXXXXX") || exit 3
trap "rm -rf \"\$folder\"" EXIT
trap "exit 129" HUP
trap "exit 143" TERM
echo "folder $folder"
echo "kernel $(uname -sr), $cpu"
cat >/dev/null
'
    echo "$LISTS_CALLER: connecting to $destination ($device_name)"
    mkfifo "$device_session/hold"
    # (There before the wait below reads it.)
    : >"$device_session/keeper"
    ssh -T -M "${control[@]}" -o ControlPersist=no "${ssh_options[@]}" "$destination" \
        "sh -c $(quoted "$keeper") keeper $(quoted "$cpus")" \
        <"$device_session/hold" >"$device_session/keeper" 2>"$device_session/connection.log" &
    device_keeper=$!
    tail -f /dev/null --pid=$$ >"$device_session/hold" &
    device_holder=$!
    # Until the folder is named, or the session ends (ssh's own timeouts
    # bound the wait).
    while kill -0 "$device_keeper" 2>/dev/null && ! grep -q '^kernel ' "$device_session/keeper"; do
        sleep 0.2
    done
    if ! grep -q '^kernel ' "$device_session/keeper"; then
        local status=0 cpu
        wait "$device_keeper" || status=$?
        device_keeper=''
        cpu=$(sed -n 's/^cpu //p' "$device_session/keeper")
        if [ -n "$cpu" ]; then
            echo "$LISTS_CALLER: $device_name runs on $cpu (uname -m), not on $arch ($cpus):" \
                "it cannot run this build's programs" >&2
        else
            sed 's/^/    | /' "$device_session/connection.log" >&2
            echo "$LISTS_CALLER: could not connect or log in to $device_name (ssh's status $status)" >&2
        fi
        exit 2
    fi
    device_folder=$(sed -n 's/^folder //p' "$device_session/keeper")
    device_kernel=$(sed -n 's/^kernel //p' "$device_session/keeper")
    _device_session_data
    echo "$LISTS_CALLER: $device_name is up: $device_kernel"
}

device_send() {
    local build
    build=$(cd "$1" && pwd)
    device_build=$build
    _device_session_data
    local folder=$device_folder size
    local ssh_command=(ssh -T -o "ControlPath=$device_session/connection" -o ControlMaster=no
        "${ssh_options[@]}" "$device_destination")
    (cd "$build" && find . -name CMakeFiles -prune -o -type f -perm -u+x -print0) >"$device_session/programs"
    size=$(cd "$build" && du -ck --files0-from="$device_session/programs" | tail -n 1 | cut -f1)
    echo "$LISTS_CALLER: sending the programs of $build ($size KB) to $folder on the device"
    (cd "$build" && tar --null -cf - -T "$device_session/programs") |
        "${ssh_command[@]}" "tar -xf - -C $(quoted "$folder")" || {
        echo "$LISTS_CALLER: could not send the programs to $device_name" >&2
        return 1
    }
}

device_close() {
    [ -n "$device_holder" ] || return 0
    kill "$device_holder" 2>/dev/null || true
    wait "$device_holder" 2>/dev/null || true
    device_holder=''
    [ -n "$device_keeper" ] || return 0
    # The device ends the session once it reads the end; one that does not
    # within 10 s (the connection hung) is cut here, and its sshd's hang-up
    # removes the folder.
    local waited=0
    while kill -0 "$device_keeper" 2>/dev/null && [ $waited -lt 50 ]; do
        sleep 0.2
        waited=$((waited + 1))
    done
    kill "$device_keeper" 2>/dev/null || true
    wait "$device_keeper" 2>/dev/null || true
    device_keeper=''
}
