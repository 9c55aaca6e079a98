#!/usr/bin/env bash
# Runs one Windows test program of this build under Wine (wine64 for x86_64, 32-bit Wine for i686)
# in a prefix of its own in a temporary folder, and passes its exit status on. Exits 77 (skipped)
# with one line saying why when that Wine cannot run here.
#
# Usage: run_wine.sh <win32|win64> <program.exe> [arguments]
set -uo pipefail
arch=$1
shift
source "$(dirname "$0")/wine_select.sh"
if ! sr_select_wine "$arch"; then
  echo "SKIPPED: $skip_reason"
  exit 77
fi
prefix=$(mktemp -d)
trap 'WINEPREFIX=$prefix "$wineserver" -k >/dev/null 2>&1; rm -rf "$prefix"' EXIT
export WINEPREFIX=$prefix
"$wine" "$@" | tr -d '\r'
exit "${PIPESTATUS[0]}"
