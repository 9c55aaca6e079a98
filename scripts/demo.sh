#!/usr/bin/env bash
# Sets up what is missing, builds, and removes the subtitles of the bundled sample clip with
# subremove: writes the cleaned clip and a preview (original | mask | final) of one frame.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

cmake --preset default >/dev/null
# Only what the demo runs: the tests are scripts/test.sh's to build.
cmake --build --preset default --target subremove subtitle_removal

sample=samples/sample
if [ ! -f "$sample/sample.mkv" ]; then
  samples/make_sample.sh "$sample"
fi

out=build/demo
mkdir -p "$out"
subremove=build/default/subremove
# -y: the demo's own outputs in build/demo are replaced on every run.
"$subremove" -y --index "$sample/subs/sample.bms" --preview 20 "$out/preview.png" "$sample/sample.mkv"
"$subremove" -y --index "$sample/subs/sample.bms" "$sample/sample.mkv" "$out/sample_clean.mp4"

echo
echo "cleaned video:  $PWD/$out/sample_clean.mp4"
echo "preview:        $PWD/$out/preview.png   (frame 20: original | mask | final)"
echo "input:          $PWD/$sample/sample.mkv"
