#!/usr/bin/env bash
# test.sh [PRESET... | all]
#
# Sets everything up, then builds and runs the whole test suite in each CMake
# preset given (qt5 when none is; all: every preset in CMakePresets.json).
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
scripts/setup "${presets[@]}"

failed=()
for preset in "${presets[@]}"; do
    echo "=== preset $preset"
    if cmake --preset "$preset" &&
        cmake --build --preset "$preset" --parallel "$(nproc)" &&
        ctest --preset "$preset" --parallel "$(nproc)"; then
        continue
    fi
    failed+=("$preset")
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "=== FAILED in preset(s): ${failed[*]} (passed: $((${#presets[@]} - ${#failed[@]})) of ${#presets[@]})"
    exit 1
fi
echo "=== the test suite passed in ${#presets[@]} preset(s): ${presets[*]}"
