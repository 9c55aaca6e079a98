#!/usr/bin/env bash
# Runs the frame cases through the Linux module and through a Windows module under Wine (wine64
# for the x86_64 module, 32-bit Wine for the i686 one; on a virtual X display: the boxes are real
# windows), then compares what both wrote, byte for byte. Exits 77 (skipped) with one line saying
# why when that Wine or Xvfb is missing, when 32-bit programs cannot run here, or when the Linux
# build to compare with has not been configured, or was configured without tests.
#
# Usage: run_frames_wine.sh <win32|win64> <Linux build dir> <frame_host.exe> <module.vdf> <work dir>
# The Linux half comes from the Linux build of the same source tree; its two targets are brought
# up to date first, so the comparison never uses a stale Linux module.
set -uo pipefail
arch=$1
linux_build=$2
host=$3
module=$4
work=$5
source "$(dirname "$0")/wine_select.sh"
if ! sr_select_wine "$arch"; then
  echo "SKIPPED: $skip_reason"
  exit 77
fi
if ! sr_have_xvfb; then
  echo "SKIPPED: the frame comparison needs Xvfb (xvfb-run, xauth), which is not all installed"
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
trap 'WINEPREFIX=$prefix "$wineserver" -k >/dev/null 2>&1; rm -rf "$prefix"' EXIT
export WINEPREFIX=$prefix
# 27f: the x87 control word of every new Windows thread, so of the host's threads (53-bit
# precision, which MinGW's pow inside the module computes with).
xvfb-run -a -s "-screen 0 1024x768x24" "$wine" "$host" "$(winpath "$module")" "$(winpath "$work/input")" \
  "$(winpath "$work/windows")" 27f 2> >(grep -v 'FS volume label and serial are not available' >&2) | tr -d '\r'
[ "${PIPESTATUS[0]}" = 0 ] || { echo "FAIL: the Windows run reported failures"; exit 1; }

"$runner" compare "$work/linux" "$work/windows"
