#!/usr/bin/env bash
# Removal-quality benchmark with ground truth: subremove's fills measured against the clean
# footage the subtitles were burnt into, on clips whose motion is known (bench/quality_clips.sh):
# a pan, a zoom, a still shot with film grain, a moving object, a cut inside a subtitle (720x576)
# and a pan at 1920x1080. For every clip, fill (--fill spatial, and --fill temporal where the
# build has it) and radius, one run of bench/quality_metrics gives, pooled over the subtitle frames:
#   PSNR damaged   luma PSNR over the pixels the burn covered (glyph, outline, shadow);
#   PSNR box+8     luma PSNR over each subtitle's bounding box grown by 8 pixels;
#   flicker        mean |Δoutput/Δt − Δclean/Δt| in the box over consecutive frames of a subtitle,
#                  in 8-bit luma levels;
#   damage untouched   the share of damaged pixels still as burnt: outside the hole the fill
#                  repaints at that radius, where no fill can help;
# and two timings: wall time per frame of --threads 1, and frames/s of --threads 2 on the whole
# clip (the two outputs are compared byte for byte). The burnt film itself is measured too (the
# floor any fill must beat), and the clean film against itself (which must give infinite PSNR and
# no flicker): both check the metrics. Clips are made once into a cache folder.
#
# Usage: bench/quality_bench.sh [--subremove PATH] [--metrics PATH] [--quick] [--radius LIST]
#                               [--window N] [--runs N] [--clips DIR] [--out DIR]
#   --subremove PATH  the build to measure (default: build/default/subremove of this tree)
#   --metrics PATH    the measuring tool (default: build/default/bench/quality_metrics)
#   --quick           small clips of a few frames: a test that the benchmark and its checks work
#   --radius LIST     radii to measure, comma-separated (default 5, the module's default)
#   --window N        --temporal-window N for the temporal fill (default: subremove's own)
#   --runs N          timed rounds per clip and radius, the median kept (default 1); each round
#                     alternates the fills: t1 spatial, t1 temporal, t2 spatial, t2 temporal
#   --clips DIR       the clip cache (default: build/quality-clips of this tree)
#   --out DIR         outputs, logs and before/after strips (default: build/quality-bench)
# Prints a markdown table and one `quality_bench:` line per figure. Status 0 when every run
# succeeded and the metrics passed their checks, 1 otherwise, 2 for a bad command line, 77 when
# the photographs or the font the clips are made from are missing.
set -euo pipefail
export LC_ALL=C

qb_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=quality_clips.sh
source "$qb_root/bench/quality_clips.sh"

qb_die() { echo "quality_bench: $*" >&2; exit 1; }
qb_note() { echo "quality_bench: $*" >&2; }

# Runs subremove with THREADS on CLIP into OUT with the fill's flags, logging into LOG; prints
# the wall time in seconds. A failed run ends the benchmark.
qb_run() {
  local clip=$1 threads=$2 out=$3 log=$4; shift 4
  local start end
  rm -f "$out"
  start=$EPOCHREALTIME
  "$qb_subremove" --threads "$threads" "$@" -x "$clip/subs/clip.bms" "$clip/burnt.mkv" "$out" > "$log" 2>&1 ||
    { qb_note "failed: $qb_subremove --threads $threads $* on $clip"; sed 's/^/  /' "$log" >&2; exit 1; }
  end=$EPOCHREALTIME
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f\n", e - s }'
}

# subremove's summary ("N frames, M with a subtitle, K repainted") must find and repaint every
# subtitle frame, or the run measured something else. A build without a summary is only warned of.
qb_check_summary() {
  local log=$1 frames=$2 with=$3 counts
  counts=$(sed -n 's/^subremove: \([0-9]*\) frames, \([0-9]*\) with a subtitle, \([0-9]*\) repainted.*/\1 \2 \3/p' "$log" | tail -n 1)
  if [ -z "$counts" ]; then
    qb_note "warning: no summary line in $log; its frame counts are unchecked"
  elif [ "$counts" != "$frames $with $with" ]; then
    qb_die "subremove counted '$counts' (frames, with a subtitle, repainted) where the clip has '$frames $with $with'"
  fi
}

