# shellcheck shell=bash
# Sourced by the bash scripts that need another name of a Debian CPU: one
# table for all of them, cmake/debian-cpus.txt, read by
# list_exercises.releases (as the Python commands read it).
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
_debian_cpus_scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# _cpu_field ARCH FIELD: that fact of ARCH's row.
_cpu_field() {
    PYTHONPATH=$_debian_cpus_scripts${PYTHONPATH:+:$PYTHONPATH} python3 -m list_exercises.releases cpu "$1" "$2"
}
qemu_cpu() { _cpu_field "$1" qemu; }
board_machine() { _cpu_field "$1" board; }
kernel_flavour() { _cpu_field "$1" kernel; }
native_machines() { _cpu_field "$1" native; }
