#!/usr/bin/env bash
# test.sh [PRESET... | all]
# test.sh PRESET --device DESTINATION [SSH_OPTION...]
#
# Sets everything up, then builds and runs the whole test suite in each CMake
# preset given (qt5 when none is). The work is scripts/list_exercises/runs.py's
# (test.sh --help says more); this makes sure that Python 3 is there first.
set -euo pipefail
# shellcheck source=scripts/lib/python3.bash
. "$(dirname "$0")/scripts/lib/python3.bash"
cd "$(dirname "$0")/scripts"
exec python3 -m list_exercises.runs test.sh "$@"
