#!/usr/bin/env bash
# test.sh [PRESET... | all]
# test.sh PRESET --device DESTINATION [SSH_OPTION...]
#
# Sets everything up, then builds and runs the whole test suite in each CMake
# preset given (qt5 when none is; all: every configure preset there is, your
# own in CMakeUserPresets.json included). Each preset's run starts by saying
# what it checks (toolkit, compiler, CPU) and leaves a JUnit XML report in
# build/test-results/PRESET.xml; the run ends with a table of what each
# preset checked and how it went (scripts/test-summary), also written to
# build/test-results/summary.md. CMAKE_PREFIX_PATH, Qt5_DIR or Qt6_DIR in the
# environment name a toolkit of your own to check; QT_QMAKE_EXECUTABLE, the
# qmake of a Qt 4 of your own.
#
# With --device, the whole suite of PRESET, a preset that builds for a CPU
# in a system root, runs its programs on a device over ssh instead of here:
# DESTINATION and SSH_OPTIONs as ssh takes them (as device-check --ssh
# does). A device whose CPU is not the preset's is refused before anything
# is built; one connection serves the whole run, the programs are sent once,
# and nothing is left on the device afterwards. The build is PRESET's folder
# with -device after its name, its report build/test-results/PRESET-device.xml.
set -euo pipefail
# shellcheck source=scripts/lib/usage.bash
. "$(dirname "$0")/scripts/lib/usage.bash"
cd "$(dirname "$0")"
# (A signal stops the build or ctest running, and ends this with 130 or 143.)
# shellcheck source=scripts/lib/supervise.bash
. scripts/lib/supervise.bash
# shellcheck source=scripts/lib/holds.bash
. scripts/lib/holds.bash

presets=("$@") device=()
if [ "${2-}" = --device ]; then
    if [ $# -lt 3 ] || [[ $1 == -* ]] || [ "$1" = all ] || [[ $3 == -* ]]; then
        echo "usage: test.sh PRESET --device DESTINATION [SSH_OPTION...]" >&2
        exit 2
    fi
    presets=("$1") device=("${@:3}")
fi
[ ${#presets[@]} -eq 0 ] && presets=(qt5)
# Reading the presets takes CMake, which a fresh machine may not have yet.
scripts/setup
[ "${presets[*]}" != all ] || presets=()
# What each preset needs, read once for the run: every name is checked
# before anything is built.
export LISTS_PRESET_FACTS=$PWD/build/preset-facts.$$
mkdir -p build
remove_at_exit "$LISTS_PRESET_FACTS"
scripts/presets --facts -- "${presets[@]}" >"$LISTS_PRESET_FACTS" || exit 2
[ ${#presets[@]} -gt 0 ] || mapfile -t presets < <(awk '$2 == "name" { print $1 }' "$LISTS_PRESET_FACTS")
if [ ${#device[@]} -gt 0 ]; then
    arch=$(preset_fact "${presets[0]}" arch)
    if [ -z "$arch" ]; then
        echo "test.sh: --device takes a preset that builds for a CPU in a system root" \
            "(arm64, armhf, ...), not ${presets[0]}" >&2
        exit 2
    fi
    # shellcheck source=scripts/lib/device-session.bash
    . scripts/lib/device-session.bash
    device_open "$arch" "${device[@]}"
fi

# run_tests PRESET BUILD: runs the tests of PRESET, built in BUILD, with its
# test preset, or, for a preset of the user's own that is a configure preset
# alone, as the other test presets do.
run_tests() {
    local junit=(--parallel "$(nproc)" --output-junit "$results/$1.xml")
    if [ ${#device[@]} -gt 0 ]; then
        # One program at a time: the device is one machine, whatever this
        # one's cores.
        run_child ctest --test-dir "$2" --output-on-failure --no-tests=error \
            --output-junit "$results/$1.xml"
    elif cmake --list-presets=test | grep -F "  \"$1\"" >/dev/null; then
        run_child ctest --preset "$1" "${junit[@]}"
    else
        # The configuration that the build built, where the generator makes
        # several (the first, or the default named).
        local config
        config=$(sed -n 's/^CMAKE_DEFAULT_BUILD_TYPE:[A-Z]*=//p' "$2/CMakeCache.txt")
        [ -n "$config" ] || config=$(sed -n 's/^CMAKE_CONFIGURATION_TYPES:[A-Z]*=\([^;]*\).*/\1/p' "$2/CMakeCache.txt")
        [ -n "$config" ] || config=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$2/CMakeCache.txt")
        run_child ctest --test-dir "$2" ${config:+-C "$config"} --output-on-failure --no-tests=error "${junit[@]}"
    fi
}

results=$PWD/build/test-results
mkdir -p "$results"
build_folder=$(mktemp)
remove_at_exit "$build_folder"
# A preset's report is of this run or of none: an earlier run's is removed
# before the preset is built, and one that its run did not finish writing,
# when it is stopped.
unfinished_report=''
# shellcheck disable=SC2016 # (expanded when the script ends)
at_exit 'rm -f "$unfinished_report"'
failed=() runs=()
# A device's run is reported apart from the preset's own.
on_device=()
[ ${#device[@]} -eq 0 ] || on_device=(--device)
run_name() { echo "$1${device[*]:+-device}"; }
# shellcheck disable=SC2034 # (unfinished_report is read by the clean-up at exit)
for preset in "${presets[@]}"; do
    echo "=== preset $preset"
    run=$(run_name "$preset")
    runs+=("$run")
    rm -f "$results/$run.xml" "$results/$run.description"
    # Each preset's packages are installed on their own, so that one that
    # cannot be installed fails its preset alone; a cache that cannot be
    # trusted (status 2) stops the run.
    status=0
    scripts/setup "$preset" || status=$?
    [ $status -ne 2 ] || exit 2
    if [ $status -eq 0 ] &&
        hold_root "$preset" &&
        hold_build_folder "$(preset_fact "$preset" binaryDir)${device[*]:+-device}" &&
        run_child scripts/build-preset "${on_device[@]}" "$preset" >"$build_folder" &&
        build=$(cat "$build_folder") &&
        { [ ${#device[@]} -eq 0 ] || device_send "$build"; } &&
        echo "=== preset $preset checks${device[*]:+, on $device_name ($device_kernel)}:" &&
        scripts/describe-build "$build" &&
        { scripts/describe-build "$build" --fields &&
            if [ ${#device[@]} -gt 0 ]; then echo "device=$device_name, $device_kernel"; fi; } >"$results/$run.description" &&
        unfinished_report=$results/$run.xml &&
        run_tests "$run" "$build"; then
        unfinished_report=
        release_build_folder
        continue
    fi
    unfinished_report=
    release_build_folder
    failed+=("$run")
done

echo "=== what was checked"
scripts/test-summary "$results" --failed "${failed[*]}" "${runs[@]}" || echo "test.sh: the table could not be made" >&2
if [ ${#failed[@]} -gt 0 ]; then
    echo "=== FAILED in preset(s): ${failed[*]} (passed: $((${#presets[@]} - ${#failed[@]})) of ${#presets[@]})"
    exit 1
fi
echo "=== the test suite passed in ${#presets[@]} preset(s): ${presets[*]}"
echo "=== JUnit XML reports: $results/"
