#!/usr/bin/env bash
# Whether this machine runs 32-bit x86 programs: builds a tiny -m32 program and runs it. Prints
# one line saying what it found and exits 0 when 32-bit code runs, 1 when the kernel refuses it,
# 2 when no probe could be built.
#
# The probe is a C program against the 32-bit C library (gcc-multilib). Without that library a
# freestanding one is built instead, which needs only the compiler, so that the answer does not
# depend on what is installed: 32-bit execution is a property of the kernel (IA32 emulation), not
# of the packages. Costs one compile, well under a second.
#
# Usage: probe_i386.sh [work dir]   (default: a temporary folder, removed afterwards)
set -uo pipefail
work=${1:-}
if [ -z "$work" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"
cc=$(command -v cc || command -v gcc || true)
if [ -z "$cc" ]; then
  echo "no C compiler to build the 32-bit probe"
  exit 2
fi

printf 'int main(void) { return sizeof(void *) == 4 ? 0 : 3; }\n' >"$work/probe32.c"
# The freestanding probe: the program entry itself ends the process through the 32-bit system call.
printf 'void _start(void) {\n  __asm__ volatile("movl $1, %%eax\\n\\txorl %%ebx, %%ebx\\n\\tint $0x80");\n}\n' \
  >"$work/probe32_bare.c"
how="a -m32 program"
if ! "$cc" -m32 -O0 -o "$work/probe32" "$work/probe32.c" >/dev/null 2>&1; then
  how="a freestanding -m32 program (no 32-bit C library: gcc-multilib)"
  "$cc" -m32 -nostdlib -static -fno-pie -no-pie -o "$work/probe32" "$work/probe32_bare.c" >/dev/null 2>&1 || {
    echo "cannot build a 32-bit probe with $cc -m32"
    exit 2
  }
fi
error=$( ("$work/probe32") 2>&1)
status=$?
if [ "$status" = 0 ]; then
  echo "32-bit programs run here ($how ran)"
  exit 0
fi
# The shell reports a refused program as "...: cannot execute binary file: Exec format error".
reason=${error##*: }
[ -n "$reason" ] || reason="exit status $status"
[ "$reason" = "Exec format error" ] && reason="$reason: the kernel runs no 32-bit code"
echo "32-bit programs cannot run here: $how failed ($reason)"
exit 1
