# Picks the Wine that runs this project's Windows test programs of one architecture; sourced by the
# run_*_wine.sh scripts. `sr_select_wine win32|win64` sets `wine` (the loader to run a program
# with) and `wineserver` and exports Wine's settings, or sets `skip_reason` (one line) and fails.
#
# win64: Debian's wine64 loader. win32: first whether 32-bit programs can run at all here
# (scripts/probe_i386.sh; some kernels, and virtual machines that lack a 32-bit mode, refuse them),
# then Debian's wine32:i386 loader where it is installed, else the private copy that
# scripts/setup.sh extracts into build/wine32 where installing wine32:i386 would change the
# machine's own packages.
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
    if [ -x /usr/lib/wine/wine ]; then
      wine=/usr/lib/wine/wine
    elif [ -x "$sr_source_dir/build/wine32/wine" ]; then
      wine=$sr_source_dir/build/wine32/wine
    else
      skip_reason="no 32-bit Wine: run scripts/setup.sh as root (Debian's wine32:i386, or a private copy in build/wine32)"
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
