#!/usr/bin/env bash
# Makes the demo clip: four seconds of a slow pan over a photograph at 720x576, 25 frames/s, with
# four two-line subtitles burnt in as films show them (white DejaVu Sans Bold, dark outline) at
# changing places and frame ranges, plus what the recognition tool would have written for it: the
# index sample.bms and one raw PGM glyph mask per subtitle (image_0.pgm, ...).
# Usage: samples/make_sample.sh OUTDIR    (writes OUTDIR/sample.mkv, OUTDIR/subs/)
set -euo pipefail
out=${1:?usage: make_sample.sh OUTDIR}
photo=/usr/share/backgrounds/mate/nature/Dune.jpg
font=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
for f in "$photo" "$font"; do
  [ -f "$f" ] || { echo "make_sample: $f is missing (packages mate-backgrounds, fonts-dejavu-core)" >&2; exit 1; }
done
width=720 height=576 frames=100 rate=25

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out/subs"

# first frame, last frame, left column (or "c" for centred), top row, two lines of text
subtitles=(
  "4|30|c|478|The tide comes in twice a day,|and nobody here remembers why."
  "36|58|40|470|Keep walking. The dunes move|faster than you think."
  "62|80|c|30|- Did you hear that?|- Only the wind."
  "84|99|300|482|We'll be home before dark.|I promise."
)

count=${#subtitles[@]}
echo "$count" > "$out/subs/sample.bms"
filter="[0:v]scale=1120:700,crop=${width}:${height}:x='3*n':y='110-n*0.4',setsar=16/15,format=yuv420p[v0]"
inputs=()
for i in "${!subtitles[@]}"; do
  IFS='|' read -r first last left top line1 line2 <<< "${subtitles[$i]}"
  text="$line1"$'\n'"$line2"
  # Outline: the text stroked thick in near-black, then the plain white text over it.
  convert -background none -font "$font" -pointsize 30 -gravity center \
    -fill '#101010' -stroke '#101010' -strokewidth 6 label:"$text" "$work/outline_$i.png"
  convert -background none -font "$font" -pointsize 30 -gravity center \
    -fill white -stroke none label:"$text" "$work/text_$i.png"
  convert "$work/outline_$i.png" "$work/text_$i.png" -gravity center -composite \
    -trim +repage -bordercolor none -border 2 "$work/sub_$i.png"
  read -r w h < <(identify -format '%w %h\n' "$work/sub_$i.png")
  [ "$left" = c ] && left=$(( (width - w) / 2 ))
  # The glyph mask: non-zero wherever the subtitle covers the picture, sized to its bounding box.
  convert "$work/sub_$i.png" -alpha extract -threshold 0 -depth 8 "pgm:$out/subs/image_$i.pgm"
  echo "$((i + 1)),$first,$last,$left,$top" >> "$out/subs/sample.bms"
  inputs+=(-i "$work/sub_$i.png")
  filter+=";[v$i][$((i + 1)):v]overlay=x=$left:y=$top:enable='between(n,$first,$last)'[v$((i + 1))]"
done

# A quiet sea-like murmur, so the clip carries an audio stream to copy.
ffmpeg -loglevel error -y -loop 1 -framerate $rate -i "$photo" "${inputs[@]}" \
  -f lavfi -i "anoisesrc=color=brown:amplitude=0.05:sample_rate=48000:duration=4" \
  -filter_complex "$filter" -map "[v$count]" -map "$((count + 1)):a" -frames:v $frames \
  -c:v libx264 -crf 16 -preset medium -pix_fmt yuv420p -colorspace smpte170m -color_primaries smpte170m \
  -color_trc smpte170m -color_range tv -c:a flac -shortest -f matroska "$out/sample.mkv.part"
mv "$out/sample.mkv.part" "$out/sample.mkv"
echo "sample: $out/sample.mkv with index $out/subs/sample.bms"
