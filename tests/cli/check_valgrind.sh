#!/usr/bin/env bash
# Guards against memory errors and leaks of subremove and the module it loads: one small Final-mode
# run (PNG sequence in and out, a subtitle to repaint, two filter instances) under valgrind memcheck.
# Any error, or any definitely or indirectly lost block, fails; blocks FFmpeg's libraries keep
# reachable until exit are not leaks and are not counted.
set -euo pipefail
subremove=$1
ffmpeg=$2
shim=$3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/in" "$dir/out" "$dir/subs"
# 48x32, four frames of grey with a white 10x4 block at (20, 20) on frames 1 and 2.
"$ffmpeg" -v error -f lavfi -i "color=c=0x406080:size=48x32:rate=25,drawbox=x=20:y=20:w=10:h=4:c=white:t=fill:enable='between(n,1,2)'" \
  -frames:v 4 -start_number 0 "$dir/in/%03d.png"
printf '1\n1,1,2,20,20\n' > "$dir/subs/film.bms"
{ printf 'P5\n10 4\n255\n'; head -c 40 /dev/zero | tr '\0' '\377'; } > "$dir/subs/image_0.pgm"
cd "$dir"
LD_PRELOAD="$shim" valgrind -q --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
  --show-leak-kinds=definite,indirect "$subremove" --threads 2 -x subs/film.bms in/%03d.png out/%03d.png 2> log.txt \
  || { cat log.txt; exit 1; }
cat log.txt
# The run did its work: every frame written and the two subtitled frames repainted.
test "$(ls out | wc -l)" -eq 4
grep -q "4 frames, 2 with a subtitle, 2 repainted" log.txt
echo "valgrind: no errors, no leaks"
