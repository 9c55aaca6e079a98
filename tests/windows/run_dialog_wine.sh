#!/usr/bin/env bash
# Runs the real configuration dialog of a Windows module under Wine (wine64 for the x86_64 module,
# 32-bit Wine for the i686 one) on a virtual X display, turns the host's screenshot into a PNG,
# and compares the value labels the dialog showed at every slider position with the labels of the
# Linux module's dialog. Exits 77 (skipped) with one line saying why when that Wine or Xvfb is
# missing, when 32-bit programs cannot run here, or when there is no Linux build to compare with.
#
# Usage: run_dialog_wine.sh <win32|win64> <Linux build dir> <dialog_host.exe> <module.vdf> <out dir>
set -uo pipefail
arch=$1
linux_build=$2
host=$3
module=$4
out=$5
source "$(dirname "$0")/wine_select.sh"
if ! sr_select_wine "$arch"; then
  echo "SKIPPED: $skip_reason"
  exit 77
fi
if ! sr_have_xvfb; then
  echo "SKIPPED: the real dialog needs Xvfb (xvfb-run, xauth), which is not all installed"
  exit 77
fi
if [ ! -f "$linux_build/build.ninja" ] && [ ! -f "$linux_build/Makefile" ] ||
   grep -qi '^SR_BUILD_TESTS:BOOL=\(OFF\|0\|NO\|FALSE\)$' "$linux_build/CMakeCache.txt" 2>/dev/null; then
  echo "SKIPPED: no Linux build with tests in $linux_build whose dialog labels to compare with (cmake --preset default)"
  exit 77
fi
cmake --build "$linux_build" --target frames_linux subtitle_removal -j2 >/dev/null || {
  echo "FAIL: the Linux half does not build in $linux_build"; exit 1; }
mkdir -p "$out"
prefix=$(mktemp -d)
trap 'WINEPREFIX=$prefix "$wineserver" -k >/dev/null 2>&1; rm -rf "$prefix"' EXIT
export WINEPREFIX=$prefix
rm -f "$out/dialog.bmp" "$out/dialog.png" "$out/labels.txt" "$out/labels_linux.txt"
# No window manager runs on the virtual display: let Wine draw the caption itself, so that the
# picture shows the title bar.
xvfb-run -a "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
xvfb-run -a "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
xvfb-run -a -s "-screen 0 1024x768x24" "$wine" "$host" "$module" "$out/dialog.bmp" "$out/labels.txt" |
  tr -d '\r'
status=${PIPESTATUS[0]}
if [ -f "$out/dialog.bmp" ] && command -v convert >/dev/null; then
  convert "$out/dialog.bmp" "$out/dialog.png" && echo "screenshot: $out/dialog.png"
fi
[ "$status" = 0 ] || exit 1

# The labels of the same slider positions in the Linux module's dialog. Guards labels (the aspect
# scales, the decimal scaling) that this module's pow computes otherwise than the Linux build's.
"$linux_build/tests/frames_linux" labels "$linux_build/subtitle_removal.so" "$out/labels_linux.txt" || exit 1
tr -d '\r' <"$out/labels.txt" >"$out/labels_windows.txt"
if ! diff "$out/labels_linux.txt" "$out/labels_windows.txt" >"$out/labels.diff"; then
  echo "FAIL: value labels differ from the Linux module's (< Linux, > Windows):"
  head -40 "$out/labels.diff"
  exit 1
fi
echo "PASS: $(wc -l <"$out/labels_linux.txt") slider positions show the Linux module's labels"
