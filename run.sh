#!/usr/bin/env bash
# run.sh [PRESET]
#
# Sets everything up, builds the seven programs with a CMake preset (qt5 when
# none is given), says what the build checks (toolkit, compiler, CPU) and
# runs each program once, showing what it wrote and how it ended, against
# its reference outcome. CMAKE_PREFIX_PATH, Qt5_DIR or Qt6_DIR in the
# environment name a toolkit of your own to check; QT_QMAKE_EXECUTABLE, the
# qmake of a Qt 4 of your own.
set -euo pipefail
# shellcheck source=scripts/lib/usage.bash
. "$(dirname "$0")/scripts/lib/usage.bash"
cd "$(dirname "$0")"
# shellcheck source=scripts/lib/supervise.bash
. scripts/lib/supervise.bash
# shellcheck source=scripts/lib/holds.bash
. scripts/lib/holds.bash
preset=${1:-qt5}
export LISTS_PRESET_FACTS
LISTS_PRESET_FACTS=$(mktemp)
remove_at_exit "$LISTS_PRESET_FACTS"
scripts/setup
scripts/presets --facts -- "$preset" >"$LISTS_PRESET_FACTS"
scripts/setup "$preset"
# The preset's system root, where it has one, stays the run's until it ends.
hold_root "$preset"
hold_build_folder "$(preset_fact "$preset" binaryDir)"
build=$(scripts/build-preset --quiet "$preset")
scripts/describe-build "$build"
programs=$(scripts/describe-build "$build" programs)
mapfile -t runner < <(scripts/describe-build "$build" runner)

total=0 matching=0
for reference in */reference/run.ending; do
    program=${reference%%/*}
    echo
    total=$((total + 1))
    if device/check-outcome "$program/reference/run" "${runner[@]}" "$programs/$program"; then
        matching=$((matching + 1))
    fi
done
echo
echo "$matching of $total programs match their reference outcomes."
[ "$matching" -eq "$total" ]
