#!/usr/bin/env bash
# Whether a 32-bit Wine really runs i686 Windows programs: builds a tiny console program with
# MinGW and runs it under that Wine in a fresh prefix (WINEARCH=win32). Prints "ok", or one line
# saying why not, which the i686 module's Wine tests give as their reason for skipping. Exits 0
# when it ran, 1 when it did not.
#
# A Wine can start and still not run anything: a prefix that wineboot never set up, a missing
# builtin DLL, a loader that cannot find its data all end in a crash or "could not load
# kernel32.dll" at the first program. Costs one compile and one prefix (5 to 30 s).
#
# Usage: check_wine32.sh [--record DIR] LOADER [work dir]   (default: a temporary folder, removed
# afterwards). --record writes LOADER to DIR/loader and the line to DIR/check, where the i686 Wine
# tests look for them (tests/windows/wine_select.sh).
set -uo pipefail
record=""
if [ "${1:-}" = --record ]; then
  record=$2
  shift 2
fi
loader=${1:?usage: check_wine32.sh [--record DIR] LOADER [work dir]}
work=${2:-}
if [ -z "$work" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"
say() {
  if [ -n "$record" ]; then
    mkdir -p "$record"
    printf '%s\n' "$loader" >"$record/loader"
    printf '%s\n' "$1" >"$record/check"
  fi
  echo "$1"
}
fail() {
  say "32-bit Wine failed its check ($loader): $*"
  exit 1
}

[ -x "$loader" ] || fail "no such program"
cc=$(command -v i686-w64-mingw32-gcc || true)
[ -n "$cc" ] || fail "no MinGW i686 compiler (g++-mingw-w64-i686) to build the check with"
printf '#include <stdio.h>\nint main(void) { puts("i686 under Wine"); return sizeof(void *) == 4 ? 0 : 3; }\n' \
  >"$work/hello.c"
"$cc" -O1 -o "$work/hello.exe" "$work/hello.c" >"$work/cc.log" 2>&1 || fail "MinGW could not build the check program"

export WINEPREFIX=$work/prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
# In a subshell of its own, whose complaint about a crash ("Segmentation fault") is not ours to print.
(timeout 300 "$loader" "$work/hello.exe" >"$work/out.log" 2>"$work/err.log"; exit $?) 2>/dev/null
status=$?
# The machine's wineserver serves the prefix; stop it so that nothing outlives the check.
wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo wineserver)
"$wineserver" -k >/dev/null 2>&1

output=$(tr -d '\r' <"$work/out.log")
if [ "$status" = 0 ] && [ "$output" = "i686 under Wine" ]; then
  say ok
  exit 0
fi
last=$(grep -v '^[[:space:]]*$' "$work/err.log" | tail -1 | cut -c1-160)
case $status in
  124) fail "an i686 program did not finish within 300 s" ;;
  0) fail "an i686 program printed '${output:0:80}' instead of its greeting" ;;
  *)
    what="exit status $status"
    [ "$status" -gt 128 ] && what="signal $((status - 128)) ($(kill -l $((status - 128)) 2>/dev/null || echo ?))"
    fail "an i686 program ended with $what${last:+: $last}"
    ;;
esac
