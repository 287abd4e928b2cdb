#!/usr/bin/env bash
# test.sh [PRESET... | all]
#
# Sets everything up, then builds and runs the whole test suite in each CMake
# preset given (qt5 when none is; all: every configure preset there is, your
# own in CMakeUserPresets.json included). Each preset's run starts by saying
# what it checks (toolkit, compiler, CPU) and leaves a JUnit XML report in
# build/test-results/PRESET.xml. CMAKE_PREFIX_PATH, Qt5_DIR or Qt6_DIR in the
# environment name a toolkit of your own to check; QT_QMAKE_EXECUTABLE, the
# qmake of a Qt 4 of your own.
set -euo pipefail
cd "$(dirname "$0")"

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(qt5)
if [ "${presets[*]}" = all ]; then
    # Listing the presets takes CMake, which a fresh machine may not have yet.
    scripts/setup
    mapfile -t presets < <(cmake --list-presets=configure | sed -n 's/^  "\([^"]*\)".*/\1/p')
    if [ ${#presets[@]} -eq 0 ]; then
        echo "test.sh: found no presets in CMakePresets.json" >&2
        exit 1
    fi
fi

# run_tests PRESET BUILD: runs the tests of PRESET, built in BUILD, with its
# test preset, or, for a preset of the user's own that is a configure preset
# alone, as the other test presets do.
run_tests() {
    local junit=(--parallel "$(nproc)" --output-junit "$results/$1.xml")
    if cmake --list-presets=test | grep -F "  \"$1\"" >/dev/null; then
        ctest --preset "$1" "${junit[@]}"
    else
        ctest --test-dir "$2" --output-on-failure --no-tests=error "${junit[@]}"
    fi
}

results=$PWD/build/test-results
mkdir -p "$results"
failed=()
for preset in "${presets[@]}"; do
    echo "=== preset $preset"
    # Each preset's packages are installed on their own, so that one that
    # cannot be installed fails its preset alone.
    if scripts/setup "$preset" &&
        build=$(scripts/build-preset "$preset") &&
        echo "=== preset $preset checks:" && scripts/describe-build "$build" &&
        run_tests "$preset" "$build"; then
        continue
    fi
    failed+=("$preset")
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "=== FAILED in preset(s): ${failed[*]} (passed: $((${#presets[@]} - ${#failed[@]})) of ${#presets[@]})"
    exit 1
fi
echo "=== the test suite passed in ${#presets[@]} preset(s): ${presets[*]}"
echo "=== JUnit XML reports: $results/"
