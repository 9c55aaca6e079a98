#!/usr/bin/env bash
# Guards a Windows module whose bytes depend on when or where it was built (a link time in the PE
# headers, a source or build path compiled in): copies the sources to a scratch folder elsewhere,
# builds the module alone there with the same toolchain, type and flags, and compares the two
# .vdf files byte for byte.
#
# Usage: check_reproducible.sh <source dir> <binary dir> <module.vdf> <generator> <toolchain file>
#                              <build type> <C flags> <C++ flags> <module linker flags>
set -euo pipefail
src=$(cd "$1" && pwd) bin=$2 module=$3 generator=$4 toolchain=$5 type=$6
cflags=$7 cxxflags=$8 ldflags=$9

scratch=$(mktemp -d "${TMPDIR:-/tmp}/sr-repro.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
copy=$scratch/source
mkdir "$copy"
# Build trees are left behind (the module's own one too, when it lies inside the sources).
excludes=(--exclude=./build --exclude=./.git)
case $bin in "$src"/*) excludes+=("--exclude=./${bin#"$src"/}") ;; esac
tar -C "$src" "${excludes[@]}" -cf - . | tar -C "$copy" -xf -
# The copy's own toolchain file, when the tree carries it.
case $toolchain in "$src"/*) toolchain=$copy/${toolchain#"$src"/} ;; esac

cmake -S "$copy" -B "$scratch/out" -G "$generator" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE="$type" -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" \
  -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" -DSR_BUILD_TESTS=OFF >"$scratch/configure.log" 2>&1 ||
  { cat "$scratch/configure.log"; echo "FAIL the copy in $copy does not configure"; exit 1; }
cmake --build "$scratch/out" --target subtitle_removal -j2 >"$scratch/build.log" 2>&1 ||
  { cat "$scratch/build.log"; echo "FAIL the copy in $copy does not build"; exit 1; }

second=$scratch/out/$(basename "$module")
if ! cmp -s "$module" "$second"; then
  echo "FAIL $module and the module built from $copy differ ($(cmp -l "$module" "$second" 2>/dev/null | wc -l) bytes; sizes $(stat -c %s "$module") and $(stat -c %s "$second"))"
  # The PE header's link time sits 8 bytes past the header's offset, which is stored at 0x3c.
  pe=$(od -An -tu4 -j60 -N4 "$module" | tr -d ' ')
  echo "first differing bytes (offset, octal values; the PE link time is at offset $((pe + 9)) counting from 1):"
  cmp -l "$module" "$second" 2>/dev/null | head -8 || true
  exit 1
fi
echo "reproducible: $(basename "$module") ($(stat -c %s "$module") bytes) built again from a copy in $copy is identical"
