#!/usr/bin/env bash
# run.sh [PRESET]
#
# Sets everything up, builds the seven programs with a CMake preset (qt5 when
# none is given) and runs each program once against its reference outcome.
# The work is scripts/list_exercises/runs.py's (run.sh --help says more);
# this makes sure that Python 3 is there first.
set -euo pipefail
# shellcheck source=scripts/lib/python3.bash
. "$(dirname "$0")/scripts/lib/python3.bash"
cd "$(dirname "$0")/scripts"
exec python3 -m list_exercises.runs run.sh "$@"
