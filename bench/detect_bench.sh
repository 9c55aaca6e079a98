#!/usr/bin/env bash
# Detection benchmark of `subremove --detect`, against ground truth.
#
# Clips: photographs panned, zoomed or cut (known transforms, so the picture moves under the
# text), with SRT subtitles burnt in by FFmpeg's `subtitles` filter (libass): several fonts, sizes,
# colours (white, yellow), outline and shadow styles, one and two lines, a subtitle at the top,
# a subtitle at the middle of the left edge, subtitles back to back with no gap, a scene cut
# under a subtitle, and a clip with none but a static bright logo. Truth: the SRT's frame ranges;
# the same SRT rendered on a transparent canvas gives the damaged pixels (glyph, outline, shadow:
# alpha > 0), and rendered again without outline and shadow the true graymaps (the fill), written
# as the recognition tool would.
#
# Per clip it reports:
#   ranges      true subtitles, found with both ends exact, with both within 2 frames, false ones
#               (found entries overlapping no true subtitle) and found frames outside every true one;
#   coverage    damaged pixels inside the module's widened mask (subremove --mode mask) with the
#               detected files, and the mask's area against the damaged area, at radius 5 (the
#               module's default) and with --radius auto; the share again with the true files and
#               --radius auto (not with --quick);
#   PSNR        luma PSNR against the clean clip over the subtitled frames, after removal with the
#               detected files and with the true files (radius auto), with both again through the
#               temporal fill (not with --quick), and with the true files at radii 2, 3 and 5;
#   fps         frames per second of the detection pass (decoding included), wall time.
#
# Usage: bench/detect_bench.sh [--quick] [--subremove PATH] [--metrics PATH] [--work DIR]
#   --quick   three clips of 100 frames and fewer runs: a test that the benchmark and the
#             detector work (ctest runs it); it fails when a subtitle is missed or a false one found
# Status 0 done, 1 a run failed (or, with --quick, a check), 2 bad command line, 77 photos or fonts
# missing.
set -euo pipefail
export LC_ALL=C

db_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=detect_common.sh
source "$db_root/bench/detect_common.sh"
db_subremove=$db_root/build/default/subremove
db_metrics=$db_root/build/default/bench/detect_metrics
db_work=$db_root/build/detect-bench
db_quick=0
while [ $# -gt 0 ]; do
  case $1 in
    --quick) db_quick=1; shift ;;
    --subremove) db_subremove=$2; shift 2 ;;
    --metrics) db_metrics=$2; shift 2 ;;
    --work) db_work=$2; shift 2 ;;
    *) echo "usage: detect_bench.sh [--quick] [--subremove PATH] [--metrics PATH] [--work DIR]" >&2; exit 2 ;;
  esac
done

db_photos=/usr/share/backgrounds/mate/nature
db_fonts=/usr/share/fonts/truetype/dejavu
for f in "$db_photos/Dune.jpg" "$db_photos/Storm.jpg" "$db_photos/GreenMeadow.jpg" "$db_fonts/DejaVuSans-Bold.ttf"; do
  [ -f "$f" ] || { echo "detect_bench: $f is missing (mate-backgrounds, fonts-dejavu-core)" >&2; exit 77; }
done
db_w=720 db_h=576 db_rate=25
db_frames=250
[ $db_quick = 1 ] && db_frames=100

# Styles (libass force_style; an SRT is laid out on 288 lines, so sizes are half the pixels).
db_white="FontName=DejaVu Sans,Bold=1,FontSize=18,PrimaryColour=&H00FFFFFF,OutlineColour=&H00000000,BorderStyle=1,Outline=1.5,Shadow=0"
db_yellow="FontName=DejaVu Serif,Bold=0,FontSize=20,PrimaryColour=&H0000FFFF,OutlineColour=&H00101010,BackColour=&H00000000,BorderStyle=1,Outline=1,Shadow=1.5"
db_big="FontName=DejaVu Sans Condensed,Bold=1,FontSize=24,PrimaryColour=&H00F0F0F0,OutlineColour=&H00000000,BorderStyle=1,Outline=2.5,Shadow=0"
db_small="FontName=DejaVu Sans,Bold=0,FontSize=14,PrimaryColour=&H00FFFFFF,OutlineColour=&H00000000,BorderStyle=1,Outline=1,Shadow=1"
# libass reads an SRT's forced Alignment in the old SSA numbering: 6 is top centre, 9 the middle
# of the left edge (and so is 8, which this benchmark once meant as top centre).
db_top="$db_white,Alignment=6,MarginV=12"
db_middle_left="$db_white,Alignment=9,MarginV=12"

