# Picks the Wine that runs this project's Windows test programs of one architecture; sourced by the
# run_*_wine.sh scripts. `sr_select_wine win32|win64` sets `wine` (the loader to run a program
# with) and `wineserver` and exports Wine's settings, or sets `skip_reason` (one line) and fails.
#
# win64: Debian's wine64 loader. win32: first whether 32-bit programs can run at all here
# (scripts/probe_i386.sh; some kernels, and virtual machines that lack a 32-bit mode, refuse them),
# then the Wine that scripts/setup_wine32.sh made (Debian's wine32:i386, or a private root in
# build/wine32 where installing that would change the machine's own packages) if it passed its
# check: a tiny i686 program ran in a fresh prefix. A failed check is the reason to skip.
# SR_WINE32_DIR names another folder than build/wine32 (the tests of this choice use it).
sr_source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

sr_select_wine() {
  local arch=$1
  wine="" wineserver="" skip_reason=""
  if [ "$arch" = win64 ]; then
    wine=/usr/lib/wine/wine64
    [ -x "$wine" ] || wine=$(command -v wine64 || true)
    if [ -z "$wine" ] || [ ! -x "$wine" ]; then
      skip_reason="wine64 is not installed"
      return 1
    fi
  else
    local probe
    if ! probe=$(bash "$sr_source_dir/scripts/probe_i386.sh"); then
      skip_reason=$probe
      return 1
    fi
    # scripts/setup_wine32.sh records the Wine it made and whether it ran an i686 program.
    local dir=${SR_WINE32_DIR:-$sr_source_dir/build/wine32} check
    if [ ! -f "$dir/check" ]; then
      skip_reason="no checked 32-bit Wine: run scripts/setup_tests.sh (as root, to install it)"
      return 1
    fi
    check=$(head -1 "$dir/check")
    if [ "$check" != ok ]; then
      skip_reason=$check
      return 1
    fi
    wine=$(head -1 "$dir/loader" 2>/dev/null)
    if [ -z "$wine" ] || [ ! -x "$wine" ]; then
      skip_reason="the 32-bit Wine that setup checked ($wine) is gone: run scripts/setup_tests.sh again"
      return 1
    fi
  fi
  # One wineserver serves 32- and 64-bit programs alike; Debian's script picks the built one.
  wineserver=/usr/lib/wine/wineserver
  [ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo wineserver)
  export WINEARCH=$arch WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
}

# The boxes and dialogs are real windows: they need a virtual X display.
sr_have_xvfb() {
  command -v Xvfb >/dev/null && command -v xvfb-run >/dev/null && command -v xauth >/dev/null
}