# The median of the numbers given (the mean of the middle two for an even count).
qb_median() {
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
    if (NR % 2) printf "%.4f\n", v[(NR + 1) / 2]; else printf "%.4f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Frames of a clip that carry a subtitle, from its index (the entries do not overlap).
qb_subtitle_frames() {
  awk -F, 'NR > 1 { n += $3 - $2 + 1 } END { print n }' "$1/subs/clip.bms"
}

# KEY's value in a quality_metrics line.
qb_field() { sed -n "s/.* $2=\([^ ]*\).*/\1/p" <<< "$1"; }

qb_failures=0
qb_check() {
  local what=$1; shift
  if ! awk "BEGIN { exit !($*) }"; then
    qb_note "check failed: $what"
    qb_failures=$((qb_failures + 1))
  fi
}

# Checks that hold on every clip: the index and graymaps agree with the truth, the clean film
# scores perfectly against itself, and the burnt film is damaged and only inside the boxes.
qb_check_metrics() {
  local name=$1 report=$2 index clean burnt
  index=$(grep '^quality_metrics: index ' <<< "$report")
  clean=$(grep '^quality_metrics: name=clean ' <<< "$report")
  burnt=$(grep '^quality_metrics: name=burnt ' <<< "$report")
  qb_check "$name: the index covers exactly the frames with damage" "$(qb_field "$index" coverage_mismatches) == 0"
  qb_check "$name: every graymap pixel lies on damaged pixels" "$(qb_field "$index" graymap_pixels_off_damage) == 0"
  qb_check "$name: the clean film against itself has infinite PSNR" \
    "\"$(qb_field "$clean" psnr_damaged) $(qb_field "$clean" psnr_box)\" == \"inf inf\""
  qb_check "$name: the clean film against itself has no flicker" "$(qb_field "$clean" flicker) == 0"
  qb_check "$name: the burnt film is damaged (PSNR below 20 dB)" "$(qb_field "$burnt" psnr_damaged) < 20"
  qb_check "$name: the burn changed nothing outside the boxes" "$(qb_field "$burnt" changed_outside_box) == 0"
}

# Table rows and machine lines. Arguments: CLIP FILL RADIUS METRICS-LINE MS_T1 FPS_T2 IDENTICAL.
qb_rows=() qb_lines=()
qb_row() {
  local clip=$1 fill=$2 radius=$3 line=$4 ms=$5 fps=$6 same=$7 label=$2 key value
  if [ "$radius" != - ]; then label+=" r$radius"; else label="none (burnt)"; fi
  if [ -z "$line" ]; then
    qb_rows+=("| $clip | $label | n/a | n/a | n/a | n/a | n/a | n/a |")
    qb_lines+=("quality_bench: clip=${clip// /-} fill=$fill radius=$radius figure=all value=n/a")
    return
  fi
  local damaged box flicker untouched
  damaged=$(qb_field "$line" psnr_damaged) box=$(qb_field "$line" psnr_box) flicker=$(qb_field "$line" flicker)
  untouched=$(awk -v u="$(qb_field "$line" damaged_untouched)" -v d="$(qb_field "$line" damaged_pixels)" \
    'BEGIN { printf "%.1f", 100 * u / d }')
  qb_rows+=("| $clip | $label | $damaged dB | $box dB | $(printf %.2f "$flicker") | $ms | $fps | $untouched % |")
  for key in psnr_damaged psnr_box flicker; do
    value=$(qb_field "$line" $key)
    qb_lines+=("quality_bench: clip=${clip// /-} fill=$fill radius=$radius figure=$key value=$value")
  done
  qb_lines+=("quality_bench: clip=${clip// /-} fill=$fill radius=$radius figure=damaged_untouched_percent value=$untouched")
  [ "$ms" = — ] && return
  qb_lines+=("quality_bench: clip=${clip// /-} fill=$fill radius=$radius figure=ms_per_frame_threads1 value=$ms")
  qb_lines+=("quality_bench: clip=${clip// /-} fill=$fill radius=$radius figure=fps_threads2 value=$fps identical_to_threads1=$same")
}

# A before/after strip of CLIP at the middle of its first subtitle: burnt | each fill | clean,
# cropped to the subtitle's box with a margin, side by side.
qb_strip() {
  local clip=$1 name=$2; shift 2
  local first last x y w h frame geometry
  IFS=, read -r _ first last x y < <(sed -n 2p "$clip/subs/clip.bms")
  read -r w h < <(head -c 64 "$clip/subs/image_0.pgm" | sed -n 2p)
  frame=$(((first + last) / 2))
  local margin=24 width height
  IFS=x read -r width height < <(ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0:s=x "$clip/clean.mkv")
  local left=$((x > margin ? x - margin : 0)) top=$((y > margin ? y - margin : 0))
  local cw=$((w + 2 * margin)) ch=$((h + 2 * margin))
  ((left + cw <= width)) || cw=$((width - left))
  ((top + ch <= height)) || ch=$((height - top))
  local -a inputs=() films=("$clip/burnt.mkv" "$@" "$clip/clean.mkv")
  local filter= i=0 f labels=
  for f in "${films[@]}"; do
    inputs+=(-i "$f")
    filter+="[$i:v]select='eq(n,$frame)',crop=$cw:$ch:$left:$top,format=rgb24[p$i];"
    labels+="[p$i]"
    i=$((i + 1))
  done
  ffmpeg -nostdin -loglevel error -y "${inputs[@]}" -filter_complex "${filter}${labels}hstack=inputs=$i[s]" \
    -map '[s]' -frames:v 1 "$qb_out/strip-$name.png"
  qb_note "strip: $qb_out/strip-$name.png (frame $frame: burnt | ${qb_fills[*]} | clean)"
}

qb_usage() { sed -n '/^# Usage/,/^#   --out/s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" >&2; exit 2; }

# Times every fill at RADIUS on CLIP, qb_runs rounds of alternating runs, and sets ms, fps and
# same (declared by the caller) for each fill: the median times, and whether every --threads 2
# output equalled the --threads 1 one. The last round's --threads 1 outputs stay for the metrics.
qb_time_fills() {
  local clip=$1 key=$2 frames=$3 with=$4 radius=$5 round threads fill
  local -A times
  for ((round = 1; round <= qb_runs; ++round)); do
    for threads in 1 2; do
      for fill in "${qb_fills[@]}"; do
        local out=$qb_out/$key-$fill-r$radius-t$threads.mkv log=$qb_out/$key-$fill-r$radius-t$threads.log
        local -a flags=("${qb_flags_spatial[@]}")
        [ $fill = temporal ] && flags=("${qb_flags_temporal[@]}")
        times[$fill$threads]+=" $(qb_run "$clip" $threads "$out" "$log" "${flags[@]}" --radius "$radius")"
        qb_check_summary "$log" "$frames" "$with"
        [ $threads = 1 ] && continue
        [ $round = 1 ] && same[$fill$radius]=yes
        cmp -s "$out" "${out%-t2.mkv}-t1.mkv" || same[$fill$radius]=no
        rm -f "$out"
      done
    done
  done
  for fill in "${qb_fills[@]}"; do
    ms[$fill$radius]=$(awk -v t="$(qb_median ${times[${fill}1]})" -v n="$frames" 'BEGIN { printf "%.1f", 1000 * t / n }')
    fps[$fill$radius]=$(awk -v t="$(qb_median ${times[${fill}2]})" -v n="$frames" 'BEGIN { printf "%.1f", n / t }')
  done
}

# Measures one clip: every fill at every radius, timed, then one metrics run over all outputs.
qb_clip() {
  local name=$1 clip=$2 frames=$3 key=${1// /-} with radius fill
  with=$(qb_subtitle_frames "$clip")
  local -a films=(clean="$clip/clean.mkv" burnt="$clip/burnt.mkv")
  local -A ms fps same
  for radius in "${qb_radii[@]}"; do
    qb_time_fills "$clip" "$key" "$frames" "$with" "$radius"
    for fill in "${qb_fills[@]}"; do films+=("$fill-r$radius=$qb_out/$key-$fill-r$radius-t1.mkv"); done
  done
  local report
  report=$("$qb_metrics" --clean "$clip/clean.mkv" --truth "$clip/truth.mkv" --index "$clip/subs/clip.bms" \
    --burnt burnt "${films[@]}") ||
    qb_die "quality_metrics failed on $clip"
  echo "$report" > "$qb_out/$key-metrics.txt"
  qb_check_metrics "$name" "$report"
  qb_row "$name" burnt - "$(grep "name=burnt " <<< "$report")" — — -
  local fill_line burnt_psnr
  burnt_psnr=$(qb_field "$(grep "name=burnt " <<< "$report")" psnr_damaged)
  for radius in "${qb_radii[@]}"; do
    for fill in spatial temporal; do
      if [[ " ${qb_fills[*]} " != *" $fill "* ]]; then qb_row "$name" "$fill" "$radius" "" — — -; continue; fi
      fill_line=$(grep "name=$fill-r$radius " <<< "$report")
      awk -v f="$(qb_field "$fill_line" psnr_damaged)" -v b="$burnt_psnr" 'BEGIN { exit !(f <= b) }' &&
        qb_note "note: $name $fill r$radius scores below the burnt film over the damaged pixels"
      qb_row "$name" "$fill" "$radius" "$fill_line" "${ms[$fill$radius]}" "${fps[$fill$radius]}" "${same[$fill$radius]}"
      if [ "${same[$fill$radius]}" != yes ]; then
        qb_note "warning: $name $fill r$radius: --threads 2 output differs from --threads 1"
      fi
    done
  done
  if [[ " ${qb_strip_clips[*]} " == *" $key "* ]]; then
    local -a strip_films=()
    for fill in "${qb_fills[@]}"; do strip_films+=("$qb_out/$key-$fill-r${qb_radii[0]}-t1.mkv"); done
    qb_strip "$clip" "$key" "${strip_films[@]}"
  fi
  # The outputs are large (FFV1); the logs and metrics stay.
  for fill in "${qb_fills[@]}"; do for radius in "${qb_radii[@]}"; do rm -f "$qb_out/$key-$fill-r$radius-t1.mkv"; done; done
}

# The fills the build has, into qb_fills, with their flags. The temporal fill is measured once
# the build lists --fill; until then the spatial fill runs without the flag (its output then is
# today's) and the temporal rows say n/a. WINDOW, when given, goes to the temporal fill.
qb_detect_fills() {
  local window=$1 help
  help=$("$qb_subremove" --help 2>&1 || true)
  qb_fills=(spatial) qb_flags_spatial=() qb_flags_temporal=()
  if grep -q -- '--fill' <<< "$help"; then
    qb_fills=(spatial temporal) qb_flags_spatial=(--fill spatial) qb_flags_temporal=(--fill temporal)
    [ -n "$window" ] && qb_flags_temporal+=(--temporal-window "$window")
  else
    qb_note "$qb_subremove has no --fill: the spatial fill alone (today's output), temporal n/a"
  fi
  return 0
}

qb_main() {
  qb_subremove=$qb_root/build/default/subremove
  qb_metrics=$qb_root/build/default/bench/quality_metrics
  local quick=0 radii=5 window= clips=$qb_root/build/quality-clips
  qb_runs=1
  qb_out=$qb_root/build/quality-bench
  while [ $# -gt 0 ]; do
    case $1 in
      --subremove) [ $# -ge 2 ] || qb_usage; qb_subremove=$2; shift 2 ;;
      --metrics) [ $# -ge 2 ] || qb_usage; qb_metrics=$2; shift 2 ;;
      --quick) quick=1; shift ;;
      --radius) [[ ${2:-} =~ ^([0-9]|10)(,([0-9]|10))*$ ]] || qb_usage; radii=$2; shift 2 ;;
      --window) [[ ${2:-} =~ ^[1-9][0-9]*$ ]] || qb_usage; window=$2; shift 2 ;;
      --runs) [[ ${2:-} =~ ^[1-9][0-9]*$ ]] || qb_usage; qb_runs=$2; shift 2 ;;
      --clips) [ $# -ge 2 ] || qb_usage; clips=$2; shift 2 ;;
      --out) [ $# -ge 2 ] || qb_usage; qb_out=$2; shift 2 ;;
      -h|--help) qb_usage ;;
      *) echo "quality_bench: unknown argument $1" >&2; qb_usage ;;
    esac
  done
  [ -x "$qb_subremove" ] || { echo "quality_bench: no subremove at $qb_subremove" >&2; exit 2; }
  [ -x "$qb_metrics" ] || { echo "quality_bench: no quality_metrics at $qb_metrics" >&2; exit 2; }
  local f
  for f in "$qc_photos"/{Garden,Aqua,Storm,LadyBird,GreenMeadow,YellowFlower,Dune,TwoWings}.jpg "$qc_fonts/DejaVuSans-Bold.ttf"; do
    [ -f "$f" ] || { qb_note "$f is missing (Debian packages mate-backgrounds, fonts-dejavu-core)"; exit 77; }
  done
  for f in ffmpeg ffprobe convert awk cmp; do command -v "$f" > /dev/null || qb_die "$f is missing"; done
  IFS=, read -r -a qb_radii <<< "$radii"

  qb_detect_fills "$window"

  local sd=720x576 hd=1920x1080 sd_frames=150 hd_frames=120
  if [ $quick = 1 ]; then sd=480x384 hd=640x360 sd_frames=16 hd_frames=12; fi
  qb_strip_clips=("pan-$sd" "object-$sd")
  mkdir -p "$clips" "$qb_out"
  local load_start kind
  load_start=$(cut -d' ' -f1-3 /proc/loadavg)
  for kind in pan zoom grain object cut; do
    qc_make_clip $kind ${sd%x*} ${sd#*x} $sd_frames "$clips/$kind-$sd-$sd_frames"
    qb_note "measuring $kind $sd"
    qb_clip "$kind $sd" "$clips/$kind-$sd-$sd_frames" $sd_frames
  done
  qc_make_clip hdpan ${hd%x*} ${hd#*x} $hd_frames "$clips/hdpan-$hd-$hd_frames"
  qb_note "measuring pan $hd"
  qb_clip "pan $hd" "$clips/hdpan-$hd-$hd_frames" $hd_frames

  echo "subremove: $qb_subremove; $(nproc) cores; load average at start $load_start, at end $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "PSNR and flicker on luma; $sd_frames frames at $sd, $hd_frames at $hd; times: median of $qb_runs run(s)"
  echo
  echo "| clip | fill | PSNR damaged | PSNR box+8 | flicker | ms/frame t1 | fps t2 | damage untouched |"
  echo "|---|---|---|---|---|---|---|---|"
  printf '%s\n' "${qb_rows[@]}"
  echo
  printf '%s\n' "${qb_lines[@]}"
  [ $qb_failures = 0 ] || qb_die "$qb_failures check(s) failed"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then qb_main "$@"; fi
