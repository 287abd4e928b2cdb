#!/bin/sh
# list-exercises.sh [TARBALL [SHA256]]
#
# The steps of lava/list-exercises.yaml, on the device, in LAVA's test shell:
# unpacks TARBALL (a build's cpack tarball: a path, or an http(s) URL fetched
# with wget or curl; by default the one list-exercises-*.tar.gz in the
# working folder) into a temporary folder, runs its run-ptest, and records
# each PASS:, FAIL: and SKIP: line as a LAVA test case of that name
# (lava-test-case), and the header's toolkit, library and target as the
# references of the cases header/toolkit, header/library and header/target
# (lava-test-reference: a text kept with the case's result, where a space
# is written as _, as LAVA's signals take none). Where SHA256 is given, the
# tarball is unpacked only if it has that SHA-256 (sha256sum); a plain
# http:// URL is taken only with it, as anyone on the way could answer it,
# and what is unpacked runs as root here. What cannot run at all (no
# tarball, not the SHA-256 given, not unpacked, run-ptest ended before its
# count) is the failed case run-ptest, and exit 1; failed cases are
# results, not an error: it exits 0 then.
set -u
tarball=${1-} sha256=${2-}
folder=$(mktemp -d "${TMPDIR:-/tmp}/list-exercises.XXXXXX") || exit 1
trap 'rm -rf "$folder"' EXIT

# cannot_run WHY: the whole check could not run.
cannot_run() {
    echo "list-exercises: $1" >&2
    lava-test-case run-ptest --result fail
    exit 1
}
if [ -z "$tarball" ]; then
    set -- list-exercises-*.tar.gz
    [ $# -eq 1 ] && [ -f "$1" ] || cannot_run "no one list-exercises-*.tar.gz in $(pwd) (found: $*)"
    tarball=$1
fi
case $sha256 in
    '') case $tarball in http://*) cannot_run "no SHA-256 given for $tarball (TARBALL_SHA256): not fetched over plain http unchecked" ;; esac ;;
    *[!0-9a-fA-F]*) cannot_run "TARBALL_SHA256 is no SHA-256: $sha256" ;;
    *) [ ${#sha256} -eq 64 ] || cannot_run "TARBALL_SHA256 is no SHA-256: $sha256" ;;
esac
case $tarball in
    http://* | https://*)
        if command -v wget >/dev/null; then
            wget -q -O "$folder/build.tar.gz" "$tarball"
        else
            curl -fsSL -o "$folder/build.tar.gz" "$tarball"
        fi || cannot_run "could not fetch $tarball"
        tarball=$folder/build.tar.gz ;;
esac
if [ -n "$sha256" ]; then
    command -v sha256sum >/dev/null || cannot_run "no sha256sum here to check $tarball with: not unpacked"
    actual=$(sha256sum <"$tarball" | cut -d' ' -f1) && [ -n "$actual" ] ||
        cannot_run "could not read $tarball: not unpacked"
    expected=$(printf '%s' "$sha256" | tr 'A-F' 'a-f')
    [ "$actual" = "$expected" ] ||
        cannot_run "$tarball is not the tarball the job names: its SHA-256 is $actual, not $expected; not unpacked"
fi
gzip -dc "$tarball" | tar -xf - -C "$folder" || cannot_run "could not unpack $tarball into $folder"
set -- "$folder"/*/lib/list-exercises/ptest/run-ptest
[ -f "$1" ] || cannot_run "$tarball holds no lib/list-exercises/ptest/run-ptest"

# fact LINE: a header line's value, as a case's reference.
fact() { printf '%s' "$1" | sed 's/^[A-Za-z]*: *//; s/ (loaded at run time)$//' | tr -s ' \t' '__'; }
# run-ptest's lines as they come (so the job's log shows them all), each
# case recorded as it ends.
(cd / && TMPDIR=$folder sh "$1"; echo "list-exercises: run-ptest exited $?") | {
    counted=no
    while IFS= read -r line; do
        printf '%s\n' "$line"
        case $line in
            "Toolkit: "*) lava-test-reference header/toolkit --result pass --reference "$(fact "$line")" ;;
            "Library: "*) lava-test-reference header/library --result pass --reference "$(fact "$line")" ;;
            "Target: "*) lava-test-reference header/target --result pass --reference "$(fact "$line")" ;;
            "PASS: "*) lava-test-case "${line#PASS: }" --result pass ;;
            "FAIL: "*) lava-test-case "${line#FAIL: }" --result fail ;;
            # (SKIP: PROGRAM/CASE (why): the case's name is its first word.)
            "SKIP: "*) line=${line#SKIP: }; lava-test-case "${line%% *}" --result skip ;;
            *[0-9]" passed, "[0-9]*" failed"*) counted=yes ;;
        esac
    done
    [ $counted = yes ] || cannot_run "run-ptest ended before its count of cases"
}
