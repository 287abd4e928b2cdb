# shellcheck shell=bash
# Sourced by the tests that check several cases in one run and print a
# PASS: or FAIL: line a case, then 'N passed, N failed'.
#
# case_is NAME CONDITION...  a case passes where CONDITION holds
# cases_end                  prints the count; fails where a case failed
# busybox_tools FOLDER       makes FOLDER a PATH of BusyBox's own tools
#                            alone, as a device has them; where there is no
#                            busybox here, says the cases are skipped and
#                            fails
# wait_for FILE [SECONDS]    waits until FILE is there (10 s at most;
#                            fails after)
# free_port                  a port of 127.0.0.1 that nobody listens on

passed=0 failed=0
case_is() {
    local name=$1
    shift
    if "$@"; then
        echo "PASS: $name"
        passed=$((passed + 1))
    else
        echo "FAIL: $name"
        failed=$((failed + 1))
    fi
}
cases_end() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
busybox_tools() {
    local busybox applet
    busybox=$(command -v busybox) || {
        echo "SKIP: under BusyBox's shell (no busybox here)"
        return 1
    }
    mkdir -p "$1"
    for applet in $("$busybox" --list); do
        ln -s "$busybox" "$1/$applet"
    done
}
wait_for() {
    local limit=$((SECONDS + ${2:-10}))
    until [ -e "$1" ]; do
        [ $SECONDS -lt $limit ] || return 1
        sleep 0.02
    done
}
# free_port: a port of 127.0.0.1 that nobody listens on.
free_port() {
    local port
    while :; do
        port=$((20000 + RANDOM % 30000))
        [ -z "$(ss -Hltn "sport = :$port")" ] && echo "$port" && return
    done
}
