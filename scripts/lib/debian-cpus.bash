# shellcheck shell=bash
# Sourced by the scripts that need another name of a Debian CPU: one table
# for all of them, cmake/debian-cpus.txt.
#
# qemu_cpu ARCH        qemu-user's name for ARCH's CPU (aarch64 for arm64),
#                      also that of its qemu-system (qemu-system-aarch64)
# native_machines ARCH what uname -m says on the machines that run ARCH's
#                      programs natively, space-separated
# board_machine ARCH   qemu-system's -machine, -cpu and console for ARCH's
#                      board, space-separated
# kernel_flavour ARCH  FLAVOUR of the board's kernel package linux-image-FLAVOUR
# All fail, saying nothing, for a CPU not in the table; the board's two for
# a CPU that has no board.
_debian_cpus=$(dirname "${BASH_SOURCE[0]}")/../../cmake/debian-cpus.txt
# _cpu_columns ARCH FIRST LAST: columns FIRST to LAST (0: to the end) of ARCH's row.
_cpu_columns() {
    awk -v arch="$1" -v first="$2" -v last="$3" '$1 == arch && !/^#/ {
        if (last == 0) last = NF
        line = $first
        for (i = first + 1; i <= last; i++) line = line " " $i
        if (line ~ /(^| )-( |$)/) exit
        print line; found = 1
    } END { exit !found }' "$_debian_cpus"
}
qemu_cpu() { _cpu_columns "$1" 2 2; }
board_machine() { _cpu_columns "$1" 3 5; }
kernel_flavour() { _cpu_columns "$1" 6 6; }
native_machines() { _cpu_columns "$1" 7 0; }
