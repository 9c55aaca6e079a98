#!/usr/bin/env bash
# The clips of the removal-quality benchmark, with their ground truth. Sourced by quality_bench.sh;
# run alone it makes one clip: bench/quality_clips.sh KIND WIDTH HEIGHT FRAMES DIR.
#
# A clip is a photograph moved by a known transform (KIND: pan, zoom, grain, object, cut), kept
# losslessly (FFV1, yuv420p), into which two styles of two-line subtitles are burnt with FFmpeg's
# libass filter as films show them: white with a black outline and a soft shadow, and yellow with
# a thin outline. DIR gets:
#   clean.mkv   the footage before the subtitles, exactly (FFV1, yuv420p);
#   burnt.mkv   the same with the subtitles burnt in (FFV1, yuv420p: only the burn differs);
#   truth.mkv   grey: the subtitles' alpha rendered alone on a transparent canvas, so non-zero is
#               every pixel the burn covers (glyph, outline, shadow);
#   subs/clip.bms, subs/image_K.pgm   what the recognition tool writes: the index (frame ranges
#               from the SRT) and graymaps of the glyph cores (the fill alone, alpha above one
#               half, cropped to its bounding box at the index line's position);
#   ready       the recipe stamp of a finished clip.
# Cost: four FFmpeg runs over the clip (footage, burn, truth, cores) and two ImageMagick calls a
# subtitle; 16 s for 150 frames at 720x576 on this 2-core machine, shared.
set -euo pipefail

qc_photos=${QC_PHOTOS:-/usr/share/backgrounds/mate/nature}
qc_fonts=${QC_FONTS:-/usr/share/fonts/truetype/dejavu}
qc_rate=25
# Changing how clips are made must change this, so that cached clips are made again.
qc_recipe=1

# The subtitles: first and last frame in hundredths of the clip's length, style (w: white, y:
# yellow), place (b: bottom, t: top), two lines. The second one spans the cut of the cut clip.
qc_subtitles=(
  "6|38|w|b|The tide comes in twice a day,|and nobody here remembers why."
  "44|72|y|t|- Did you hear that?|- Only the wind."
  "78|97|w|b|Keep walking. The dunes move|faster than you think."
)
# The frame at which the cut clip changes shot, in hundredths: inside the second subtitle.
qc_cut_at=58

# libass styles in its script units (288 lines high, scaled to the picture); the "core" variants
# keep the layout but make outline and shadow transparent, leaving the fill's alpha alone.
qc_style() {
  local colour outline shadow
  case $1 in
    w) colour='&H00FFFFFF' outline=2 shadow=1 ;;
    y) colour='&H0000FFFF' outline=0.7 shadow=0 ;;
  esac
  local edge='&H00000000' back='&H80000000'
  [ "${2:-}" = core ] && edge='&HFF000000' back='&HFF000000'
  echo "FontName=DejaVu Sans,Bold=1,FontSize=18,PrimaryColour=$colour,OutlineColour=$edge,BackColour=$back,BorderStyle=1,Outline=$outline,Shadow=$shadow,MarginV=16"
}

qc_die() { echo "quality_clips: $*" >&2; exit 1; }

# "FIRST|LAST|STYLE|PLACE|LINE1|LINE2" for a clip of FRAMES frames.
qc_entries() {
  local frames=$1 entry a b rest
  for entry in "${qc_subtitles[@]}"; do
    IFS='|' read -r a b rest <<< "$entry"
    echo "$((frames * a / 100))|$((frames * b / 100))|$rest"
  done
}

# An SRT time for the start of frame N: libass shows an event on frames whose time lies in
# [start, end), so frame N's subtitle runs from N's time to the next frame's.
qc_srt_time() {
  local ms=$(($1 * 1000 / qc_rate))
  printf '%02d:%02d:%02d,%03d' $((ms / 3600000)) $((ms / 60000 % 60)) $((ms / 1000 % 60)) $((ms % 1000))
}

