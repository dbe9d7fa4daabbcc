#!/usr/bin/env bash
# The executable must run on a bare Windows: no MinGW runtime DLL among its imports.
set -euo pipefail
exe=$1
imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
echo "$imports"
[ -n "$imports" ] || { echo "no imports read from $exe"; exit 1; }
if grep -Eiq 'libstdc\+\+|libgcc|libwinpthread|mingw' <<<"$imports"; then
    echo "MinGW runtime DLL imported by $exe"
    exit 1
fi
