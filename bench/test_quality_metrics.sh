#!/usr/bin/env bash
# quality_metrics on 64x64 grey films of five frames whose figures are known: the clean picture
# is 100 everywhere, a 10x10 square at (20,20) is damaged in frames 1-3, and each film changes it
# in a known way. Usage: bench/test_quality_metrics.sh PATH/TO/quality_metrics
set -euo pipefail
export LC_ALL=C
metrics=${1:?usage: test_quality_metrics.sh QUALITY_METRICS}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# A film from a geq expression of X, Y and N (the frame), losslessly.
film() {
  ffmpeg -nostdin -loglevel error -y -f lavfi -i "nullsrc=s=64x64:r=25,format=gray,geq=lum='$2'" \
    -frames:v "${3:-5}" -c:v ffv1 "$work/$1.mkv"
}
square='between(X,20,29)*between(Y,20,29)*between(N,1,3)'
film clean 100
film truth "if($square,255,0)"
film plus10 "if($square,110,100)"
film blinking "if($square,100+10*mod(N,2),100)"
film corner "if(eq(X,0)*eq(Y,0)*eq(N,0),0,100)"
film short 100 4

expect() {
  local what=$1 line=$2 pattern=$3
  if ! grep -q -- "$pattern" <<< "$line"; then
    echo "FAIL: $what: expected '$pattern' in: $line" >&2
    failures=$((failures + 1))
  fi
}

out=$("$metrics" --clean "$work/clean.mkv" --truth "$work/truth.mkv" \
  clean="$work/clean.mkv" plus10="$work/plus10.mkv" blinking="$work/blinking.mkv" corner="$work/corner.mkv")
line() { grep "name=$1 " <<< "$out"; }
# Guards the pooling over frames and the frame count of the subtitle.
expect "clean against itself" "$(line clean)" "subtitle_frames=3 damaged_pixels=300 psnr_damaged=inf psnr_box=inf flicker=0.0000 flicker_pairs=2"
# +10 on 300 damaged pixels: MSE 100, 28.13 dB; over the 26x26 box (the square grown by 8 on
# each side) MSE 100*100/676, 36.43 dB. Guards the margin and the PSNR formula.
expect "a uniform error" "$(line plus10)" "psnr_damaged=28.13 psnr_box=36.43 flicker=0.0000"
# Changing by 10 from frame to frame on 100 of the box's 676 pixels: flicker 1000/676 = 1.4793.
# Guards the difference of differences and the pairing of frames that share a box.
expect "a blinking fill" "$(line blinking)" "flicker=1.4793 flicker_pairs=2"
# Guards the count of pixels changed outside the damage and the boxes (frame 0 has no box).
expect "a change outside the box" "$(line corner)" "changed_outside_damage=1 changed_outside_box=1"

# Against the burnt film (plus10 here): blinking equals it in frames 1 and 3 only. Guards the
# comparison with the burnt film's same frame, not the one before.
out=$("$metrics" --clean "$work/clean.mkv" --truth "$work/truth.mkv" --burnt plus10 \
  plus10="$work/plus10.mkv" blinking="$work/blinking.mkv" clean="$work/clean.mkv")
expect "the burnt film itself" "$(line plus10)" "damaged_untouched=300"
expect "a fill equal to the burnt film in two frames" "$(line blinking)" "damaged_untouched=200"
expect "a fill that touched every damaged pixel" "$(line clean)" "damaged_untouched=0"

# The index check: a 10x10 graymap at (20,20) for frames 1-3 agrees with the truth.
mkdir -p "$work/right" "$work/late" "$work/shifted"
printf 'P5\n10 10\n255\n' > "$work/right/image_0.pgm"
head -c 100 /dev/zero | tr '\0' '\377' >> "$work/right/image_0.pgm"
cp "$work/right/image_0.pgm" "$work/late/"; cp "$work/right/image_0.pgm" "$work/shifted/"
printf '1\n1,1,3,20,20\n' > "$work/right/clip.bms"
printf '1\n1,1,4,20,20\n' > "$work/late/clip.bms"
printf '1\n1,1,3,21,20\n' > "$work/shifted/clip.bms"
check() { "$metrics" --clean "$work/clean.mkv" --truth "$work/truth.mkv" --index "$work/$1/clip.bms" a="$work/clean.mkv" | grep 'index '; }
expect "a matching index" "$(check right)" "coverage_mismatches=0 first_mismatch=-1 graymap_pixels_off_damage=0"
# Guards the frame coverage: frame 4 has no damage but the index covers it (and its graymap).
expect "an index one frame too long" "$(check late)" "coverage_mismatches=1 first_mismatch=4 graymap_pixels_off_damage=100"
# Guards the placement: one column of ten pixels falls off the square in each of three frames.
expect "a graymap one pixel off" "$(check shifted)" "graymap_pixels_off_damage=30"

# A film of another length cannot be compared frame by frame.
if "$metrics" --clean "$work/clean.mkv" --truth "$work/truth.mkv" s="$work/short.mkv" > /dev/null 2>&1; then
  echo "FAIL: a film shorter than the clean one was measured" >&2
  failures=$((failures + 1))
fi
[ $failures = 0 ] || { echo "$failures failure(s)" >&2; exit 1; }
echo "quality_metrics: all known figures reproduced"
