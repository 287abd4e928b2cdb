#!/usr/bin/env bash
# Sets everything up, builds the seven programs and runs each once, showing
# what it wrote and how it ended, against its reference outcome.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup qt5
cmake --preset qt5 >/dev/null
cmake --build --preset qt5 --parallel "$(nproc)" >/dev/null

total=0 matching=0
for reference in */reference/run.ending; do
    program=${reference%%/*}
    echo
    total=$((total + 1))
    if tests/check-outcome "build/qt5/$program" "$program/reference/run"; then
        matching=$((matching + 1))
    fi
done
echo
echo "$matching of $total programs match their reference outcomes."
[ "$matching" -eq "$total" ]