# DIR/w.srt and DIR/y.srt: the entries of each style.
qc_write_srt() {
  local dir=$1 frames=$2 first last style place line1 line2 n=0
  : > "$dir/w.srt"; : > "$dir/y.srt"
  while IFS='|' read -r first last style place line1 line2; do
    n=$((n + 1))
    local top=
    [ "$place" = t ] && top='{\an8}'
    printf '%d\n%s --> %s\n%s%s\n%s\n\n' $n "$(qc_srt_time "$first")" "$(qc_srt_time $((last + 1)))" \
      "$top" "$line1" "$line2" >> "$dir/$style.srt"
  done < <(qc_entries "$frames")
}

# The filter that renders both SRT files of DIR over its input (core: the fill alone).
qc_burn_filter() {
  local dir=$1 variant=${2:-} alpha=${3:-0}
  echo "subtitles=$dir/w.srt:fontsdir=$qc_fonts:alpha=$alpha:force_style='$(qc_style w "$variant")',subtitles=$dir/y.srt:fontsdir=$qc_fonts:alpha=$alpha:force_style='$(qc_style y "$variant")'"
}

# The footage filter for KIND at WIDTHxHEIGHT over FRAMES frames, from inputs [0:v] and [1:v]
# (two photographs), ending in [clean]. Moves are made in RGB, so that no position is rounded to
# the chroma grid.
qc_motion() {
  local kind=$1 w=$2 h=$3 n=$4
  local cover="format=rgb24,scale=w=$((w * 3 / 2)):h=$((h * 5 / 4)):force_original_aspect_ratio=increase"
  local pan="crop=$w:$h:x='(in_w-out_w)*0.7*n/$n':y='(in_h-out_h)*(0.2+0.4*n/$n)'"
  case $kind in
    pan) echo "[0:v]$cover,$pan[clean]" ;;
    zoom)
      # Scaled per frame from 1 to 1.3 times the cover size and cropped at the centre.
      echo "[0:v]format=rgb24,scale=w=$((w * 39 / 20)):h=$((h * 13 / 8)):force_original_aspect_ratio=increase[big];" \
           "[big]scale=w='trunc(iw/1.3*(1+0.3*n/$n)/2)*2':h='trunc(ih/1.3*(1+0.3*n/$n)/2)*2':eval=frame," \
           "crop=$w:$h:x='(in_w-out_w)/2':y='(in_h-out_h)/2'[clean]" ;;
    grain)
      # A still shot; the grain changes every frame (temporal, uniform), as film grain does.
      echo "[0:v]$cover,crop=$w:$h,format=yuv420p,noise=alls=12:allf=t+u[clean]" ;;
    object)
      # A card cut from the second photograph crosses the lower third twice, right to left.
      local cw=$((w / 4 / 2 * 2)) ch=$((h / 4 / 2 * 2))
      echo "[0:v]$cover,crop=$w:$h[back];[1:v]format=rgb24,scale=$((cw * 3)):-2,crop=$cw:$ch[card];" \
           "[back][card]overlay=format=rgb:x='$w-mod(n,$((n / 2)))*$((w + cw))/$((n / 2))':y=$((h - ch - h / 12))[clean]" ;;
    cut)
      echo "[0:v]$cover,$pan[a];[1:v]$cover,crop=$w:$h:x='(in_w-out_w)*(1-0.5*n/$n)':y='(in_h-out_h)/2'[b];" \
           "[a][b]overlay=enable='gte(n,$((n * qc_cut_at / 100)))'[clean]" ;;
    *) qc_die "unknown clip kind $kind" ;;
  esac
}

qc_photo_pair() {
  case $1 in
    pan) echo "Garden.jpg Aqua.jpg" ;;
    zoom) echo "Storm.jpg Aqua.jpg" ;;
    grain) echo "LadyBird.jpg Aqua.jpg" ;;
    object) echo "GreenMeadow.jpg YellowFlower.jpg" ;;
    cut) echo "Dune.jpg TwoWings.jpg" ;;
    hdpan) echo "Aqua.jpg Garden.jpg" ;;
  esac
}

