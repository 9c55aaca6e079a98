# shellcheck shell=bash
# Shell helpers that the detection benchmarks (bench/detect_bench.sh, bench/real_bench.sh) share:
# reading detect_metrics' key=value lines, wall-clock timing, and the scoring of found ranges.
# Sourced, not run; every name starts with dc_.

# VALUE of KEY=VALUE in the line on standard input.
dc_value() { sed -n "s/.*\<$1=\([^ ]*\).*/\1/p"; }

# Runs the command after VAR and sets VAR to its wall time in seconds; the command's status is
# returned, so that `dc_timed t cmd || die` works under set -e.
dc_timed() {
  local -n dc_seconds_out=$1; shift
  local start=$EPOCHREALTIME status=0
  "$@" || status=$?
  dc_seconds_out=$(awk -v s="$start" -v e="$EPOCHREALTIME" 'BEGIN { printf "%.3f", e - s }')
  return $status
}

# Frames per second of FRAMES in SECONDS, one decimal.
dc_fps() { awk -v n="$1" -v t="$2" 'BEGIN { printf "%.1f", (t > 0 ? n / t : 0) }'; }

# Scores FOUND.bms against TRUE.bms with METRICS: each subtitle's line goes to standard error
# prefixed with PREFIX, the summary line (subtitles= found= matched= exact= ...) to standard output.
dc_ranges() {
  local metrics=$1 prefix=$2 truth=$3 found=$4 out
  out=$("$metrics" ranges "$truth" "$found")
  sed "s/^/$prefix: /" <<< "$out" >&2
  tail -1 <<< "$out"
}
