#!/usr/bin/env bash
# Runs the real configuration dialog of the x86_64 module under wine64 on a virtual X display,
# and turns the host's screenshot into a PNG. Exits 77 (skipped) when wine64 or Xvfb is missing.
set -uo pipefail
host=$1
module=$2
out=$3
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || true)
if [ -z "$wine" ] || [ ! -x "$wine" ] || ! command -v Xvfb >/dev/null || ! command -v xvfb-run >/dev/null ||
   ! command -v xauth >/dev/null; then
  echo "SKIPPED: the real dialog needs wine64 and Xvfb (xvfb-run, xauth), which are not all installed"
  exit 77
fi
mkdir -p "$out"
prefix=$(mktemp -d)
server=$(dirname "$wine")/wineserver
[ -x "$server" ] || server=wineserver
trap 'WINEPREFIX=$prefix "$server" -k >/dev/null 2>&1; rm -rf "$prefix"' EXIT
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
rm -f "$out/dialog.bmp" "$out/dialog.png"
# No window manager runs on the virtual display: let Wine draw the caption itself, so that the
# picture shows the title bar.
xvfb-run -a "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
xvfb-run -a "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
xvfb-run -a -s "-screen 0 1024x768x24" "$wine" "$host" "$module" "$out/dialog.bmp"
status=$?
if [ -f "$out/dialog.bmp" ] && command -v convert >/dev/null; then
  convert "$out/dialog.bmp" "$out/dialog.png" && echo "screenshot: $out/dialog.png"
fi
exit $status
