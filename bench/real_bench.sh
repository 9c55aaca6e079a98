#!/usr/bin/env bash
# Real-footage benchmark: subremove's detection, masks and removal on camera clips with subtitles
# burnt in by libass (FFmpeg's `ass` filter), measured against the clean clips.
#
# Clips: the footage folder's files (read in place, never copied into the tree), each trimmed to at
# most 300 frames at its own size and rate; the 1200x1200 one is scaled to 720x720 to keep the run
# short. A style a clip, so that each style meets another background: white with an outline (two
# lines, back to back, gaps of 3 and 2 frames) over a pan; yellow with an outline and italics over
# letter blocks (1280x720); a soft blurred shadow without an outline over a speckled counter; top
# placement over a valley; fades over a dark drawing; a translucent box (56 %) over a still camera;
# Chinese with a light 1-pixel translucent shadow; two subtitles at once (top and bottom) with
# italics. The letter blocks and a printed shirt are also run without subtitles: nothing may be
# found there.
#
# Truth, from the pixels:
#   damage   a pixel is damaged where the burn could change a picture by more than 2 levels (the
#            subtitles drawn in white over black exceed 2 there: the most any picture can change,
#            so white text over a white wall counts, and so do faint anti-aliasing and the ends of
#            a fade) or did change this one by more than 2 in any Y, U or V sample (the burn tints
#            the chroma of a glyph's whole 2x2 block). The `ass` filter's alpha output is not used:
#            it writes about the square of the opacity (80 for a 56 % box), so it misses faint
#            pixels that the burn changes. A change of 2 levels or less is not seen.
#   ranges   each subtitle starts at the first ASS time (centiseconds) after the timestamp of the
#            frame before its first and ends at the last before the timestamp of the frame after
#            its last, so libass shows it on exactly frames first..last, a fade's ends as brightly
#            as they can be; subtitles on screen together give one entry per run of frames, as
#            an index holds them.
#   files    the true index and graymaps, as the recognition tool writes them: the fill alone (no
#            outline, shadow or box) at its strongest over the entry, with a 2-pixel border.
#   box      a box subtitle's box drawn alone (its text transparent): the box's pixels.
# quality_metrics checks the truth on every clip: the index covers exactly the frames with damage,
# and every graymap pixel lies on damage; a failed check fails the run.
#
# Per clip: subtitles (index entries), found, both ends exact, within ±2 frames, false entries;
# the removal mask (--mode mask) of the one command (the subtitles it finds, with their own
# widenings) and of the true files at --radius auto: the share of the damaged pixels it covers and
# its area over theirs; luma PSNR over the damaged pixels of
# the burnt film, of the one-command path, and of the true files with the spatial and the temporal
# fill at the same radius (default auto); for a box, PSNR over the box's pixels as well; frames/s
# of detection (`--detect DIR INPUT`) and of the whole one-command path into FFV1, wall time with
# decoding. Then one line a goal. Films go to subremove as x264 at CRF 16.
#
# Cost: about 5 minutes on 2 cores once the clips are made (they are cached in the work folder and
# remade when their recipe changes; making them takes about 2 to 3 minutes more); --quick about a
# minute. Disk: about 400 MB in the work folder. Speeds are wall time: other work on the machine
# lowers them (by up to half between two runs on a shared machine).
#
# Usage: bench/real_bench.sh [--quick] [--footage DIR] [--clips NAME,...] [--subremove PATH]
#                            [--metrics PATH] [--quality-metrics PATH] [--work DIR]
#                            [--path 'ARGS'] [--path-fill spatial|temporal] [--radius R]
#   --quick            three short clips (soft shadow, top, a shirt without subtitles): a smoke test
#   --footage DIR      the real clips (default: ../shared/footage beside the tree's root)
#   --clips LIST       only these clips, comma-separated
#   --path 'ARGS'      the one-command path's arguments after subremove; {in}, {out} and {dir} are
#                      the film, the output (.mkv) and a folder for found files (default
#                      '-q -y {in} {out}'; '-q -y --detect {dir} -i {in} {out}' writes the files)
#   --path-fill F      the fill the one-command path uses, set against the true files' with the
#                      same fill (default temporal, as `subremove IN OUT`; spatial after --detect)
#   --radius R         the true files' radius for both fills (default auto)
# Prints a markdown table, then one `real_bench:` line a figure and a goal. Status 0 when every run
# and truth check passed (goals unmet are figures, not failures), 1 otherwise, 2 for a bad command
# line, 77 when the footage or the fonts are missing.
set -euo pipefail
export LC_ALL=C

