#!/usr/bin/env bash
# A 32-bit Wine that fails its check makes every i686 Wine test skip with the check's reason.
# Guards the tests crashing ("Segmentation fault") under a Wine that setup made but that cannot
# run a program, which is what a broken private root did.
#
# Two broken Wines stand in for a real one: one that dies of SIGSEGV at start, one that starts but
# cannot load kernel32.dll. Each is checked by scripts/check_wine32.sh as setup checks it, and each
# of the three Wine test scripts must then exit 77 with that reason as its one line.
#
# Usage: check_broken_wine32.sh <source dir>
set -uo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

if ! bash "$source_dir/scripts/probe_i386.sh" >/dev/null; then
  echo "SKIPPED: $(bash "$source_dir/scripts/probe_i386.sh")"
  exit 77
fi
command -v i686-w64-mingw32-gcc >/dev/null || { echo "SKIPPED: no MinGW i686 compiler"; exit 77; }

# name | the broken loader's body | what the reason must say
cases=(
  "segfault|kill -SEGV \$\$|signal 11 (SEGV)"
  "no_kernel32|echo 'wine: could not load kernel32.dll, status c0000135' >&2; exit 1|could not load kernel32.dll"
)
for entry in "${cases[@]}"; do
  IFS='|' read -r name body expected <<<"$entry"
  dir=$work/$name
  mkdir -p "$dir"
  printf '#!/bin/sh\n%s\n' "$body" >"$dir/wine"
  chmod +x "$dir/wine"
  line=$(bash "$source_dir/scripts/check_wine32.sh" --record "$dir" "$dir/wine")
  status=$?
  [ "$status" = 1 ] || fail "$name: the check exited $status, not 1 ($line)"
  [[ $line == *"$expected"* ]] || fail "$name: the check's line does not say '$expected': $line"
  [ "$(cat "$dir/check" 2>/dev/null)" = "$line" ] || fail "$name: the check's line was not recorded"

  export SR_WINE32_DIR=$dir
  for script in run_wine.sh run_frames_wine.sh run_dialog_wine.sh; do
    out=$(bash "$source_dir/tests/windows/$script" win32 "$work/linux" "$work/none.exe" "$work/none.vdf" \
          "$work/out" 2>&1)
    status=$?
    [ "$status" = 77 ] || fail "$name: $script exited $status, not 77: $(echo "$out" | tail -1)"
    [ "$out" = "SKIPPED: $line" ] || fail "$name: $script said '$out', not 'SKIPPED: $line'"
  done
  unset SR_WINE32_DIR
  echo "ok: $name: $line"
done

# A check that failed every Wine would skip the tests everywhere: a loader that prints the
# program's greeting stands in for a Wine that works.
dir=$work/working
mkdir -p "$dir"
printf '#!/bin/sh\necho "i686 under Wine"\n' >"$dir/wine"
chmod +x "$dir/wine"
line=$(bash "$source_dir/scripts/check_wine32.sh" --record "$dir" "$dir/wine")
[ "$line" = ok ] && [ "$(cat "$dir/check")" = ok ] || fail "a Wine that runs the program failed the check: $line"

[ "$failures" = 0 ] || exit 1
echo "PASS: broken 32-bit Wines skip the i686 tests with their reason"
