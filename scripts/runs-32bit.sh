#!/usr/bin/env bash
# Exits 0 when this kernel runs 32-bit x86 programs, 1 when it does not (it
# answers "Exec format error"), 2 when it cannot be told (no assembler).
# The probe is a five-instruction static program built here, so that the
# answer needs no 32-bit library on the machine.
set -uo pipefail
command -v as >/dev/null && command -v ld >/dev/null || exit 2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf '.globl _start\n_start:\n  movl $1, %%eax\n  xorl %%ebx, %%ebx\n  int $0x80\n' >"$dir/exit0.s"
as --32 -o "$dir/exit0.o" "$dir/exit0.s" && ld -m elf_i386 -o "$dir/exit0" "$dir/exit0.o" || exit 2
"$dir/exit0" 2>/dev/null || exit 1
