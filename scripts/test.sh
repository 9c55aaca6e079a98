#!/usr/bin/env bash
# Builds everything (Linux optimised, Linux with sanitizers, both Windows modules) and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup_tests.sh

# fuzz: the libFuzzer targets, each run for a bounded time (about a minute in all).
presets=(default debug mingw-i686 mingw-x86_64 fuzz)
for preset in "${presets[@]}"; do
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

# The release archives, made from the builds above, and a listing of what they hold.
echo "=== release archives ==="
cmake --build --preset default --target package_windows package_linux
bash tests/check_archives.sh build/default
