# Everything scripts/setup.sh installs, and what only the tests need: MinGW for the Windows
# modules, Wine and Xvfb to run them, clang's sanitizer runtime for the fuzz targets, ImageMagick
# for screenshots and clips, zip for the release archives, python3 for the benchmarks' checks, CJK
# fonts for subtitles burnt into test films; then 32-bit Wine where 32-bit programs run
# (scripts/setup_wine32.sh). Sourced by scripts/test.sh from the source tree's root.
source scripts/setup.sh
sr_test_packages=(
  clang libclang-rt-14-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 gcc-multilib
  wine wine64 xvfb xauth imagemagick zip unzip python3
  fonts-noto-cjk
)
sr_install_missing "${sr_test_packages[@]}"
source scripts/setup_wine32.sh
