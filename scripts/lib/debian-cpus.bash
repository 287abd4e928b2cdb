# shellcheck shell=bash
# Sourced by the scripts that need another name of a Debian CPU: one table
# for all of them, cmake/debian-cpus.txt.
#
# qemu_cpu ARCH        qemu-user's name for ARCH's CPU (aarch64 for arm64)
# native_machines ARCH what uname -m says on the machines that run ARCH's
#                      programs natively, space-separated
# Both fail, saying nothing, for a CPU not in the table.
_debian_cpus=$(dirname "${BASH_SOURCE[0]}")/../../cmake/debian-cpus.txt
qemu_cpu() { awk -v arch="$1" '$1 == arch { print $2; found = 1 } END { exit !found }' "$_debian_cpus"; }
native_machines() {
    awk -v arch="$1" '$1 == arch { $1 = $2 = ""; sub(/^ +/, ""); print; found = 1 } END { exit !found }' "$_debian_cpus"
}
