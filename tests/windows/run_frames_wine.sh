#!/usr/bin/env bash
# Runs the frame cases through the Linux module and through the x86_64 Windows module under
# wine64 (on a virtual X display: the boxes are real windows), then compares what both wrote,
# byte for byte. Exits 77 (skipped) when wine64 or Xvfb is missing, or when the Linux build to
# compare with has not been configured, or was configured without tests.
#
# Usage: run_frames_wine.sh <Linux build dir> <frame_host.exe> <module.vdf> <work dir>
# The Linux half comes from the Linux build of the same source tree; its two targets are brought
# up to date first, so the comparison never uses a stale Linux module.
set -uo pipefail
linux_build=$1
host=$2
module=$3
work=$4
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || true)
if [ -z "$wine" ] || [ ! -x "$wine" ] || ! command -v Xvfb >/dev/null || ! command -v xvfb-run >/dev/null ||
   ! command -v xauth >/dev/null; then
  echo "SKIPPED: the frame comparison needs wine64 and Xvfb (xvfb-run, xauth), which are not all installed"
  exit 77
fi
if [ ! -f "$linux_build/build.ninja" ] && [ ! -f "$linux_build/Makefile" ]; then
  echo "SKIPPED: no Linux build configured in $linux_build to compare with (configure one: cmake --preset default, or set SR_LINUX_BUILD_DIR)"
  exit 77
fi
if grep -qi '^SR_BUILD_TESTS:BOOL=\(OFF\|0\|NO\|FALSE\)$' "$linux_build/CMakeCache.txt" 2>/dev/null; then
  echo "SKIPPED: the Linux build in $linux_build has no tests (SR_BUILD_TESTS=OFF), so no frames_linux to compare with"
  exit 77
fi
cmake --build "$linux_build" --target frames_linux subtitle_removal -j2 >/dev/null || {
  echo "FAIL: the Linux half does not build in $linux_build"; exit 1; }
runner=$linux_build/tests/frames_linux
linux_module=$(ls "$linux_build"/subtitle_removal.so 2>/dev/null || true)
[ -x "$runner" ] && [ -n "$linux_module" ] || { echo "FAIL: frames_linux or the Linux module not found"; exit 1; }

rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
winpath() { printf 'Z:%s' "${1//\//\\}"; }

"$runner" generate "$work/input" || { echo "FAIL: cannot write the inputs"; exit 1; }
"$runner" run "$linux_module" "$work/input" "$work/linux" || exit 1

prefix=$(mktemp -d)
server=$(dirname "$wine")/wineserver
[ -x "$server" ] || server=wineserver
trap 'WINEPREFIX=$prefix "$server" -k >/dev/null 2>&1; rm -rf "$prefix"' EXIT
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
# 27f: the x87 control word of every new Windows thread, so of the host's threads (53-bit
# precision, which MinGW's pow inside the module computes with).
xvfb-run -a -s "-screen 0 1024x768x24" "$wine" "$host" "$(winpath "$module")" "$(winpath "$work/input")" \
  "$(winpath "$work/windows")" 27f 2> >(grep -v 'FS volume label and serial are not available' >&2) | tr -d '\r'
[ "${PIPESTATUS[0]}" = 0 ] || { echo "FAIL: the Windows run reported failures"; exit 1; }

"$runner" compare "$work/linux" "$work/windows"
