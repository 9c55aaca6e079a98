#!/usr/bin/env bash
# Guards the Windows module's binary contract: exactly the two undecorated entry points are
# exported, and only Windows system DLLs are imported (no MinGW runtime DLL to ship).
set -euo pipefail
objdump=$1
module=$2
dump=$("$objdump" -p "$module")

exports=$(echo "$dump" | awk '/Ordinal\/Name Pointer/ {t=1; next} t && /^[ \t]*\[/ {print $NF; next} t {t=0}' | sort)
expected=$(printf 'VirtualdubFilterModuleDeinit\nVirtualdubFilterModuleInit2\n')
if [ "$exports" != "$expected" ]; then
  echo "FAIL exports of $module:"; echo "$exports"; exit 1
fi
echo "exports: $(echo $exports)"

imports=$(echo "$dump" | awk '/DLL Name:/ {print tolower($3)}' | sort -u)
echo "imports: $(echo $imports)"
[ -n "$imports" ] || { echo "FAIL no import table found"; exit 1; }
system='^(kernel32|user32|comdlg32|comctl32|gdi32|advapi32|msvcrt|shell32|ole32|api-ms-win-[a-z0-9-]+)\.dll$'
bad=$(echo "$imports" | grep -Ev "$system" || true)
if [ -n "$bad" ]; then
  echo "FAIL non-system imports: $bad"; exit 1
fi
echo "windows module tables OK"