rb_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=detect_common.sh
source "$rb_root/bench/detect_common.sh"

rb_note() { echo "real_bench: $*" >&2; }
rb_die() { echo "real_bench: $*" >&2; exit 1; }
rb_usage() { sed -n '/^# Usage/,/^#   --radius/s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" >&2; exit 2; }

# name | footage file | first frame | frames | scale (W:H or -) | what the subtitles test |
# subtitles: first-last:Style:text, ';' between them ('\N' a line break, {\...} ASS tags).
rb_clips=(
  'bedroom|bedroom.mp4|0|200|-|white outline, two lines, back to back, gaps of 3 and 2|6-59:White:Jump higher!\NYou can touch the ceiling.;60-104:White:Not on the pillows.;108-150:White:Mum says it is fine.;153-196:White:Mum is not here.'
  'blocks|blocks.mp4|0|292|-|yellow outline, italics|10-75:Yellow:Put the A next to the M.;90-160:Yellow:{\i1}Sam? Who is Sam?;175-250:Yellow:Nobody. It is just a word.\N{\i1}Or is it?;262-287:Yellow:Next one.'
  'apple|apple.mp4|0|50|-|soft shadow, no outline|3-22:Soft:It is only an apple.;27-46:Soft:Then why are you filming it?'
  'paragliding|paragliding.mp4|0|70|-|top placement|4-32:Top:Hold the left line.;38-66:Top:Now let go, gently.'
  'square_dark|square_dark.mp4|600|300|720:720|fades, dark drawing (scaled from 1200x1200)|10-100:White:{\fad(250,250)}One line drew the mountains.;120-200:White:{\fad(250,250)}Then the clouds came.;215-290:White:{\fad(250,250)}And the sun, all at once.'
  'bottles|bottles.mp4|0|300|-|translucent box, still camera|8-80:Box:Three bottles on the belt.;95-170:Box:One of them is leaking,\Nbut which one?;185-290:Box:Watch the hand.'
  'pillow|pillow.mp4|0|149|-|Chinese, light 1-pixel shadow|5-40:CJK:这个枕头是新的吗？;48-90:CJK:不是，是我奶奶的。;98-140:CJK:我们明天再洗吧。'
  'backpack|backpack.mp4|0|87|-|two at once (top, bottom), italics|5-80:Top:{\i1}Platform 2{\i0};20-50:White:Is it heavy?;56-80:White:{\i1}Only my whole life.'
  'blocks_none|blocks.mp4|0|292|-|no subtitles: letter blocks|'
  'teddy_none|teddy.mp4|0|142|-|no subtitles: printed shirt|'
)
rb_quick_clips=(apple paragliding teddy_none)
rb_quick_frames=60

# ASS style lines for a WxH picture. MODE: burn (as burnt in), white (every colour white, its
# opacity kept: drawn over black it shows where the burn can change a pixel), fill (white, no
# outline, shadow or box: the graymaps' source) or box (only the box, white).
rb_styles() {
  local w=$1 h=$2 mode=$3 b
  b=$((w < h ? w : h))
  local size=$((b * 6 / 100)) margin=$((h * 5 / 100)) line soft
  line=$(awk -v b=$b 'BEGIN { printf "%.1f", b / 250 }')
  soft=$(awk -v b=$b 'BEGIN { printf "%.1f", b / 180 }')
  #        name   font               size               primary     outline     back        bold border outline  shadow align
  rb_style White  "DejaVu Sans"      $size              '&H00FFFFFF' '&H00000000' '&H00000000' 1 1 "$line" 0 2
  rb_style Top    "DejaVu Sans"      $size              '&H00FFFFFF' '&H00000000' '&H00000000' 1 1 "$line" 0 8
  rb_style Yellow "DejaVu Sans"      $((b * 65 / 1000)) '&H0000FFFF' '&H00000000' '&H80000000' 0 1 "$line" 1 2
  rb_style Soft   "DejaVu Sans"      $size              '&H00FFFFFF' '&HFF000000' '&H60000000' 1 1 1 "$soft" 2
  rb_style CJK    "Noto Sans CJK SC" $((b * 7 / 100))   '&H00F0F0F0' '&H00000000' '&H80000000' 0 1 0 1 2
  rb_style Box    "DejaVu Sans"      $size              '&H00FFFFFF' '&HFF000000' '&H70000000' 0 4 "$line" 0 2
}

# One style line; the mode (rb_styles' `mode`) rewrites colours and borders.
rb_style() {
  local name=$1 font=$2 size=$3 primary=$4 outline_colour=$5 back=$6 bold=$7 border=$8 outline=$9 shadow=${10} align=${11}
  case $mode in
    white|fill|box)
      primary=${primary:0:4}FFFFFF outline_colour=${outline_colour:0:4}FFFFFF back=${back:0:4}FFFFFF ;;&
    fill) border=1 outline=0 shadow=0 ;;
    box) primary='&HFFFFFFFF' outline_colour='&HFFFFFFFF'; [ "$border" = 4 ] || back='&HFFFFFFFF' ;;
  esac
  printf 'Style: %s,%s,%s,%s,%s,%s,%s,%s,0,0,0,100,100,0,0,%s,%s,%s,%s,%s,%s,%s,1\n' "$name" "$font" "$size" \
    "$primary" "$primary" "$outline_colour" "$back" "$bold" "$border" "$outline" "$shadow" "$align" "$margin" "$margin" "$margin"
}

