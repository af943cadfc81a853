#!/usr/bin/env bash
# The DLLs that a PE image imports, one a line, as objdump -p names them:
#   pe-imports.sh OBJDUMP EXE
# The package step checks them against the Windows system DLLs; make bench reports them.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: pe-imports.sh OBJDUMP EXE" >&2; exit 2; }
"$1" -p "$2" | sed -n 's/^[[:space:]]*DLL Name: //p'
