#!/usr/bin/env bash
# The temporal fill's speed against the spatial fill's, on the removal-quality benchmark's 720x576
# clips (grain, zoom, pan; bench/quality_clips.sh makes them into build/quality-clips/).
#
# What it measures: the wall time of `subremove --threads T --radius R` into FFV1 (.mkv) over the
# whole clip, once with --fill spatial and once with --fill temporal, alternating (spatial,
# temporal, spatial, temporal, ...) for N rounds per clip, so that a shared machine's drift falls
# on both fills alike. For each clip it prints the median wall time of each fill and the temporal
# fill's rate as a share of the spatial fill's: the median over the rounds of
# spatial time / temporal time (the same clip, so frame counts cancel). Only that ratio means much
# on a noisy machine; the times are for orientation. The load average is printed before and after.
#
# Usage: bench/fill_speed.sh [--subremove PATH] [--against PATH] [--clips DIR] [--rounds N]
#                            [--threads T] [--radius R] [--out DIR] [CLIP...]
#   --subremove PATH  the build to time (default: build/default/subremove of this tree)
#   --against PATH    an older build whose temporal fill runs in the same rounds, right after the
#                     other's, for a before/after on the same drift (its own module beside it)
#   --clips DIR       the clip cache (default: build/quality-clips of this tree); clips are read
#                     only, and must have been made (bench/quality_bench.sh makes them)
#   --rounds N        alternating rounds per clip (default 3)
#   --threads T       subremove's --threads (default 2)
#   --radius R        subremove's --radius (default 5)
#   --out DIR         where the outputs go (default: a temporary folder, removed at the end)
#   CLIP...           clip names (default: grain zoom pan), each DIR/NAME-720x576-150
# Prints a markdown table and one `fill_speed: clip=... spatial_s=... temporal_s=... ratio=...`
# line per clip. Status 0 when every run succeeded, 1 when one failed, 2 for a bad command line.
set -euo pipefail
export LC_ALL=C

fs_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
fs_subremove=$fs_root/build/default/subremove
fs_clips=$fs_root/build/quality-clips
fs_rounds=3
fs_threads=2
fs_radius=5
fs_out=
fs_against=
fs_names=()

fs_usage() { sed -n 's/^# \{0,1\}//; 13,26p' "${BASH_SOURCE[0]}" >&2; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --subremove) fs_subremove=${2:?}; shift 2 ;;
    --against) fs_against=${2:?}; shift 2 ;;
    --clips) fs_clips=${2:?}; shift 2 ;;
    --rounds) fs_rounds=${2:?}; shift 2 ;;
    --threads) fs_threads=${2:?}; shift 2 ;;
    --radius) fs_radius=${2:?}; shift 2 ;;
    --out) fs_out=${2:?}; shift 2 ;;
    -h|--help) fs_usage ;;
    -*) echo "fill_speed: unknown option $1" >&2; fs_usage ;;
    *) fs_names+=("$1"); shift ;;
  esac
done
[ ${#fs_names[@]} -gt 0 ] || fs_names=(grain zoom pan)
[[ $fs_rounds =~ ^[1-9][0-9]*$ ]] || { echo "fill_speed: --rounds wants a positive count" >&2; exit 2; }
[ -x "$fs_subremove" ] || { echo "fill_speed: no subremove at $fs_subremove" >&2; exit 1; }
[ -z "$fs_against" ] || [ -x "$fs_against" ] || { echo "fill_speed: no subremove at $fs_against" >&2; exit 1; }

if [ -z "$fs_out" ]; then
  fs_out=$(mktemp -d)
  trap 'rm -rf "$fs_out"' EXIT
fi
mkdir -p "$fs_out"

# Runs one fill on CLIP with BUILD; prints the wall time in seconds. A failed run ends the script.
fs_run() {
  local clip=$1 fill=$2 name=$3 build=${4:-$fs_subremove} start end
  local out=$fs_out/$name-$fill.mkv log=$fs_out/$name-$fill.log
  rm -f "$out"
  start=$EPOCHREALTIME
  "$build" -q -y --threads "$fs_threads" --radius "$fs_radius" --fill "$fill" \
    -x "$clip/subs/clip.bms" "$clip/burnt.mkv" "$out" > "$log" 2>&1 ||
    { echo "fill_speed: $fill failed on $clip" >&2; sed 's/^/  /' "$log" >&2; exit 1; }
  end=$EPOCHREALTIME
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f\n", e - s }'
}

fs_median() {
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
    if (NR % 2) printf "%.4f\n", v[(NR + 1) / 2]; else printf "%.4f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

echo "fill_speed: $fs_subremove, --threads $fs_threads --radius $fs_radius, $fs_rounds rounds; load before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
if [ -n "$fs_against" ]; then
  echo "| clip | spatial s | temporal s | temporal/spatial rate | older temporal s | older rate | rounds |"
  echo "|---|---|---|---|---|---|---|"
else
  echo "| clip | spatial s | temporal s | temporal/spatial rate | rounds |"
  echo "|---|---|---|---|---|"
fi
fs_lines=()
for name in "${fs_names[@]}"; do
  clip=$fs_clips/$name-720x576-150
  [ -f "$clip/ready" ] && [ -f "$clip/burnt.mkv" ] ||
    { echo "fill_speed: no clip at $clip (bench/quality_bench.sh makes it)" >&2; exit 1; }
  spatial=() temporal=() ratios=() older=() olderRatios=()
  for ((r = 0; r < fs_rounds; ++r)); do
    s=$(fs_run "$clip" spatial "$name")
    t=$(fs_run "$clip" temporal "$name")
    spatial+=("$s") temporal+=("$t")
    ratios+=("$(awk -v s="$s" -v t="$t" 'BEGIN { printf "%.4f\n", s / t }')")
    if [ -n "$fs_against" ]; then
      o=$(fs_run "$clip" temporal "$name" "$fs_against")
      older+=("$o")
      olderRatios+=("$(awk -v s="$s" -v t="$o" 'BEGIN { printf "%.4f\n", s / t }')")
    fi
  done
  ms=$(fs_median "${spatial[@]}") mt=$(fs_median "${temporal[@]}") mr=$(fs_median "${ratios[@]}")
  line="fill_speed: clip=$name spatial_s=$ms temporal_s=$mt ratio=$mr ratios=$(IFS=,; echo "${ratios[*]}")"
  if [ -n "$fs_against" ]; then
    mo=$(fs_median "${older[@]}") mor=$(fs_median "${olderRatios[@]}")
    printf '| %s | %.2f | %.2f | %.3f | %.2f | %.3f | %s |\n' "$name" "$ms" "$mt" "$mr" "$mo" "$mor" "$fs_rounds"
    line+=" older_temporal_s=$mo older_ratio=$mor older_ratios=$(IFS=,; echo "${olderRatios[*]}")"
  else
    printf '| %s | %.2f | %.2f | %.3f | %s |\n' "$name" "$ms" "$mt" "$mr" "$fs_rounds"
  fi
  fs_lines+=("$line")
done
echo
printf '%s\n' "${fs_lines[@]}"
echo "fill_speed: load after: $(cut -d' ' -f1-3 /proc/loadavg)"
