#!/usr/bin/env bash
# Whole-film benchmark of subremove, three figures in one run:
#   thread scaling  wall-time throughput of --threads 2 against --threads 1 into FFV1 (.mkv);
#   against ffmpeg  subremove --threads 2 against plain ffmpeg decoding and encoding the same film
#                   with the same encoder, settings and codec threads (FFV1 .mkv, x264 .mp4);
#   peak memory     peak RSS of subremove --threads 2 on a 1080p film into FFV1.
# Ratios are medians over alternating runs (A, B, A, B, ...), so that the drift of a shared
# machine falls on both sides alike. The films (H.264 with AAC, burnt-in two-line subtitles, the
# .bms index and PGM graymaps the recognition tool writes) are made once into a cache folder.
#
# Usage: bench/film_bench.sh [--subremove PATH] [--quick] [--pairs N] [--films DIR]
#   --subremove PATH  the build to measure (default: build/default/subremove of this tree); an
#                     older saved build runs as well, with LD_LIBRARY_PATH set by the caller
#   --quick           one pair of each and short films: a smoke test of the benchmark itself
#   --pairs N         alternating pairs per ratio (default 5)
#   --films DIR       the film cache (default: build/bench-films of this tree)
# Prints a markdown table and one `film_bench:` line per figure. Status 0 when every run
# succeeded (goals met or not), 1 when a run failed, 2 for a bad command line, 77 when the
# photograph or the font the films are made from is missing.
set -euo pipefail
export LC_ALL=C

fb_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
fb_photo=${FB_PHOTO:-/usr/share/backgrounds/mate/nature/Dune.jpg}
fb_font=${FB_FONT:-/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf}
# GNU time reports peak RSS; where it is missing a getrusage wrapper does the same.
fb_time=${FB_TIME:-/usr/bin/time}
fb_rate=25
# Changing how the films are made must change this, so that cached films are made again.
fb_recipe=2

# The subtitles: first frame, last frame, horizontal place (l, c, r), vertical place (t, b), two
# lines. Frames 0-5, the six-frame gaps and 322-330 carry none: 309 of 360 frames carry one.
# Shorter films keep the entries that start inside them, cut at their end.
fb_subtitles=(
  "6|45|c|b|The tide comes in twice a day,|and nobody here remembers why."
  "52|91|l|b|Keep walking. The dunes move|faster than you think."
  "98|137|c|t|- Did you hear that?|- Only the wind."
  "144|183|r|b|We'll be home before dark.|I promise."
  "190|229|c|b|The map ends here.|Past this line, it is sand."
  "236|275|l|t|Three days without water,|and still he sang."
  "282|321|c|b|- Is that the sea?|- No. It is the sky again."
  "331|359|r|b|Tomorrow we turn back.|Tonight we rest."
)

fb_die() { echo "film_bench: $*" >&2; exit 1; }
fb_note() { echo "film_bench: $*" >&2; }

# The table's entries that fall inside a film of FRAMES frames, cut at its end.
fb_entries() {
  local frames=$1 entry first last rest
  for entry in "${fb_subtitles[@]}"; do
    IFS='|' read -r first last rest <<< "$entry"
    (( first < frames )) || continue
    (( last < frames )) || last=$((frames - 1))
    echo "$first|$last|$rest"
  done
}

