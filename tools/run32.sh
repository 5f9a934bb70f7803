#!/usr/bin/env bash
# Runs a 32-bit x86 host program (the unit tests and benchmarks are built
# -m32, as the kernel is): directly where the running kernel executes 32-bit
# programs, and under QEMU's user-mode emulator where it does not (a kernel
# built without IA-32 emulation, or with it off, as ia32_emulation=off).
#
#   tools/run32.sh PROGRAM [ARGUMENT...]
set -euo pipefail

# The 32-bit dynamic loader is itself a 32-bit program: whether it starts
# tells whether this kernel runs them.
if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    exec "$@"
fi
command -v qemu-i386 >/dev/null 2>&1 ||
    { echo "${0##*/}: this kernel runs no 32-bit programs and qemu-i386 is missing (tools/install-deps.sh installs it)" >&2; exit 1; }
exec qemu-i386 "$@"
