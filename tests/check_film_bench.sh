#!/usr/bin/env bash
# Checks the pieces of bench/film_bench.sh that its figures rest on: which frames carry a
# subtitle, the films and indexes it makes, medians, ratio direction, alternation, goals, peak
# memory by both means, and the checks that stop it from timing a run that did the wrong work.
# Usage: tests/check_film_bench.sh [SCRATCH_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../bench/film_bench.sh"
scratch=$(mktemp -d "${1:-/tmp}/check_film_bench.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0

expect() {  # expect WHAT EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then echo "FAIL: $1: expected '$2', got '$3'"; failures=$((failures + 1)); fi
}
expect_status() {  # expect_status WHAT STATUS COMMAND...: runs the command in a subshell
  local what=$1 want=$2 got=0; shift 2
  ("$@") > "$scratch/out" 2>&1 || got=$?
  expect "$what (status)" "$want" "$got"
}

# Which frames carry a subtitle: the figures are quoted for a film of 309 subtitled frames in 360.
expect "coverage of 360 frames" "309 51" "$(fb_coverage 360)"
expect "coverage of 120 frames (the last entry cut)" "102 18" "$(fb_coverage 120)"
expect "coverage of 48 frames (later entries left out)" "40 8" "$(fb_coverage 48)"
expect "entries in 100 frames" "6|45 52|91 98|99" "$(fb_entries 100 | cut -d'|' -f1-2 | tr '\n' ' ' | sed 's/ $//')"
# Subtitles never overlap and always leave a gap: each frame has one graymap at most.
previous=-2
while IFS='|' read -r first last _; do
  (( first > previous + 1 && last >= first )) || expect "gap before the entry at $first" yes no
  previous=$last
done < <(fb_entries 360)

# Medians sort as numbers, not as text ("10" before "9").
expect "median of three" "9.0000" "$(fb_median 10 9 8.5)"
expect "median of four" "2.5000" "$(fb_median 4 1 3 2)"
expect "median of one" "1.2500" "$(fb_median 1.25)"
expect_status "median of nothing" 1 fb_median
expect "ratio" "0.5000" "$(fb_ratio 2 4)"
expect_status "ratio over zero" 1 fb_ratio 2 0
expect "at the least goal" "met" "$(fb_verdict 1.70 min 1.7)"
expect "under the least goal" "not met" "$(fb_verdict 1.69 min 1.7)"
expect "at the most goal" "met" "$(fb_verdict 500 max 500)"
expect "over the most goal" "not met" "$(fb_verdict 501 max 500)"

# Alternation and direction: A takes three times as long as B, so B runs about 3 times as fast.
fake_a() { echo A >> "$scratch/order"; sleep 0.3; echo a > "$1"; }
fake_b() { echo B >> "$scratch/order"; sleep 0.1; echo b > "$1"; }
fb_pairs 3 fake_a fake_b "$scratch/a.out" "$scratch/b.out" "$scratch/log" 2> /dev/null
expect "run order" "ABABAB" "$(tr -d '\n' < "$scratch/order")"
expect "pairs timed" "3 3 3 3 3" "${#fb_times_a[@]} ${#fb_times_b[@]} ${#fb_cpu_a[@]} ${#fb_cpu_b[@]} ${#fb_ratios[@]}"
expect "B about three times as fast" yes "$(awk -v r="$(fb_median "${fb_ratios[@]}")" 'BEGIN { print (r > 1.8 && r < 4) ? "yes" : "no" }')"
expect "last outputs kept" "a b" "$(cat "$scratch/a.out") $(cat "$scratch/b.out")"
# CPU time counts the command's work, not its waiting.
busy() { python3 -c 'import time
t = time.process_time()
while time.process_time() - t < 0.4: pass'; }
read -r wall cpu < <(fb_timed "$scratch/log" busy)
expect "CPU time of a busy run" yes "$(awk -v w="$wall" -v c="$cpu" 'BEGIN { print (c >= 0.4 && w >= 0.4) ? "yes" : "no " w " " c }')"
read -r wall cpu < <(fb_timed "$scratch/log" sleep 0.4)
expect "CPU time of a sleep" yes "$(awk -v w="$wall" -v c="$cpu" 'BEGIN { print (c < 0.1 && w >= 0.4) ? "yes" : "no " w " " c }')"
# A failed run ends the benchmark with its output rather than being timed as a fast one.
fails() { echo "codec exploded"; return 3; }
expect_status "failed run" 1 fb_timed "$scratch/log" fails
grep -q "codec exploded" "$scratch/out" || expect "failed run's output shown" yes no

# Peak memory, through GNU time and through the getrusage fallback, of a process touching 200 MiB.
hog=(python3 -c 'b = bytearray(200 << 20); b[::4096] = b"x" * len(b[::4096])')
for timer in /usr/bin/time "$scratch/no-time"; do
  [ -x "$timer" ] || [ "$timer" = "$scratch/no-time" ] || continue
  fb_time=$timer
  kib=$(fb_peak_kib "$scratch/log" "${hog[@]}")
  expect "peak of 200 MiB by $timer" yes "$( (( kib >= 200 * 1024 && kib < 300 * 1024 )) && echo yes || echo "no ($kib KiB)")"
  kib=$(fb_peak_kib "$scratch/log" true)
  expect "peak of true by $timer" yes "$( (( kib < 20 * 1024 )) && echo yes || echo "no ($kib KiB)")"
  expect_status "failed run under $timer" 1 fb_peak_kib "$scratch/log" false
done

# subremove's summary must match the film, or the run did other work than the one timed.
echo "subremove: 360 frames, 309 with a subtitle, 309 repainted, 9.1 s (39.6 frames/s); written to x" > "$scratch/summary"
expect_status "matching summary" 0 fb_check_summary "$scratch/summary" 360 309
expect_status "summary with a subtitle missed" 1 fb_check_summary "$scratch/summary" 360 310
sed -i 's/309 repainted/250 repainted/' "$scratch/summary"
expect_status "summary with frames not repainted" 1 fb_check_summary "$scratch/summary" 360 309
expect_status "no summary (an older build) only warns" 0 fb_check_summary /dev/null 360 309

# Table row and machine line of a figure.
fb_figure thread_scaling "threads" 1.80 × min 1.7 "5 pairs" "median_t1_s=2"
expect "row" "| threads | 1.80× | ≥ 1.7× | met | 5 pairs |" "${fb_rows[-1]}"
expect "line" "film_bench: thread_scaling value=1.80 goal_min=1.7 met=yes runs=5 median_t1_s=2" "${fb_lines[-1]}"
fb_figure peak_rss "memory" 941 " MB" max 500 "1 run" "peak_kib=919180"
expect "memory line" "film_bench: peak_rss value=941 goal_max=500 met=no runs=1 peak_kib=919180" "${fb_lines[-1]}"

# The command line.
expect_status "unknown argument" 2 fb_main --fast
expect_status "no pair" 2 fb_main --pairs 0
expect_status "no subremove" 2 fb_main --subremove "$scratch/none"
expect_status "no photograph" 77 env FB_PHOTO="$scratch/none.jpg" bash "$here/../bench/film_bench.sh" --subremove /bin/true

# A short film: index lines `position,first,last,x,y` in order, graymaps inside the picture, the
# video and its audio whole (fb_make_film checks them), and reused rather than made again.
film=$scratch/film
fb_make_film "$film" 720 576 100 2> /dev/null
expect "index count line" "3" "$(head -n 1 "$film/subs/film.bms")"
n=0
while IFS=, read -r position first last x y; do
  n=$((n + 1))
  expect "entry $n" "$n $(fb_entries 100 | sed -n "${n}p" | cut -d'|' -f1-2 | tr '|' ' ')" "$position $first $last"
  graymap=$film/subs/image_$((n - 1)).pgm
  expect "graymap $n is raw PGM" P5 "$(head -c 2 "$graymap")"
  read -r w h < <(identify -format '%w %h\n' "$graymap")
  expect "graymap $n inside the picture" yes "$( (( x >= 0 && y >= 0 && x + w <= 720 && y + h <= 576 )) && echo yes || echo no)"
done < <(tail -n +2 "$film/subs/film.bms")
expect "index entries" 3 "$n"
touch -d '2000-01-01' "$film/film.mkv"
fb_make_film "$film" 720 576 100 2> /dev/null
expect "film reused" 2000 "$(date -r "$film/film.mkv" +%Y)"
expect_status "a frame count the film does not have" 1 fb_check_streams "$film/film.mkv" h264 101

if [ $failures -gt 0 ]; then echo "$failures check(s) failed"; exit 1; fi
echo "film_bench checks passed"