# "WITH WITHOUT": frames of a FRAMES-frame film that carry a subtitle, and those that carry none.
fb_coverage() {
  local frames=$1 first last rest f with=0
  local -a covered=()
  while IFS='|' read -r first last rest; do
    for ((f = first; f <= last; ++f)); do covered[f]=1; done
  done < <(fb_entries "$frames")
  with=${#covered[@]}
  echo "$with $((frames - with))"
}

# Makes DIR/film.mkv (WIDTHxHEIGHT, FRAMES frames of H.264 yuv420p and AAC) and DIR/subs/ with
# film.bms and image_N.pgm, as samples/make_sample.sh does; DIR/ready marks a finished film.
fb_make_film() {
  local dir=$1 width=$2 height=$3 frames=$4
  local stamp="recipe $fb_recipe ${width}x$height $frames frames"
  if [ -f "$dir/ready" ] && [ "$(cat "$dir/ready")" = "$stamp" ]; then return 0; fi
  fb_note "making $dir ($stamp)"
  rm -rf "$dir"
  mkdir -p "$dir/subs"
  local work
  work=$(mktemp -d "$dir/.work.XXXXXX")
  # Sizes follow the picture height; 30 pt with a 6-pixel outline at 576 lines, as in the sample.
  local point=$((30 * height / 576)) stroke=$((6 * height / 576)) border=$((2 * height / 576))
  local side=$((40 * width / 720)) edge=$((30 * height / 576))
  # The pan crosses the photograph (8:5, scaled to leave room to move) once in the film's length.
  # SD is PAL: 16:15 pixels, BT.601 colours; HD has square pixels and BT.709.
  local panh=$((height * 25 / 18)) panw=$((height * 25 / 18 * 8 / 5)) sar=1 colours=bt709
  [ "$height" -lt 720 ] && sar=16/15 colours=smpte170m
  local room_x=$((panw - width - 1)) room_y=$((panh - height - 1))
  local filter="[0:v]scale=$panw:$panh,crop=$width:$height:x='n*$room_x/$frames':y='$room_y-n*$room_y/$frames'"
  filter+=",setsar=$sar,format=yuv420p[v0]"
  local -a inputs=()
  local i=0 first last across down line1 line2 w h left top
  echo "$(fb_entries "$frames" | wc -l)" > "$dir/subs/film.bms"
  while IFS='|' read -r first last across down line1 line2; do
    convert -background none -font "$fb_font" -pointsize "$point" -gravity center \
      -fill '#101010' -stroke '#101010' -strokewidth "$stroke" label:"$line1"$'\n'"$line2" "$work/outline_$i.png"
    convert -background none -font "$fb_font" -pointsize "$point" -gravity center \
      -fill white -stroke none label:"$line1"$'\n'"$line2" "$work/text_$i.png"
    convert "$work/outline_$i.png" "$work/text_$i.png" -gravity center -composite \
      -trim +repage -bordercolor none -border "$border" "$work/sub_$i.png"
    read -r w h < <(identify -format '%w %h\n' "$work/sub_$i.png")
    case $across in l) left=$side ;; r) left=$((width - side - w)) ;; *) left=$(((width - w) / 2)) ;; esac
    case $down in t) top=$edge ;; *) top=$((height - edge - h)) ;; esac
    (( left >= 0 && top >= 0 && left + w <= width && top + h <= height )) ||
      fb_die "subtitle $i ($w x $h at $left,$top) does not fit a ${width}x$height picture"
    # The glyph mask: non-zero wherever the subtitle covers the picture, sized to its bounding box.
    convert "$work/sub_$i.png" -alpha extract -threshold 0 -depth 8 "pgm:$dir/subs/image_$i.pgm"
    echo "$((i + 1)),$first,$last,$left,$top" >> "$dir/subs/film.bms"
    inputs+=(-i "$work/sub_$i.png")
    filter+=";[v$i][$((i + 1)):v]overlay=x=$left:y=$top:enable='between(n,$first,$last)'[v$((i + 1))]"
    i=$((i + 1))
  done < <(fb_entries "$frames")
  local seconds
  seconds=$(awk -v f="$frames" -v r="$fb_rate" 'BEGIN { printf "%.3f", f / r }')
  ffmpeg -nostdin -loglevel error -y -loop 1 -framerate $fb_rate -i "$fb_photo" "${inputs[@]}" \
    -f lavfi -i "anoisesrc=color=brown:amplitude=0.05:sample_rate=48000:duration=$seconds" \
    -filter_complex "$filter" -map "[v$i]" -map "$((i + 1)):a" -t "$seconds" \
    -c:v libx264 -crf 16 -preset medium -pix_fmt yuv420p -colorspace $colours -color_primaries $colours \
    -color_trc $colours -color_range tv -c:a aac -b:a 128k -f matroska "$work/film.mkv"
  # Ending at a frame count (-frames:v) would also end the audio after a packet or two.
  fb_check_streams "$work/film.mkv" h264 "$frames"
  mv "$work/film.mkv" "$dir/film.mkv"
  rm -rf "$work"
  echo "$stamp" > "$dir/ready"
}

