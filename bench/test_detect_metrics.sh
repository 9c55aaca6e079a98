#!/usr/bin/env bash
# detect_metrics on tiny hand-made files whose figures are known in advance: the damage truth
# (what was drawn, luma and chroma differences against the threshold), the true graymaps of a fade, the
# matching of found ranges, and the coverage of a mask.
#
# Usage: bench/test_detect_metrics.sh DETECT_METRICS
# Status 0 when every figure is the expected one, 1 otherwise.
set -euo pipefail
export LC_ALL=C

metrics=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

expect() {
  local what=$1 want=$2 got=$3
  if [ "$want" != "$got" ]; then
    echo "test_detect_metrics: $what: expected '$want', got '$got'" >&2
    failures=$((failures + 1))
  fi
}

# Bytes from a list of decimal values.
bytes() { local v; for v in "$@"; do printf "\\$(printf %03o "$v")"; done; }
hexdump_of() { od -An -tu1 -v "$1" | tr -s ' \n' ' ' | sed 's/^ //; s/ $//'; }

# Damage, 4x2 pixels, yuv420p: luma 8 samples, then 2 U and 2 V (one per 2x2 block), 2 frames.
# Frame 0: pixel 0 luma +5 (damaged), pixel 1 luma +2 (not: at the threshold), the right block's
# V +3 (its 4 pixels damaged), pixel 4 drawn 3 with no difference (damaged: another picture would
# change), pixel 5 drawn 2 (not). Frame 1: identical pictures, nothing drawn: nothing.
{ bytes 100 100 100 100 100 100 100 100 128 128 128 128; bytes 100 100 100 100 100 100 100 100 128 128 128 128; } > "$work/clean.yuv"
{ bytes 105 102 100 100 100 100 100 100 128 128 128 131; bytes 100 100 100 100 100 100 100 100 128 128 128 128; } > "$work/burnt.yuv"
{ bytes 0 0 0 0 3 2 0 0; bytes 0 0 0 0 0 0 0 0; } > "$work/drawn.gray"
summary=$("$metrics" damage 4 2 "$work/clean.yuv" "$work/burnt.yuv" "$work/drawn.gray" "$work/damage.gray")
expect "damage summary" "damage frames=2 damaged_frames=1 damaged=6 from_difference=5" "$summary"
expect "damage planes" "255 0 255 255 255 0 255 255 0 0 0 0 0 0 0 0" "$(hexdump_of "$work/damage.gray")"
summary=$("$metrics" damage 4 2 "$work/clean.yuv" "$work/burnt.yuv" "$work/drawn.gray" - 1 2>&1 > "$work/damage1.gray")
expect "damage at threshold 1" "damage frames=2 damaged_frames=1 damaged=8 from_difference=6" "$summary"
expect "damage planes at threshold 1" "255 255 255 255 255 255 255 255 0 0 0 0 0 0 0 0" "$(hexdump_of "$work/damage1.gray")"

# Truth, 6x5 pixels, 3 frames, one entry over frames 1-2 fading in: the glyph pixel (2,2) is
# faint (100) on frame 1 and full (200) on frame 2; (4,1) is full on frame 1 only; frame 0's
# pixel outside the entry is left out. The graymap is both pixels with a 2-pixel border, clipped
# to the picture: x 0..5, y 0..4.
frame() { local i v=(); for ((i = 0; i < 30; ++i)); do v+=(0); done; for i in "$@"; do v[${i%=*}]=${i#*=}; done; bytes "${v[@]}"; }
mkdir -p "$work/true"
{ frame 0=255; frame 14=100 10=255; frame 14=200; } > "$work/fill.gray"
printf '1\n1,1,2,0,0\n' > "$work/true/subs.bms"
"$metrics" truth 6 5 "$work/fill.gray" "$work/true/subs.bms"
expect "true index" "1 1,1,2,0,0" "$(tr '\n' ' ' < "$work/true/subs.bms" | sed 's/ $//')"
expect "true graymap header" "P5 6 5 255" "$(head -3 "$work/true/image_0.pgm" | tr '\n' ' ' | sed 's/ $//')"
expect "true graymap" "0 0 0 0 0 0 0 0 0 0 255 0 0 0 255 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0" \
  "$(tail -c 30 "$work/true/image_0.pgm" > "$work/g.raw"; hexdump_of "$work/g.raw")"
# A fill shorter than the entries is an error, not a blank graymap.
printf '1\n1,1,5,0,0\n' > "$work/true/subs.bms"
if "$metrics" truth 6 5 "$work/fill.gray" "$work/true/subs.bms" 2> /dev/null; then
  expect "truth over a short fill" "status 1" "status 0"
fi

# Ranges: three true subtitles; found: one exact, one 2 frames late at its start, one missed,
# and one false entry.
printf '3\n1,10,20,0,0\n2,30,40,0,0\n3,50,60,0,0\n' > "$work/t.bms"
printf '3\n1,10,20,0,0\n2,32,40,0,0\n3,70,75,0,0\n' > "$work/f.bms"
expect "ranges" "ranges subtitles=3 found=3 matched=2 exact=1 within2=2 false=1 false_frames=6" \
  "$("$metrics" ranges "$work/t.bms" "$work/f.bms" | tail -1)"

# Coverage, 4x1 pixels, 2 frames: three damaged pixels, two under red (82), one under the yellow
# ring (210); one more red pixel undamaged; the second frame has no damage and its red is not area.
bytes 255 255 255 0 0 0 0 0 > "$work/d.gray"
bytes 82 82 210 82 82 82 82 82 > "$work/m.gray"
expect "coverage" "coverage=0.6667 area=1.00 damaged=3" "$("$metrics" coverage 4 1 "$work/d.gray" "$work/m.gray")"

[ $failures = 0 ] || exit 1
echo "test_detect_metrics: all figures as expected"
