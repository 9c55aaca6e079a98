# Installs the Debian packages that building subremove and the Linux module and running the demo
# need, when they are missing and we are root, and prepares the text detection model that
# subremove finds subtitles with (scripts/setup_model.sh). Sourced from the source tree's root by
# scripts/demo.sh, and by scripts/setup_tests.sh, which adds what only the tests need (MinGW, Wine,
# clang's sanitizer runtime, 32-bit Wine).
#
# The default preset configures its tests too, so GoogleTest, Google Benchmark and valgrind are
# here: they are small, and most machines have them already. Tesseract's library and its English
# and simplified Chinese data are for --ocr (other languages are packages of their own,
# tesseract-ocr-LANG with '_' as '-').
sr_base_packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev valgrind
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev ffmpeg
  libopencv-dev fonts-dejavu-core mate-backgrounds
  libtesseract-dev libleptonica-dev tesseract-ocr-eng tesseract-ocr-chi-sim
)

# Installs those of the named packages that are missing (as root), or says which are (otherwise).
sr_install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  if [ "$(id -u)" = 0 ]; then
    echo "setup: installing ${missing[*]}"
    [ -n "${sr_apt_updated:-}" ] || apt-get update -qq
    sr_apt_updated=1
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "setup: missing packages (run as root to install them): ${missing[*]}" >&2
  fi
}

sr_install_missing "${sr_base_packages[@]}"
source scripts/setup_model.sh