# The median of the numbers given (the mean of the middle two for an even count).
fb_median() {
  [ $# -gt 0 ] || return 1
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
    if (NR % 2) printf "%.4f\n", v[(NR + 1) / 2]; else printf "%.4f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# A / B to four places.
fb_ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b <= 0) exit 1; printf "%.4f\n", a / b }'; }

# "met" when VALUE >= GOAL (KIND min) or VALUE <= GOAL (KIND max), "not met" otherwise.
fb_verdict() {
  awk -v v="$1" -v kind="$2" -v g="$3" 'BEGIN {
    ok = kind == "min" ? v >= g : v <= g; print ok ? "met" : "not met" }'
}

# Runs a command (its stdout and stderr into LOG) and prints its wall time and its CPU time (user
# and system, of all its threads) in seconds. A failed run ends the benchmark: a timed failure
# would be taken for a fast run. Called in a subshell, so that `times` counts this command alone.
fb_timed() {
  local log=$1; shift
  local start end
  start=$EPOCHREALTIME
  if ! "$@" > "$log" 2>&1; then
    fb_note "failed: $*"
    sed 's/^/  /' "$log" >&2
    exit 1
  fi
  end=$EPOCHREALTIME
  # Into a file: in a pipe `times` would run in a forked shell, whose children's times start at 0.
  times > "$log.times"
  awk -v s="$start" -v e="$end" 'NR == 2 {
    split($1, u, /[ms]/); split($2, k, /[ms]/)
    printf "%.4f %.4f\n", e - s, u[1] * 60 + u[2] + k[1] * 60 + k[2] }' "$log.times"
}

# Runs PAIRS alternating pairs of the commands A and B (function names, each given the output
# path): A, B, A, B, ... Sets fb_times_a, fb_times_b and fb_ratios (wall time A / wall time B per
# pair: how many times as fast as A B goes), and fb_cpu_a, fb_cpu_b (CPU seconds, which a busy
# machine disturbs less than wall time). The outputs and logs of the last pair stay in OUT_A,
# OUT_B, LOG.a and LOG.b.
fb_pairs() {
  local pairs=$1 a=$2 b=$3 out_a=$4 out_b=$5 log=$6 n run ta tb ca cb
  fb_times_a=() fb_times_b=() fb_cpu_a=() fb_cpu_b=() fb_ratios=()
  for ((n = 1; n <= pairs; ++n)); do
    rm -f "$out_a"
    run=$(fb_timed "$log.a" "$a" "$out_a")
    read -r ta ca <<< "$run"
    rm -f "$out_b"
    run=$(fb_timed "$log.b" "$b" "$out_b")
    read -r tb cb <<< "$run"
    fb_times_a+=("$ta") fb_times_b+=("$tb") fb_cpu_a+=("$ca") fb_cpu_b+=("$cb")
    fb_ratios+=("$(fb_ratio "$ta" "$tb")")
    fb_note "  pair $n/$pairs: $a ${ta}s (CPU ${ca}s), $b ${tb}s (CPU ${cb}s), ratio ${fb_ratios[-1]}"
  done
}

