# shellcheck shell=bash
# Sourced first by the build machine's shell commands: asked -h or --help
# (the first word), the command prints its usage, the comment it opens
# with, and ends with 0.
if [ "${1-}" = -h ] || [ "${1-}" = --help ]; then
    sed -n '2,/^[^#]/{/^#/{s/^# \{0,1\}//;p;};}' "$0"
    exit 0
fi
