#!/usr/bin/env bash
# Builds everything (Linux optimised, Linux with sanitizers, both Windows modules) and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

presets=(default debug mingw-i686 mingw-x86_64)
for preset in "${presets[@]}"; do
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