# Peak resident memory of a command in KiB, from GNU time or else from getrusage of the children.
fb_peak_kib() {
  local log=$1; shift
  local report
  report=$(mktemp)
  if [ -x "$fb_time" ]; then
    "$fb_time" -f %M -o "$report" "$@" > "$log" 2>&1 || { rm -f "$report"; fb_note "failed: $*"; sed 's/^/  /' "$log" >&2; exit 1; }
  else
    python3 -c 'import resource, subprocess, sys
status = subprocess.call(sys.argv[2:])
open(sys.argv[1], "w").write("%d\n" % resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
sys.exit(status)' "$report" "$@" > "$log" 2>&1 || { rm -f "$report"; fb_note "failed: $*"; sed 's/^/  /' "$log" >&2; exit 1; }
  fi
  tail -n 1 "$report"
  rm -f "$report"
}

# Streams of a file with their packet counts: "codec,type,packets" a line.
fb_streams() {
  ffprobe -v error -count_packets -show_entries stream=codec_name,codec_type,nb_read_packets -of csv=p=0 "$1"
}

# Fails unless FILE holds FRAMES pictures of CODEC and AAC audio as long as the pictures (to a
# packet of 1024 samples at 48 kHz): a run that dropped or duplicated frames or lost the sound
# would be timed for other work.
fb_check_streams() {
  local file=$1 codec=$2 frames=$3 streams audio
  streams=$(fb_streams "$file") || fb_die "cannot read $file"
  audio=$(sed -n 's/^aac,audio,\([0-9]*\)$/\1/p' <<< "$streams")
  grep -qx "$codec,video,$frames" <<< "$streams" && [ -n "$audio" ] &&
    awk -v a="$audio" -v f="$frames" -v r="$fb_rate" 'BEGIN { exit !(a * 1024 / 48000 >= f / r - 0.05) }' ||
    fb_die "$file is not $frames frames of $codec with their AAC audio: $(tr '\n' ' ' <<< "$streams")"
}

# Checks subremove's summary line in LOG ("N frames, M with a subtitle, K repainted"): the film
# must be read whole and every subtitle found and repainted, or the times measure something else.
# A build that prints no summary is only warned about.
fb_check_summary() {
  local log=$1 frames=$2 with=$3 counts
  counts=$(sed -n 's/^subremove: \([0-9]*\) frames, \([0-9]*\) with a subtitle, \([0-9]*\) repainted.*/\1 \2 \3/p' "$log" | tail -n 1)
  if [ -z "$counts" ]; then
    fb_note "warning: no summary line from subremove; its frame counts are unchecked"
  elif [ "$counts" != "$frames $with $with" ]; then
    fb_die "subremove counted '$counts' (frames, with a subtitle, repainted) where the film has '$frames $with $with'"
  fi
}

# One figure: appends a row of the table to fb_rows and a machine-readable line to fb_lines.
# Arguments: NAME LABEL VALUE UNIT KIND(min|max) GOAL RUNS EXTRA (key=value pairs).
fb_rows=() fb_lines=()
fb_figure() {
  local verdict sign=≤
  verdict=$(fb_verdict "$3" "$5" "$6")
  [ "$5" = min ] && sign=≥
  fb_rows+=("| $2 | $3$4 | $sign $6$4 | $verdict | $7 |")
  fb_lines+=("film_bench: $1 value=$3 goal_$5=$6 met=$([ "$verdict" = met ] && echo yes || echo no) runs=${7%% *} $8")
}

# The commands measured. subremove with N threads gives its decoder max(1, N/4) threads; FFV1
# gets slices 4, level 3, slicecrc 1 and a key frame every 12 pictures, on N encoder threads in
# all (contexts x threads each, see cli/output/encoder_policy.cpp); x264 crf 16, preset medium, its own thread
# choice and the input's time base. ffmpeg is given the same, and like subremove passes every
# frame once (no frame-rate filling, which the input's millisecond time base would set off).
# Audio is copied by both.
fb_subremove_run() {
  local threads=$1 out=$2; shift 2
  rm -f "$out"  # subremove keeps an existing output; no -y, which older builds do not know
  # --index: the long form that older builds (where -i was the index) and newer ones both take.
  "$fb_subremove" --threads "$threads" "$@" --index "$fb_index" "$fb_film" "$out"
}
# Not -q: the summary line (a terminal's progress line is off with a file) tells what was done.
fb_sub_t1() { fb_subremove_run 1 "$1"; }
fb_sub_t2() { fb_subremove_run 2 "$1"; }
fb_ffmpeg_run() {
  local out=$1; shift
  ffmpeg -nostdin -hide_banner -loglevel error -y -threads 1 -i "$fb_film" -map 0:v:0 -map 0:a \
    "$@" -enc_time_base -1 -fps_mode passthrough -c:a copy -fflags +bitexact "$out"
}
fb_ffmpeg_ffv1() { fb_ffmpeg_run "$1" -c:v ffv1 -level 3 -slicecrc 1 -slices 4 -g 12 -threads 2; }
fb_ffmpeg_x264() { fb_ffmpeg_run "$1" -c:v libx264 -crf 16 -preset medium -threads 0; }

fb_usage() { sed -n '/^# Usage/,/^#   --films/s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" >&2; exit 2; }

fb_main() {
  fb_subremove=$fb_root/build/default/subremove
  local quick=0 pairs=5 films=$fb_root/build/bench-films
  while [ $# -gt 0 ]; do
    case $1 in
      --subremove) [ $# -ge 2 ] || fb_usage; fb_subremove=$2; shift 2 ;;
      --quick) quick=1; shift ;;
      --pairs) [[ ${2:-} =~ ^[1-9][0-9]*$ ]] || fb_usage; pairs=$2; shift 2 ;;
      --films) [ $# -ge 2 ] || fb_usage; films=$2; shift 2 ;;
      -h|--help) fb_usage ;;
      *) echo "film_bench: unknown argument $1" >&2; fb_usage ;;
    esac
  done
  [ -x "$fb_subremove" ] || { echo "film_bench: no subremove at $fb_subremove" >&2; exit 2; }
  local f
  for f in "$fb_photo" "$fb_font"; do
    [ -f "$f" ] || { fb_note "$f is missing (Debian packages mate-backgrounds, fonts-dejavu-core)"; exit 77; }
  done
  for f in ffmpeg ffprobe convert identify awk; do
    command -v "$f" > /dev/null || fb_die "$f is missing"
  done
  local sd_frames=360 hd_frames=120 memory_runs=3
  if [ $quick = 1 ]; then sd_frames=48 hd_frames=24 memory_runs=1 pairs=1; fi
  local pair_label="$pairs pairs" memory_label="$memory_runs runs, the largest"
  [ $pairs = 1 ] && pair_label="1 pair"
  [ $memory_runs = 1 ] && memory_label="1 run"

  mkdir -p "$films"
  local sd=$films/sd-$sd_frames hd=$films/hd-$hd_frames
  fb_make_film "$sd" 720 576 $sd_frames
  fb_make_film "$hd" 1920 1080 $hd_frames
  local scratch
  scratch=$(mktemp -d "$films/.run.XXXXXX")
  trap "rm -rf '$scratch'" EXIT
  local log=$scratch/log load_start
  load_start=$(cut -d' ' -f1-3 /proc/loadavg)

  fb_film=$sd/film.mkv fb_index=$sd/subs/film.bms
  local with without value t_a t_b c_a c_b identical
  read -r with without < <(fb_coverage $sd_frames)

  fb_note "thread scaling: --threads 1 against --threads 2, $pairs pair(s)"
  fb_pairs "$pairs" fb_sub_t1 fb_sub_t2 "$scratch/t1.mkv" "$scratch/t2.mkv" "$log"
  fb_check_summary "$log.a" $sd_frames "$with"
  fb_check_summary "$log.b" $sd_frames "$with"
  fb_check_streams "$scratch/t2.mkv" ffv1 $sd_frames
  identical=$(cmp -s "$scratch/t1.mkv" "$scratch/t2.mkv" && echo yes || echo no)
  value=$(fb_median "${fb_ratios[@]}") t_a=$(fb_median "${fb_times_a[@]}") t_b=$(fb_median "${fb_times_b[@]}")
  c_a=$(fb_median "${fb_cpu_a[@]}") c_b=$(fb_median "${fb_cpu_b[@]}")
  fb_figure thread_scaling "thread scaling, --threads 2 / 1, FFV1 .mkv, ${sd_frames} frames 720x576" \
    "$(printf %.2f "$value")" × min 1.7 "$pair_label" \
    "median_t1_s=$t_a median_t2_s=$t_b median_cpu_t1_s=$c_a median_cpu_t2_s=$c_b outputs_identical=$identical frames=$sd_frames"

  local kind
  for kind in ffv1 x264; do
    local ext=mkv codec=ffv1
    [ $kind = x264 ] && ext=mp4 codec=h264
    fb_note "against ffmpeg, $kind: ffmpeg against subremove --threads 2, $pairs pair(s)"
    fb_pairs "$pairs" fb_ffmpeg_$kind fb_sub_t2 "$scratch/ffmpeg.$ext" "$scratch/subremove.$ext" "$log"
    fb_check_summary "$log.b" $sd_frames "$with"
    fb_check_streams "$scratch/ffmpeg.$ext" $codec $sd_frames
    fb_check_streams "$scratch/subremove.$ext" $codec $sd_frames
    value=$(fb_median "${fb_ratios[@]}") t_a=$(fb_median "${fb_times_a[@]}") t_b=$(fb_median "${fb_times_b[@]}")
    c_a=$(fb_median "${fb_cpu_a[@]}") c_b=$(fb_median "${fb_cpu_b[@]}")
    fb_figure against_ffmpeg_$kind "subremove / ffmpeg throughput, $kind .$ext, ${sd_frames} frames 720x576" \
      "$(printf %.2f "$value")" × min 0.85 "$pair_label" \
      "median_ffmpeg_s=$t_a median_subremove_s=$t_b median_cpu_ffmpeg_s=$c_a median_cpu_subremove_s=$c_b frames=$sd_frames"
  done

  fb_film=$hd/film.mkv fb_index=$hd/subs/film.bms
  fb_note "peak memory: subremove --threads 2 on $fb_film, $memory_runs run(s)"
  local n kib peak=0
  for ((n = 1; n <= memory_runs; ++n)); do
    rm -f "$scratch/hd.mkv"
    kib=$(fb_peak_kib "$log" "$fb_subremove" -q --threads 2 -x "$fb_index" "$fb_film" "$scratch/hd.mkv")
    fb_note "  run $n/$memory_runs: $kib KiB"
    (( kib > peak )) && peak=$kib
  done
  fb_check_streams "$scratch/hd.mkv" ffv1 $hd_frames
  # Megabytes of a million bytes: the stricter reading of the goal.
  value=$(awk -v k="$peak" 'BEGIN { printf "%.0f", k * 1024 / 1e6 }')
  fb_figure peak_rss "peak RSS, --threads 2, FFV1 .mkv, ${hd_frames} frames 1920x1080" \
    "$value" " MB" max 500 "$memory_label" "peak_kib=$peak frames=$hd_frames"

  echo "subremove: $fb_subremove; $(nproc) cores; load average at start $load_start, at end $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
  echo "| figure | measured | goal | | runs |"
  echo "|---|---|---|---|---|"
  printf '%s\n' "${fb_rows[@]}"
  echo
  printf '%s\n' "${fb_lines[@]}"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then fb_main "$@"; fi