# ASS time (H:MM:SS.cc) of a millisecond count that is a multiple of 10.
rb_ass_time() {
  local cs=$(($1 / 10))
  printf '%d:%02d:%02d.%02d' $((cs / 360000)) $((cs / 6000 % 60)) $((cs / 100 % 60)) $((cs % 100))
}

# ASS times in ms (10 ms steps) from frame times (rb_ms): the earliest start that shows frame F but
# not F-1, and the latest end that shows frame F-1 but not F. The filter truncates timestamp x
# time base, which may fall 1 ms short, hence the margins. Past the last frame any end will do.
rb_from_ms() {
  local f=$1 t
  ((f > 0)) || { echo 0; return; }
  t=$(((rb_ms[f - 1] + 10) / 10 * 10))
  ((f >= ${#rb_ms[@]} || t <= rb_ms[f] - 1)) || rb_die "no ASS time between frames $((f - 1)) and $f"
  echo $t
}
rb_until_ms() {
  local f=$1 t
  ((f < ${#rb_ms[@]})) || { echo $(((rb_ms[f - 1] + 1000) / 10 * 10)); return; }
  t=$(((rb_ms[f] - 1) / 10 * 10))
  ((t >= rb_ms[f - 1] + 1)) || rb_die "no ASS time between frames $((f - 1)) and $f"
  echo $t
}

# Writes an ASS file for W H MODE with the clip's subtitles (rb_events: "first last style text").
rb_write_ass() {
  local file=$1 w=$2 h=$3 mode=$4 first last style text
  {
    printf '[Script Info]\nScriptType: v4.00+\nPlayResX: %d\nPlayResY: %d\nScaledBorderAndShadow: yes\nWrapStyle: 0\n\n' "$w" "$h"
    printf '[V4+ Styles]\nFormat: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding\n'
    rb_styles "$w" "$h" "$mode"
    printf '\n[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n'
    for event in "${rb_events[@]}"; do
      read -r first last style text <<< "$event"
      # The soft shadow's blur is the shadow's: the fill alone is crisp.
      [ "$mode" = fill ] && text=$(sed 's/\\blur[0-9.]*//g' <<< "$text")
      printf 'Dialogue: 0,%s,%s,%s,,0,0,0,,%s\n' "$(rb_ass_time "$(rb_from_ms "$first")")" \
        "$(rb_ass_time "$(rb_until_ms $((last + 1)))")" "$style" "$text"
    done
  } > "$file"
}

# The clip's subtitles into rb_events, clipped to FRAMES; the soft style gets its blur tag here.
rb_parse_events() {
  local subs=$1 frames=$2 entry range rest first last style text
  rb_events=()
  local -a entries=()
  [ -n "$subs" ] && IFS=';' read -r -a entries <<< "$subs"
  for entry in "${entries[@]}"; do
    range=${entry%%:*} rest=${entry#*:}
    style=${rest%%:*} text=${rest#*:}
    first=${range%-*} last=${range#*-}
    ((first < frames)) || continue
    ((last < frames)) || last=$((frames - 1))
    [ "$style" = Soft ] && text="{\\blur$(awk -v b="$rb_base" 'BEGIN { printf "%.1f", b / 180 }')}$text"
    rb_events+=("$first $last $style $text")
  done
}

# The true index: one entry per run of frames with the same subtitles on screen (places 0,0;
# detect_metrics truth fills them in with the graymaps).
rb_true_index() {
  local -a bounds=() entries=()
  local event first last style text i k from
  for event in "${rb_events[@]}"; do
    read -r first last style text <<< "$event"
    bounds+=("$first" $((last + 1)))
  done
  mapfile -t bounds < <(printf '%s\n' "${bounds[@]}" | sort -nu)
  for ((i = 0; i + 1 < ${#bounds[@]}; ++i)); do
    from=${bounds[i]}
    for event in "${rb_events[@]}"; do
      read -r first last style text <<< "$event"
      if ((first <= from && from <= last)); then entries+=("$from,$((bounds[i + 1] - 1))"); break; fi
    done
  done
  echo ${#entries[@]}
  for ((k = 0; k < ${#entries[@]}; ++k)); do echo "$((k + 1)),${entries[k]},0,0"; done
}

# The clip's frame times in ms (the filter's clock), from the clean film's packets, into rb_ms.
rb_frame_times() {
  mapfile -t rb_ms < <(ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 "$1" |
    sort -g | awk '{ printf "%d\n", $1 * 1000 + 0.5 }')
}

# The subtitles of ASS drawn over black (rgb24), one 8-bit plane a frame, on standard output.
rb_render() {
  ffmpeg -nostdin -v error -i clean.mkv -vf "format=rgb24,lutrgb=r=0:g=0:b=0,ass=$1,extractplanes=g" -f rawvideo -
}

# The clean clip: the footage's frames FIRST.. (at most FRAMES), scaled to SCALE, in FFV1.
rb_make_clean() {
  local source=$1 first=$2 frames=$3 scale=$4 key
  key="$source|$first|$frames|$scale"
  [ -f clean.mkv ] && [ "$(cat clean.key 2> /dev/null)" = "$key" ] && return 0
  local filter="trim=start_frame=$first,setpts=PTS-STARTPTS"
  [ "$scale" != - ] && filter+=",scale=$scale:flags=lanczos"
  ffmpeg -nostdin -v error -y -i "$rb_footage/$source" -vf "$filter" -frames:v "$frames" -fps_mode passthrough -an \
    -c:v ffv1 -pix_fmt yuv420p clean.mkv
  echo "$key" > clean.key
  rm -f burn.key
}

# The burnt film, the damage, the true files and a box's pixels, unless made from the same ASS.
rb_make_burn() {
  local w=$1 h=$2 frames=$3 key
  local mode
  for mode in burn white fill box; do rb_write_ass $mode.ass "$w" "$h" $mode; done
  key=$(cat burn.ass white.ass fill.ass box.ass | md5sum)
  [ -f film.mkv ] && [ "$(cat burn.key 2> /dev/null)" = "$key" ] && return 0
  rm -rf true damage.mkv box.mkv
  mkdir true
  local burn=null
  [ ${#rb_events[@]} = 0 ] || burn=ass=burn.ass
  ffmpeg -nostdin -v error -y -i clean.mkv -vf "$burn" -fps_mode passthrough -c:v libx264 -crf 16 -preset fast \
    -pix_fmt yuv420p film.mkv
  rb_true_index > true/subs.bms
  if [ ${#rb_events[@]} != 0 ]; then
    rb_make_damage "$w" "$h" "$frames"
    "$rb_metrics" truth "$w" "$h" <(rb_render fill.ass) true/subs.bms
    if grep -q '^Dialogue: [^,]*,[^,]*,[^,]*,Box,' burn.ass; then
      rb_render box.ass | ffmpeg -nostdin -v error -y -f rawvideo -pix_fmt gray -s "${w}x$h" -i - -c:v ffv1 box.mkv
    fi
  fi
  echo "$key" > burn.key
}

rb_make_damage() {
  local w=$1 h=$2 frames=$3 summary
  "$rb_metrics" damage "$w" "$h" <(ffmpeg -nostdin -v error -i clean.mkv -f rawvideo -pix_fmt yuv420p -) \
    <(ffmpeg -nostdin -v error -i clean.mkv -vf ass=burn.ass -f rawvideo -pix_fmt yuv420p -) <(rb_render white.ass) - \
    2> damage.txt | ffmpeg -nostdin -v error -y -f rawvideo -pix_fmt gray -s "${w}x$h" -i - -c:v ffv1 damage.mkv
  summary=$(cat damage.txt)
  [ "$(dc_value frames <<< "$summary")" = "$frames" ] || rb_die "damage of $PWD has not $frames frames: $summary"
}

# subremove ARGS..., its messages into LOG; a failure ends the benchmark with them.
rb_subremove() {
  local log=$1; shift
  "$rb_subremove" "$@" > "$log" 2>&1 || { rb_note "failed: subremove $*"; sed 's/^/  /' "$log" >&2; exit 1; }
}

# The one-command path's arguments with {in}, {out} and {dir} put in, into rb_path_args.
rb_path_args() {
  local -a words
  read -r -a words <<< "$rb_path"
  rb_path_args=()
  local word
  for word in "${words[@]}"; do
    word=${word//\{in\}/film.mkv} word=${word//\{out\}/path.mkv} word=${word//\{dir\}/path_found}
    rb_path_args+=("$word")
  done
}

# Coverage and area of MASK.mkv (subremove's mask mode) over the damage: "coverage area".
rb_coverage() {
  local w=$1 h=$2 mask=$3 line
  line=$("$rb_metrics" coverage "$w" "$h" <(ffmpeg -nostdin -v error -i damage.mkv -f rawvideo -pix_fmt gray -) \
    <(ffmpeg -nostdin -v error -i "$mask" -vf extractplanes=y -f rawvideo -))
  echo "$(dc_value coverage <<< "$line") $(dc_value area <<< "$line")"
}

# The mask with INDEX at --radius auto into rb_cov and rb_area; 0 and 0 when the index is empty
# (the mask mode would pass the frames through). With the found index, the mask is the one command's
# own (--mode mask without an index: the subtitles found again, with the widenings that come with
# them), as the path removes it.
rb_mask() {
  local w=$1 h=$2 index=$3 out=$4 line
  rb_cov=0.0000 rb_area=0.00
  [ "$(head -1 "$index")" = 0 ] && return 0
  if [ "$index" = found/subs.bms ]; then
    rb_subremove "$out.log" -q -y --mode mask film.mkv "$out.mkv"
  else
    rb_subremove "$out.log" -q -y -x "$index" --mode mask --radius auto film.mkv "$out.mkv"
  fi
  line=$(rb_coverage "$w" "$h" "$out.mkv")
  read -r rb_cov rb_area <<< "$line"
  [ -n "$rb_area" ] || rb_die "no coverage of $out.mkv in $PWD"
  rm -f "$out.mkv"
}

rb_failures=0
rb_check() {
  local what=$1; shift
  awk "BEGIN { exit !($*) }" || { rb_note "check failed: $what"; rb_failures=$((rb_failures + 1)); }
}

# PSNR over TRUTH (damage.mkv, or a box's pixels box.mkv) of the burnt film, the path and the
# true files' fills, into rb_psnr (burnt path spatial temporal). Over the damage the truth itself is
# checked as well.
rb_psnr() {
  local name=$1 truth=$2 report line k
  local -a index=()
  [ "$truth" = damage.mkv ] && index=(--index true/subs.bms)
  report=$("$rb_quality" --clean clean.mkv --truth "$truth" "${index[@]}" --burnt burnt burnt=film.mkv path=path.mkv \
    spatial=true_spatial.mkv temporal=true_temporal.mkv) || rb_die "quality_metrics failed on $name"
  if [ ${#index[@]} != 0 ]; then
    line=$(grep '^quality_metrics: index ' <<< "$report")
    rb_check "$name: the true index covers exactly the frames with damage" "$(dc_value coverage_mismatches <<< "$line") == 0"
    rb_check "$name: every true graymap pixel lies on damage" "$(dc_value graymap_pixels_off_damage <<< "$line") == 0"
  fi
  rb_psnr=()
  for k in burnt path spatial temporal; do rb_psnr+=("$(grep "name=$k " <<< "$report" | dc_value psnr_damaged)"); done
}

# Detection and the one-command path, timed, into rb_detect_fps, rb_path_fps and rb_ranges (the
# ranges' summary line).
rb_detect() {
  local name=$1 frames=$2 seconds
  dc_timed seconds "$rb_subremove" -q -y --detect found film.mkv > detect.log 2>&1 ||
    { sed 's/^/  /' detect.log >&2; rb_die "subremove --detect failed on $name"; }
  rb_detect_fps=$(dc_fps "$frames" "$seconds")
  rb_path_args
  rm -rf path_found
  dc_timed seconds "$rb_subremove" "${rb_path_args[@]}" > path.log 2>&1 ||
    { sed 's/^/  /' path.log >&2; rb_die "the one-command path failed on $name: subremove ${rb_path_args[*]}"; }
  rb_path_fps=$(dc_fps "$frames" "$seconds")
  rb_ranges=$(dc_ranges "$rb_metrics" "real_bench: $name" true/subs.bms found/subs.bms)
}

# Totals over the clips for the goals.
rb_sum_subs=0 rb_sum_matched=0 rb_sum_exact=0 rb_sum_within2=0 rb_false_none=0 rb_false_subs=0
rb_cov_min=- rb_area_max=0 rb_cov_true_min=- rb_area_true_max=0 rb_delta_min=- rb_fps720_detect=- rb_fps720_path=-
rb_min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "-" || b + 0 < a + 0) ? b : a }'; }
rb_max() { awk -v a="$1" -v b="$2" 'BEGIN { print (b + 0 > a + 0) ? b : a }'; }

rb_add_totals() {
  local subs=$1 matched=$2 exact=$3 within2=$4 falses=$5 w=$6 h=$7 box=$8
  if [ "$subs" = 0 ]; then rb_false_none=$((rb_false_none + falses)); else rb_false_subs=$((rb_false_subs + falses)); fi
  rb_sum_subs=$((rb_sum_subs + subs)) rb_sum_matched=$((rb_sum_matched + matched))
  rb_sum_exact=$((rb_sum_exact + exact)) rb_sum_within2=$((rb_sum_within2 + within2))
  # 720 lines (1280 or 1296 wide); the path's speed only where it has subtitles to remove.
  if [ "$h" = 720 ]; then
    rb_fps720_detect=$(rb_min "$rb_fps720_detect" "$rb_detect_fps")
    [ "$subs" = 0 ] || rb_fps720_path=$(rb_min "$rb_fps720_path" "$rb_path_fps")
  fi
  [ "$subs" = 0 ] && return 0
  rb_delta_min=$(rb_min "$rb_delta_min" "$rb_delta")
  # Boxes are to be found here, not yet covered: their masks stay out of the coverage goal.
  [ "$box" = 1 ] && return 0
  rb_cov_min=$(rb_min "$rb_cov_min" "$rb_cov_found") rb_area_max=$(rb_max "$rb_area_max" "$rb_area_found")
  rb_cov_true_min=$(rb_min "$rb_cov_true_min" "$rb_cov_true") rb_area_true_max=$(rb_max "$rb_area_true_max" "$rb_area_true")
}

rb_rows=() rb_lines=()
rb_figure() { rb_lines+=("real_bench: clip=$1 figure=$2 value=$3"); }

# Measures one clip in its folder (the current directory).
rb_measure() {
  local name=$1 w=$2 h=$3 frames=$4 what=$5 subs matched exact within2 falses
  rb_detect "$name" "$frames"
  subs=$(dc_value subtitles <<< "$rb_ranges") matched=$(dc_value matched <<< "$rb_ranges")
  exact=$(dc_value exact <<< "$rb_ranges") within2=$(dc_value within2 <<< "$rb_ranges") falses=$(dc_value false <<< "$rb_ranges")
  rb_cov_found=- rb_area_found=- rb_cov_true=- rb_area_true=- rb_delta=-
  local psnr=(- - - -) box=(- - - -) has_box=0
  if [ "$subs" != 0 ]; then
    rb_mask "$w" "$h" found/subs.bms mask_found && rb_cov_found=$rb_cov rb_area_found=$rb_area
    rb_mask "$w" "$h" true/subs.bms mask_true && rb_cov_true=$rb_cov rb_area_true=$rb_area
    rb_subremove spatial.log -q -y -x true/subs.bms --radius "$rb_radius" --fill spatial film.mkv true_spatial.mkv
    rb_subremove temporal.log -q -y -x true/subs.bms --radius "$rb_radius" --fill temporal film.mkv true_temporal.mkv
    rb_psnr "$name" damage.mkv
    psnr=("${rb_psnr[@]}")
    rb_check "$name: the burnt film is damaged (PSNR below 30 dB)" "${psnr[0]} < 30"
    if [ -f box.mkv ]; then rb_psnr "$name" box.mkv; box=("${rb_psnr[@]}"); has_box=1; fi
    local same=${psnr[2]}
    [ "$rb_path_fill" = temporal ] && same=${psnr[3]}
    rb_delta=$(awk -v p="${psnr[1]}" -v t="$same" 'BEGIN { printf "%+.2f", p - t }')
  fi
  rm -f path.mkv true_spatial.mkv true_temporal.mkv
  rb_add_totals "$subs" "$matched" "$exact" "$within2" "$falses" "$w" "$h" $has_box
  rb_rows+=("| $name | ${w}x$h, $frames | $what | $subs | $matched | $exact | $within2 | $falses | $rb_cov_found | $rb_area_found | $rb_cov_true | $rb_area_true | ${psnr[0]} | ${psnr[1]} | ${psnr[2]} | ${psnr[3]} | $rb_delta | ${box[1]} | ${box[2]} | ${box[3]} | $rb_detect_fps | $rb_path_fps |")
  local -A figures=([size]=${w}x$h [frames]=$frames [subtitles]=$subs [found]=$matched [exact]=$exact [within2]=$within2
    [false]=$falses [coverage_found]=$rb_cov_found [area_found]=$rb_area_found [coverage_true]=$rb_cov_true
    [area_true]=$rb_area_true [psnr_burnt]=${psnr[0]} [psnr_path]=${psnr[1]} [psnr_true_spatial]=${psnr[2]}
    [psnr_true_temporal]=${psnr[3]} [path_minus_true]=$rb_delta [box_psnr_path]=${box[1]}
    [box_psnr_true_spatial]=${box[2]} [box_psnr_true_temporal]=${box[3]} [detect_fps]=$rb_detect_fps [path_fps]=$rb_path_fps)
  local key
  for key in size frames subtitles found exact within2 false coverage_found area_found coverage_true area_true psnr_burnt \
    psnr_path psnr_true_spatial psnr_true_temporal path_minus_true box_psnr_path box_psnr_true_spatial \
    box_psnr_true_temporal detect_fps path_fps; do
    rb_figure "$name" $key "${figures[$key]}"
  done
}

# Makes and measures the clip of RECIPE in its own folder under the work folder.
rb_clip() {
  local name source first frames scale what subs
  IFS='|' read -r name source first frames scale what subs <<< "$1"
  [ "$rb_quick" = 1 ] && ((frames > rb_quick_frames)) && frames=$rb_quick_frames
  rb_note "clip $name"
  mkdir -p "$rb_work/$name"
  cd "$rb_work/$name"
  rb_make_clean "$source" "$first" "$frames" "$scale"
  local w h
  IFS=x read -r w h < <(ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0:s=x clean.mkv)
  frames=$(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets -of csv=p=0 clean.mkv)
  rb_frame_times clean.mkv
  rb_base=$((w < h ? w : h))
  rb_parse_events "$subs" "$frames"
  rb_make_burn "$w" "$h" "$frames"
  rb_measure "$name" "$w" "$h" "$frames" "$what"
  cd "$rb_root"
}

# One line a goal: NAME VALUE TARGET and whether CONDITION (awk) holds; none for a value of -.
rb_goal() {
  [ "$2" = - ] && return 0
  local met=no
  awk "BEGIN { exit !($4) }" && met=yes
  rb_lines+=("real_bench: goal=$1 value=$2 target=$3 met=$met")
}

rb_goals() {
  rb_goal false_without_subtitles "$rb_false_none" 0 "$rb_false_none == 0"
  rb_goal detect_fps_720p "$rb_fps720_detect" ">=25" "$rb_fps720_detect >= 25"
  rb_goal path_fps_720p "$rb_fps720_path" ">=10" "$rb_fps720_path >= 10"
  [ "$rb_sum_subs" = 0 ] && return 0
  local found exact
  found=$(awk -v m=$rb_sum_matched -v n=$rb_sum_subs 'BEGIN { printf "%.3f", m / n }')
  exact=$(awk -v m=$rb_sum_exact -v n=$rb_sum_subs 'BEGIN { printf "%.3f", m / n }')
  rb_goal subtitles_found "$found" ">=0.98" "$found >= 0.98"
  rb_goal both_ends_exact "$exact" ">=0.95" "$exact >= 0.95"
  rb_goal within2_all "$rb_sum_within2/$rb_sum_subs" all "$rb_sum_within2 == $rb_sum_subs"
  rb_goal false_with_subtitles "$rb_false_subs" 0 "$rb_false_subs == 0"
  rb_goal coverage_found_min "$rb_cov_min" ">=0.995" "$rb_cov_min >= 0.995"
  rb_goal area_found_max "$rb_area_max" "<=2.5" "$rb_area_max <= 2.5"
  rb_goal coverage_true_min "$rb_cov_true_min" ">=0.995" "$rb_cov_true_min >= 0.995"
  rb_goal area_true_max "$rb_area_true_max" "<=2.5" "$rb_area_true_max <= 2.5"
  rb_goal path_minus_true_min "$rb_delta_min" ">=-1" "$rb_delta_min >= -1"
}

rb_have_fonts() { [ -n "$(fc-list 'DejaVu Sans' family)" ] && [ -n "$(fc-list 'Noto Sans CJK SC' family)" ]; }

# Fonts through apt-get when missing and we may; else status 77.
rb_fonts() {
  rb_have_fonts && return 0
  if [ "$(id -u)" = 0 ] && command -v apt-get > /dev/null; then
    rb_note "installing fonts-dejavu-core and fonts-noto-cjk"
    apt-get -o DPkg::Lock::Timeout=600 install -y -q fonts-dejavu-core fonts-noto-cjk > /dev/null &&
      rb_have_fonts && return 0
  fi
  rb_note "the fonts DejaVu Sans and Noto Sans CJK SC are missing (fonts-dejavu-core, fonts-noto-cjk)"
  exit 77
}

rb_report() {
  echo "subremove: $rb_subremove; path: subremove ${rb_path_args[*]} (fill $rb_path_fill); true files at --radius $rb_radius"
  echo "$(nproc) cores; load average at start $1, at end $(cut -d' ' -f1-3 /proc/loadavg); $2 s in all"
  echo
  echo "| clip | size, frames | subtitles' test | subtitles | found | both ends exact | within ±2 | false | coverage, path mask | area, path mask | coverage, true files | area, true | PSNR burnt | PSNR path | PSNR true spatial | PSNR true temporal | path − true (same fill) | box PSNR: path | true spatial | true temporal | detect fps | path fps |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
  printf '%s\n' "${rb_rows[@]}"
  echo
  printf '%s\n' "${rb_lines[@]}"
}

rb_main() {
  rb_subremove=$rb_root/build/default/subremove
  rb_metrics=$rb_root/build/default/bench/detect_metrics
  rb_quality=$rb_root/build/default/bench/quality_metrics
  rb_work=$rb_root/build/real-bench
  rb_footage=$rb_root/../shared/footage
  rb_path='-q -y {in} {out}' rb_path_fill=temporal rb_radius=auto rb_quick=0
  local only=
  while [ $# -gt 0 ]; do
    case $1 in
      --quick) rb_quick=1; shift ;;
      --footage|--clips|--subremove|--metrics|--quality-metrics|--work|--path|--path-fill|--radius)
        [ $# -ge 2 ] || rb_usage
        case $1 in
          --footage) rb_footage=$2 ;; --clips) only=$2 ;; --subremove) rb_subremove=$2 ;; --metrics) rb_metrics=$2 ;;
          --quality-metrics) rb_quality=$2 ;; --work) rb_work=$2 ;; --path) rb_path=$2 ;;
          --path-fill) [[ $2 =~ ^(spatial|temporal)$ ]] || rb_usage; rb_path_fill=$2 ;;
          --radius) [[ $2 =~ ^(auto|[0-9]|10)$ ]] || rb_usage; rb_radius=$2 ;;
        esac
        shift 2 ;;
      -h|--help) rb_usage ;;
      *) echo "real_bench: unknown argument $1" >&2; rb_usage ;;
    esac
  done
  [ -d "$rb_footage" ] || { rb_note "no footage at $rb_footage (give --footage DIR)"; exit 77; }
  local tool
  for tool in "$rb_subremove" "$rb_metrics" "$rb_quality"; do [ -x "$tool" ] || { rb_note "no $tool (build first)"; exit 2; }; done
  for tool in ffmpeg ffprobe fc-list awk md5sum; do command -v $tool > /dev/null || rb_die "$tool is missing"; done
  # Quick clips are shorter: a folder of their own keeps both caches.
  [ $rb_quick = 1 ] && rb_work+=/quick
  rb_footage=$(cd "$rb_footage" && pwd) rb_work=$(mkdir -p "$rb_work" && cd "$rb_work" && pwd)
  rb_subremove=$(realpath "$rb_subremove") rb_metrics=$(realpath "$rb_metrics") rb_quality=$(realpath "$rb_quality")
  rb_fonts

  local load start=$EPOCHREALTIME recipe name
  load=$(cut -d' ' -f1-3 /proc/loadavg)
  for recipe in "${rb_clips[@]}"; do
    name=${recipe%%|*}
    [ $rb_quick = 1 ] && [[ " ${rb_quick_clips[*]} " != *" $name "* ]] && continue
    [ -n "$only" ] && [[ ",$only," != *",$name,"* ]] && continue
    [ -f "$rb_footage/$(cut -d'|' -f2 <<< "$recipe")" ] || { rb_note "$rb_footage lacks the clip of $name"; exit 77; }
    rb_clip "$recipe"
  done
  rb_goals
  rb_report "$load" "$(awk -v s="$start" -v e="$EPOCHREALTIME" 'BEGIN { printf "%.0f", e - s }')"
  [ $rb_failures = 0 ] || rb_die "$rb_failures check(s) failed"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then rb_main "$@"; fi
