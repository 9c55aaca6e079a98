#!/usr/bin/env bash
# The real-footage benchmark's truth, tested on its own: ASS times that put each subtitle on
# exactly its frames (at 29.97 and 60 frames/s, and through libass on a film of 29.97 frames/s whose
# timestamps are whole milliseconds, a fade included), the true index's runs of subtitles on screen
# together, and the style modes the truth is drawn with.
#
# Usage: bench/test_real_bench.sh
# Status 0 when all hold, 1 otherwise, 77 without the fonts.
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=real_bench.sh
source "$here/real_bench.sh"
set +e
failures=0
expect() {
  if [ "$2" != "$3" ]; then
    echo "test_real_bench: $1: expected '$2', got '$3'" >&2
    failures=$((failures + 1))
  fi
}

# 29.97 frames/s in a Matroska file: timestamps rounded to the millisecond.
rb_ms=(0 33 67 100 133 167 200 234 267 300)
expect "start of frame 0" 0 "$(rb_from_ms 0)"
expect "start of frame 3" 70 "$(rb_from_ms 3)"
expect "end after frame 6" 230 "$(rb_until_ms 7)"
expect "end after the last frame" 1300 "$(rb_until_ms 10)"
# 60 frames/s: 16 or 17 ms apart, still room for a centisecond with a millisecond either side.
rb_ms=(0 17 33 50 67 83 100)
expect "start of frame 2 at 60/s" 20 "$(rb_from_ms 2)"
expect "end after frame 2 at 60/s" 40 "$(rb_until_ms 3)"
# Frames 10 ms apart leave no such time: an error, not a subtitle a frame off.
rb_ms=(0 10 20)
expect "frames too close" 1 "$( (rb_from_ms 1 > /dev/null 2>&1); echo $?)"
expect "ASS time" "1:02:03.45" "$(rb_ass_time $(((3600 + 120 + 3) * 1000 + 450)))"

# Runs: a top line over two bottom ones with a 5-frame gap; then two back to back.
rb_events=("5 80 Top a" "20 50 White b" "56 80 White c" "90 99 White d" "100 109 White e")
expect "true index" "6 1,5,19,0,0 2,20,50,0,0 3,51,55,0,0 4,56,80,0,0 5,90,99,0,0 6,100,109,0,0" "$(rb_true_index | tr '\n' ' ' | sed 's/ $//')"
rb_base=360 rb_events=("0 9 Soft x")
rb_parse_events '3-8:Soft:x;20-30:White:beyond the film' 12
expect "events clipped to the film, the soft style blurred" "3 8 Soft {\\blur2.0}x" "${rb_events[*]}"

# Style modes: white keeps each colour's opacity; fill drops outline, shadow and box; box hides text.
expect "box style of white mode" "&H00FFFFFF &HFFFFFFFF &H70FFFFFF" "$(rb_styles 640 360 white | grep '^Style: Box' | cut -d, -f4,6,7 | tr , ' ')"
expect "fill soft style: border 1, outline 0, shadow 0" "1 0 0" "$(rb_styles 640 360 fill | grep '^Style: Soft' | cut -d, -f16-18 | tr , ' ')"
expect "box style of box mode: text hidden, box kept" "&HFFFFFFFF &HFFFFFFFF &H70FFFFFF 4" \
  "$(rb_styles 640 360 box | grep '^Style: Box' | cut -d, -f4,6,7,16 | tr , ' ')"
expect "white style of box mode: nothing drawn" "&HFFFFFFFF &HFFFFFFFF &HFFFFFFFF" \
  "$(rb_styles 640 360 box | grep '^Style: White' | cut -d, -f4,6,7 | tr , ' ')"

# Through libass: 12 frames at 30000/1001 in Matroska, a fading subtitle on frames 3-6 and one on
# 9 to the end. Frames where anything is drawn above 2 must be exactly those.
if [ -z "$(fc-list 'DejaVu Sans' family)" ]; then echo "test_real_bench: DejaVu Sans is missing" >&2; exit 77; fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
ffmpeg -nostdin -v error -f lavfi -i testsrc2=s=160x90:r=30000/1001 -frames:v 12 -c:v ffv1 -pix_fmt yuv420p clean.mkv
rb_frame_times clean.mkv
expect "frame times" "0 33 67 100 133 167 200 234 267 300 334 367" "${rb_ms[*]}"
rb_events=("3 6 White {\\fad(100,100)}Hi" "9 11 White X")
rb_write_ass white.ass 160 90 white
drawn=$(rb_render white.ass | od -An -tu1 -v -w14400 |
  awk '{ m = 0; for (i = 1; i <= NF; ++i) if ($i > m) m = $i; if (m > 2) printf "%d ", NR - 1 }')
expect "frames drawn by libass" "3 4 5 6 9 10 11" "${drawn% }"

[ $failures = 0 ] || exit 1
echo "test_real_bench: all as expected"