# name | photo | motion (crop x and y of a 1120x700 picture, n the frame; x stays within 0..400
# and y within 0..124 for 250 frames, so the picture never stops) | style | subtitles
# (first-last:text, ';' between them, '\N' a line break) | cut (frame where a second photo takes
# over, or -) | extra filter drawn on the clean film (a logo), or -
db_clips=(
  "white_sans|Dune.jpg|40+1.4*n|110-0.4*n|$db_white|10-59:Where does the tide go?;75-139:It goes where the moon says.;150-219:And the moon says nothing.|-|-"
  "back_to_back|GreenMeadow.jpg|200-0.8*n|40+0.3*n|$db_white|5-54:First we walk.;55-104:Then we run.;105-179:Then we fly over the hills.;180-239:And we never land.|-|-"
  "none_logo|Storm.jpg|1.5*n|80|$db_white||-|drawbox=x=590:y=30:w=100:h=44:color=black:t=fill,drawbox=x=594:y=34:w=92:h=36:color=white:t=fill"
  "yellow_serif|Storm.jpg|20+1.5*n|0.45*n|$db_yellow|12-70:The storm is coming in from the west,\\Nand it will not wait for us.;90-160:Close the shutters.;175-240:Now we listen.|-|-"
  "big_two_lines|GreenMeadow.jpg|250-n|20+0.2*n|$db_big|8-80:Nobody crosses the meadow\\Nafter the sun goes down.;100-170:Nobody?\\NNot even the shepherd.;185-245:Not even him.|-|-"
  "top|Dune.jpg|390-1.5*n|50|$db_top|20-90:- Did you hear that?\\N- Only the wind.;110-200:Listen again.|-|-"
  "middle_left|Dune.jpg|390-1.5*n|50|$db_middle_left|20-90:- Did you hear that?\\N- Only the wind.;110-200:Listen again.|-|-"
  "scene_cut|Dune.jpg|20+1.5*n|110|$db_small|15-60:Before the cut.;90-180:This line stays across the cut.;200-240:After it.|130|-"
)
db_quick_clips="white_sans back_to_back none_logo"

db_note() { echo "detect_bench: $*" >&2; }
db_die() { echo "detect_bench: $*" >&2; exit 1; }

# SRT time of frame boundary F - 0.5 (so that libass shows exactly the frames first..last).
db_time() {
  local ms=$(( ($1 * 2000 - 1000) / (2 * db_rate) ))
  (( ms < 0 )) && ms=0
  printf '%02d:%02d:%02d,%03d' $((ms / 3600000)) $((ms / 60000 % 60)) $((ms / 1000 % 60)) $((ms % 1000))
}