# The index and the core graymaps, from the fill alone rendered at each subtitle's middle frame.
qc_write_cores() {
  local dir=$1 work=$2 w=$3 h=$4 frames=$5 first last rest select= k=0 geometry x y
  local -a middles=()
  while IFS='|' read -r first last rest; do
    middles+=($(((first + last) / 2)))
    select+="${select:+ + }eq(n\\,${middles[-1]})"
  done < <(qc_entries "$frames")
  ffmpeg -nostdin -loglevel error -y -f lavfi -i "color=black@0:s=${w}x$h:r=$qc_rate,format=rgba" \
    -vf "$(qc_burn_filter "$work" core 1),alphaextract,format=gray,select='$select'" \
    -frames:v ${#middles[@]} -fps_mode passthrough "$work/core_%d.pgm"
  echo ${#middles[@]} > "$dir/subs/clip.bms"
  while IFS='|' read -r first last rest; do
    geometry=$(convert "$work/core_$((k + 1)).pgm" -threshold 50% -format '%@' info:)
    [[ $geometry =~ ^([0-9]+)x([0-9]+)\+([0-9]+)\+([0-9]+)$ ]] && [ "${BASH_REMATCH[1]}" -gt 1 ] ||
      qc_die "subtitle $k of $dir has no glyph core ($geometry)"
    x=${BASH_REMATCH[3]} y=${BASH_REMATCH[4]}
    convert "$work/core_$((k + 1)).pgm" -threshold 50% -crop "$geometry" +repage -depth 8 "pgm:$dir/subs/image_$k.pgm"
    echo "$((k + 1)),$first,$last,$x,$y" >> "$dir/subs/clip.bms"
    k=$((k + 1))
  done < <(qc_entries "$frames")
}

# Makes the clip KIND of WIDTHxHEIGHT and FRAMES frames in DIR, unless the same recipe is there.
qc_make_clip() {
  local kind=$1 w=$2 h=$3 frames=$4 dir=$5
  local stamp="recipe $qc_recipe $kind ${w}x$h $frames frames"
  if [ -f "$dir/ready" ] && [ "$(cat "$dir/ready")" = "$stamp" ]; then return 0; fi
  echo "quality_clips: making $dir ($stamp)" >&2
  rm -rf "$dir"
  mkdir -p "$dir/subs"
  local work photo_a photo_b colours=bt709 ffv1=(-c:v ffv1 -level 3 -g 1 -slices 4)
  work=$(mktemp -d "$dir/.work.XXXXXX")
  [ "$h" -lt 720 ] && colours=smpte170m
  read -r photo_a photo_b < <(qc_photo_pair "$kind")
  local tags=(-colorspace $colours -color_primaries $colours -color_trc $colours -color_range tv)
  ffmpeg -nostdin -loglevel error -y -loop 1 -framerate $qc_rate -i "$qc_photos/$photo_a" \
    -loop 1 -framerate $qc_rate -i "$qc_photos/$photo_b" \
    -filter_complex "$(qc_motion "${kind#hd}" "$w" "$h" "$frames" | tr -d '\n');[clean]format=yuv420p[out]" \
    -map '[out]' -frames:v "$frames" "${ffv1[@]}" -pix_fmt yuv420p "${tags[@]}" "$work/clean.mkv"
  qc_write_srt "$work" "$frames"
  ffmpeg -nostdin -loglevel error -y -i "$work/clean.mkv" -vf "$(qc_burn_filter "$work")" \
    "${ffv1[@]}" -pix_fmt yuv420p "${tags[@]}" "$work/burnt.mkv"
  ffmpeg -nostdin -loglevel error -y -f lavfi -i "color=black@0:s=${w}x$h:r=$qc_rate,format=rgba" \
    -vf "$(qc_burn_filter "$work" "" 1),alphaextract,format=gray" -frames:v "$frames" "${ffv1[@]}" "$work/truth.mkv"
  qc_write_cores "$dir" "$work" "$w" "$h" "$frames"
  mv "$work/clean.mkv" "$work/burnt.mkv" "$work/truth.mkv" "$work/w.srt" "$work/y.srt" "$dir/"
  rm -rf "$work"
  echo "$stamp" > "$dir/ready"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  [ $# = 5 ] || { echo "usage: quality_clips.sh KIND WIDTH HEIGHT FRAMES DIR" >&2; exit 2; }
  qc_make_clip "$@"
fi
