#!/usr/bin/env bash
# test.sh [PRESET... | all]
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
set -euo pipefail
cd "$(dirname "$0")"
# (A signal stops the build or ctest running, and ends this with 130 or 143.)
# shellcheck source=scripts/lib/supervise.bash
. scripts/lib/supervise.bash

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(qt5)
# Reading the presets takes CMake, which a fresh machine may not have yet.
scripts/setup
[ "${presets[*]}" != all ] || presets=()
# What each preset needs, read once for the run: every name is checked
# before anything is built.
export LISTS_PRESET_FACTS=$PWD/build/preset-facts.$$
mkdir -p build
remove_at_exit "$LISTS_PRESET_FACTS"
scripts/presets --facts "${presets[@]}" >"$LISTS_PRESET_FACTS" || exit 2
[ ${#presets[@]} -gt 0 ] || mapfile -t presets < <(awk '$2 == "name" { print $1 }' "$LISTS_PRESET_FACTS")

# run_tests PRESET BUILD: runs the tests of PRESET, built in BUILD, with its
# test preset, or, for a preset of the user's own that is a configure preset
# alone, as the other test presets do.
run_tests() {
    local junit=(--parallel "$(nproc)" --output-junit "$results/$1.xml")
    if cmake --list-presets=test | grep -F "  \"$1\"" >/dev/null; then
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
failed=()
# shellcheck disable=SC2034 # (unfinished_report is read by the clean-up at exit)
for preset in "${presets[@]}"; do
    echo "=== preset $preset"
    rm -f "$results/$preset.xml" "$results/$preset.description"
    # Each preset's packages are installed on their own, so that one that
    # cannot be installed fails its preset alone.
    if scripts/setup "$preset" &&
        run_child scripts/build-preset "$preset" >"$build_folder" &&
        build=$(cat "$build_folder") &&
        echo "=== preset $preset checks:" && scripts/describe-build "$build" &&
        scripts/describe-build "$build" --fields >"$results/$preset.description" &&
        unfinished_report=$results/$preset.xml &&
        run_tests "$preset" "$build"; then
        unfinished_report=
        continue
    fi
    unfinished_report=
    failed+=("$preset")
done

echo "=== what was checked"
scripts/test-summary "$results" --failed "${failed[*]}" "${presets[@]}" || echo "test.sh: the table could not be made" >&2
if [ ${#failed[@]} -gt 0 ]; then
    echo "=== FAILED in preset(s): ${failed[*]} (passed: $((${#presets[@]} - ${#failed[@]})) of ${#presets[@]})"
    exit 1
fi
echo "=== the test suite passed in ${#presets[@]} preset(s): ${presets[*]}"
echo "=== JUnit XML reports: $results/"