# Writes DIR/subs.srt and DIR/true/subs.bms (places filled in by detect_metrics truth).
db_write_truth() {
  local dir=$1 subs=$2 i=0 entry range text first last
  mkdir -p "$dir/true"
  : > "$dir/subs.srt"
  local entries=()
  [ -n "$subs" ] && IFS=';' read -r -a entries <<< "$subs"
  local kept=()
  for entry in "${entries[@]}"; do
    range=${entry%%:*} text=${entry#*:}
    first=${range%-*} last=${range#*-}
    (( first < db_frames )) || continue
    (( last < db_frames )) || last=$((db_frames - 1))
    i=$((i + 1))
    printf '%d\n%s --> %s\n%b\n\n' "$i" "$(db_time "$first")" "$(db_time $((last + 1)))" "${text//\\N/\\n}" >> "$dir/subs.srt"
    kept+=("$i,$first,$last,0,0")
  done
  { echo "${#kept[@]}"; for entry in "${kept[@]}"; do echo "$entry"; done; } > "$dir/true/subs.bms"
}

db_make_clip() {
  local recipe=$1 dir=$2
  local name photo mx my style subs cut extra
  IFS='|' read -r name photo mx my style subs cut extra <<< "$recipe"
  mkdir -p "$dir"
  db_write_truth "$dir" "$subs"
  local scene="[0:v]scale=1120:700,crop=${db_w}:${db_h}:x='$mx':y='$my',setsar=1"
  local inputs=(-loop 1 -framerate $db_rate -i "$db_photos/$photo")
  if [ "$cut" != - ]; then
    inputs+=(-loop 1 -framerate $db_rate -i "$db_photos/GreenMeadow.jpg")
    scene+="[a];[1:v]scale=1120:700,crop=${db_w}:${db_h}:x='$mx':y='$my',setsar=1[b];[a][b]overlay=enable='gte(n,$cut)'"
  fi
  [ "$extra" != - ] && scene+=",$extra"
  ffmpeg -v error -y "${inputs[@]}" -filter_complex "$scene,format=yuv420p" -frames:v $db_frames \
    -c:v ffv1 "$dir/clean.mkv"
  local srt="subtitles=$dir/subs.srt:fontsdir=$db_fonts:force_style='$style'"
  # libass takes no empty SRT: a clip without subtitles is the clean film coded alike.
  [ -s "$dir/subs.srt" ] || srt=null
  ffmpeg -v error -y -i "$dir/clean.mkv" -vf "$srt" -c:v libx264 -crf 16 -preset fast -pix_fmt yuv420p "$dir/film.mkv"
  ffmpeg -v error -y -i "$dir/clean.mkv" -vf extractplanes=y -f rawvideo "$dir/clean.gray"
  [ -s "$dir/subs.srt" ] || return 0
  # The damage (alpha of the subtitle as burnt) and the fill alone.
  local canvas="color=c=black@0:s=${db_w}x${db_h}:r=$db_rate,format=rgba"
  ffmpeg -v error -y -f lavfi -i "$canvas" -vf "$srt:alpha=1,extractplanes=a" -frames:v $db_frames -f rawvideo "$dir/damage.gray"
  local fill="subtitles=$dir/subs.srt:fontsdir=$db_fonts:alpha=1:force_style='$style,Outline=0,Shadow=0'"
  ffmpeg -v error -y -f lavfi -i "$canvas" -vf "$fill,extractplanes=a" -frames:v $db_frames -f rawvideo "$dir/fill.gray"
  "$db_metrics" truth $db_w $db_h "$dir/fill.gray" "$dir/true/subs.bms"
  rm -f "$dir/fill.gray"
}

db_luma() { ffmpeg -v error -y -i "$1" -vf extractplanes=y -f rawvideo "$2"; }

# subremove with an index and settings into FILE.mkv, then its luma into FILE.gray.
db_run() {
  local dir=$1 out=$2 index=$3; shift 3
  "$db_subremove" -q -y -x "$index" "$@" "$dir/film.mkv" "$dir/$out.mkv" || db_die "subremove failed on $dir ($out)"
  db_luma "$dir/$out.mkv" "$dir/$out.gray"
  rm -f "$dir/$out.mkv"
}

db_failed=0
db_rows=()
db_measure() {
  local recipe=$1 name=${1%%|*} dir=$db_work/$1
  dir=$db_work/$name
  db_note "clip $name"
  db_make_clip "$recipe" "$dir"
  local seconds fps line
  dc_timed seconds "$db_subremove" -q -y --detect "$dir/found" "$dir/film.mkv" || db_die "subremove --detect failed on $name"
  fps=$(dc_fps $db_frames "$seconds")
  line=$(dc_ranges "$db_metrics" "detect_bench: $name" "$dir/true/subs.bms" "$dir/found/subs.bms")
  local subs exact within2 falses falseframes found
  subs=$(echo "$line" | dc_value subtitles) found=$(echo "$line" | dc_value found)
  exact=$(echo "$line" | dc_value exact) within2=$(echo "$line" | dc_value within2)
  falses=$(echo "$line" | dc_value false) falseframes=$(echo "$line" | dc_value false_frames)
  if [ "$within2" != "$subs" ] || [ "$falses" != 0 ] || [ "$falseframes" != 0 ]; then db_failed=1; fi

  local cov5=- area5=- cova=- areaa=- covt=- pdet=- ptrue=- pdett=- ptruet=- p2=- p3=- p5=-
  if [ "$subs" != 0 ]; then
    db_run "$dir" mask_auto "$dir/found/subs.bms" --mode mask --radius auto
    line=$("$db_metrics" coverage $db_w $db_h "$dir/damage.gray" "$dir/mask_auto.gray")
    cova=$(echo "$line" | dc_value coverage) areaa=$(echo "$line" | dc_value area)
    db_run "$dir" final_found "$dir/found/subs.bms" --radius auto
    pdet=$("$db_metrics" psnr $db_w $db_h "$dir/clean.gray" "$dir/final_found.gray" "$dir/true/subs.bms" | dc_value psnr)
    db_run "$dir" final_true "$dir/true/subs.bms" --radius auto
    ptrue=$("$db_metrics" psnr $db_w $db_h "$dir/clean.gray" "$dir/final_true.gray" "$dir/true/subs.bms" | dc_value psnr)
    if [ $db_quick = 0 ]; then
      db_run "$dir" mask_5 "$dir/found/subs.bms" --mode mask --radius 5
      line=$("$db_metrics" coverage $db_w $db_h "$dir/damage.gray" "$dir/mask_5.gray")
      cov5=$(echo "$line" | dc_value coverage) area5=$(echo "$line" | dc_value area)
      db_run "$dir" mask_auto_true "$dir/true/subs.bms" --mode mask --radius auto
      covt=$("$db_metrics" coverage $db_w $db_h "$dir/damage.gray" "$dir/mask_auto_true.gray" | dc_value coverage)
      db_run "$dir" final_found_t "$dir/found/subs.bms" --radius auto --fill temporal
      pdett=$("$db_metrics" psnr $db_w $db_h "$dir/clean.gray" "$dir/final_found_t.gray" "$dir/true/subs.bms" | dc_value psnr)
      db_run "$dir" final_true_t "$dir/true/subs.bms" --radius auto --fill temporal
      ptruet=$("$db_metrics" psnr $db_w $db_h "$dir/clean.gray" "$dir/final_true_t.gray" "$dir/true/subs.bms" | dc_value psnr)
      local r
      for r in 2 3 5; do
        db_run "$dir" "final_true_$r" "$dir/true/subs.bms" --radius $r
        printf -v "p$r" '%s' "$("$db_metrics" psnr $db_w $db_h "$dir/clean.gray" "$dir/final_true_$r.gray" "$dir/true/subs.bms" | dc_value psnr)"
      done
    fi
  fi
  rm -f "$dir"/*.gray
  db_rows+=("| $name | $subs | $found | $exact | $within2 | $falses | $falseframes | $cov5 | $area5 | $cova | $areaa | $covt | $pdet | $ptrue | $pdett | $ptruet | $p2 | $p3 | $p5 | $fps |")
  echo "detect_bench: $name subtitles=$subs exact=$exact within2=$within2 false=$falses false_frames=$falseframes coverage5=$cov5 area5=$area5 coverage_auto=$cova area_auto=$areaa coverage_auto_true=$covt psnr_found_auto=$pdet psnr_true_auto=$ptrue psnr_found_auto_temporal=$pdett psnr_true_auto_temporal=$ptruet psnr_true_2=$p2 psnr_true_3=$p3 psnr_true_5=$p5 detect_fps=$fps"
}

[ -x "$db_subremove" ] || db_die "no subremove at $db_subremove"
[ -x "$db_metrics" ] || db_die "no detect_metrics at $db_metrics"
mkdir -p "$db_work"
for recipe in "${db_clips[@]}"; do
  name=${recipe%%|*}
  if [ $db_quick = 1 ] && [[ " $db_quick_clips " != *" $name "* ]]; then continue; fi
  db_measure "$recipe"
done

echo
echo "| clip | subtitles | found | both ends exact | within ±2 | false | false frames | coverage r5 | area r5 | coverage auto | area auto | coverage auto, true files | PSNR found (auto) | PSNR true (auto) | temporal: found | true | PSNR true r2 | r3 | r5 | detect fps |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${db_rows[@]}"
if [ $db_quick = 1 ] && [ $db_failed = 1 ]; then db_die "a subtitle was missed or a false one found"; fi
exit 0
