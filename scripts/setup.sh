#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when they are missing and
# we are root. Sourced by scripts/test.sh and scripts/demo.sh.
sr_packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev valgrind
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine wine64 xvfb xauth imagemagick zip unzip
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev ffmpeg libopencv-dev
  fonts-dejavu-core mate-backgrounds
)
sr_missing=()
for p in "${sr_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || sr_missing+=("$p")
done
if [ ${#sr_missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    echo "setup: installing ${sr_missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${sr_missing[@]}" >/dev/null
  else
    echo "setup: missing packages (run as root to install them): ${sr_missing[*]}" >&2
  fi
fi
