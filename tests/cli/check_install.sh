#!/usr/bin/env bash
# Guards against an installed subremove that cannot find its module or the window layer:
# installs the build tree into a scratch prefix and runs the installed program there.
set -euo pipefail
build=$1
ffmpeg=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
test -x "$prefix/bin/subremove"
test -f "$prefix/lib/subtitle-removal/subtitle_removal.so"
test -f "$prefix/lib/subtitle-removal/libvdwin32.so"
mkdir "$prefix/in" "$prefix/out"
"$ffmpeg" -v error -f lavfi -i testsrc=size=32x24:rate=5 -frames:v 2 "$prefix/in/%03d.png"
# From another folder, so nothing but the installed layout can lead it to the module.
cd /
"$prefix/bin/subremove" -q --mode original "$prefix/in/%03d.png" "$prefix/out/%03d.png"
cmp "$prefix/in/001.png" "$prefix/out/001.png"
echo "installed subremove runs with its module"
