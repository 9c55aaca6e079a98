# 32-bit Wine for running the i686 module's tests; sourced by scripts/setup_tests.sh from the
# source tree's root, after the other packages (gcc-multilib and MinGW among them) are in.
#
# Nothing happens where 32-bit programs cannot run: scripts/probe_i386.sh builds and runs a tiny
# -m32 program first, and its one line is the reason the i686 Wine tests then give for skipping.
# Where they can run, and as root:
#  1. the i386 architecture is added to dpkg and the package lists are fetched;
#  2. `apt-get -s` shows what installing Debian's wine32:i386 (the version of the installed
#     wine64) with a few i386 X libraries would do. Where it installs only new packages, it is
#     installed: the tests find /usr/lib/wine/wine.
#  3. Where it would remove or upgrade any installed package (the i386 libraries must have the same
#     versions as their amd64 twins, so a machine behind on updates would have its own libraries
#     upgraded), the i386 packages of that plan are fetched with `apt-get download` instead and
#     unpacked with `dpkg-deb -x` into build/wine32/root (sr_wine32_private_root below).
# Either way the Wine is then checked (scripts/check_wine32.sh): a tiny i686 program built with
# MinGW must run in a fresh prefix. The one line it prints goes to build/wine32/check, which the
# tests read: "ok", or the reason they skip with. A private root is reused while its stamp names
# the wine64 version and this layout and its check passed; any other root (an earlier setup's, or
# one whose check failed) is rebuilt once. Prints what it did and the seconds it took.
sr_wine32_dir=${SR_WINE32_DIR:-$PWD/build/wine32}
sr_wine32_extras=(libxrender1:i386 libxrandr2:i386 libxi6:i386 libxcursor1:i386 libxfixes3:i386)
# Bumped whenever the private root's layout changes, so that older roots are rebuilt.
sr_wine32_layout=2

sr_setup_wine32() {
  local probe version started
  if ! probe=$(bash scripts/probe_i386.sh); then
    echo "setup: $probe: the i686 module's Wine tests will be skipped"
    return 0
  fi
  version=$(dpkg-query -W -f='${Version}' wine64 2>/dev/null || true)
  mkdir -p "$sr_wine32_dir"
  if [ -x /usr/lib/wine/wine ]; then
    [ "$(cat "$sr_wine32_dir/loader" 2>/dev/null)" = /usr/lib/wine/wine ] &&
      [ "$(cat "$sr_wine32_dir/check" 2>/dev/null)" = ok ] || sr_wine32_check /usr/lib/wine/wine
    return 0
  fi
  if [ -x "$sr_wine32_dir/wine" ] && [ "$(cat "$sr_wine32_dir/stamp" 2>/dev/null)" = "$version layout $sr_wine32_layout" ] &&
     [ "$(cat "$sr_wine32_dir/check" 2>/dev/null)" = ok ]; then
    return 0
  fi
  if [ "$(id -u)" != 0 ] || [ -z "$version" ]; then
    sr_wine32_record "" "no 32-bit Wine: run scripts/setup_tests.sh as root, with wine64 installed, to add it"
    echo "setup: 32-bit programs run here, but 32-bit Wine is missing (run as root, with wine64 installed, to add it)" >&2
    return 0
  fi
  started=$(date +%s)
  sr_wine32_install "$version" || return 0
  echo "setup: 32-bit Wine ready in $(($(date +%s) - started)) s"
}

# Installs Debian's wine32:i386 where that changes nothing of the machine's own, else unpacks a
# private root; then checks what it made.
sr_wine32_install() {
  local version=$1 packages plan
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  # A list that fails to come (a mirror caught syncing one architecture's security index) leaves
  # the others fetched: the plan below tells whether they hold what is needed.
  local updated=""
  apt-get update -qq >/dev/null 2>&1 || updated=" (apt-get update failed in part)"
  packages=("wine32:i386=$version" "libwine:i386=$version" "${sr_wine32_extras[@]}")
  plan=$(apt-get -s install --no-install-recommends "${packages[@]}" 2>&1) || {
    sr_wine32_record "" "no 32-bit Wine: apt-get cannot install it$updated: $(echo "$plan" | tail -1)"
    echo "setup: apt-get cannot install 32-bit Wine$updated: $(echo "$plan" | tail -1)" >&2
    return 1
  }
  if echo "$plan" | grep -Eq '^(Remv |Inst [^ ]+ \[)'; then
    sr_wine32_private_root "$version" "$plan" || return 1
    sr_wine32_check "$sr_wine32_dir/wine"
  else
    local before after
    before=$(sr_installed_kilobytes)
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
    after=$(sr_installed_kilobytes)
    echo "setup: installed Debian's wine32:i386 $version: $(((after - before) / 1024)) MB"
    sr_wine32_check /usr/lib/wine/wine
  fi
}

# Runs the check on a loader and records it; says so when it fails.
sr_wine32_check() {
  local loader=$1 line
  line=$(bash scripts/check_wine32.sh --record "$sr_wine32_dir" "$loader" "$sr_wine32_dir/check-work")
  rm -rf "$sr_wine32_dir/check-work"
  if [ "$line" = ok ]; then
    echo "setup: 32-bit Wine ($loader) runs an i686 program"
  else
    echo "setup: $line: the i686 module's Wine tests will be skipped" >&2
  fi
}

# build/wine32/loader names the Wine the tests run; build/wine32/check holds "ok" or the reason.
sr_wine32_record() {
  mkdir -p "$sr_wine32_dir"
  printf '%s\n' "$1" >"$sr_wine32_dir/loader"
  printf '%s\n' "$2" >"$sr_wine32_dir/check"
}

# Sum of the installed packages' sizes, in kilobytes.
sr_installed_kilobytes() {
  dpkg-query -W -f='${Installed-Size}\n' | awk '{s += $1} END {print s + 0}'
}

# The i386 packages of the plan (`Inst NAME:i386 (VERSION ...`), unpacked into a root of their own,
# with what their install scripts would have done (sr_wine32_finish_root).
sr_wine32_private_root() {
  local version=$1 plan=$2 root=$sr_wine32_dir/root debs=$sr_wine32_dir/debs
  local wanted
  wanted=$(echo "$plan" | awk '$1 == "Inst" && $2 ~ /:i386$/ {v = $3; sub(/^\(/, "", v); print $2 "=" v}')
  [ -f /usr/i686-w64-mingw32/lib/zlib1.dll ] || wanted="$wanted libz-mingw-w64"
  rm -rf "$sr_wine32_dir"
  mkdir -p "$root" "$debs"
  # apt-get download writes into the current folder; its sandbox user need not reach it.
  if ! (cd "$debs" && apt-get download -qq -o APT::Sandbox::User=root $wanted >/dev/null); then
    sr_wine32_record "" "no 32-bit Wine: its packages could not be downloaded during setup"
    echo "setup: could not download the 32-bit Wine packages into $debs" >&2
    return 1
  fi
  local deb
  for deb in "$debs"/*.deb; do
    dpkg-deb -x "$deb" "$root" || {
      sr_wine32_record "" "no 32-bit Wine: $(basename "$deb") did not unpack during setup"
      echo "setup: could not unpack $deb" >&2
      return 1
    }
  done
  sr_wine32_finish_root "$root" || return 1
  ln -s root/usr/lib/wine/wine "$sr_wine32_dir/wine"
  echo "$version layout $sr_wine32_layout" >"$sr_wine32_dir/stamp"
  echo "setup: installing wine32:i386 would change the machine's own packages; unpacked" \
    "$(ls "$debs" | wc -l) packages ($(du -sm "$debs" | cut -f1) MB downloaded," \
    "$(du -sm "$root" | cut -f1) MB unpacked) into $root"
  rm -rf "$debs"
}

# Wine 8 takes its home from the program the kernel starts: run through the root's dynamic linker
# directly it would look for its data beside that linker, and it starts its helper programs
# (wineboot first) as `wine` or `wine-preloader` beside that program, ignoring WINELOADER. So the
# real loader becomes usr/lib/wine/wine.bin, a copy of the root's linker lies beside it, and
# usr/lib/wine/wine is a script that runs the two with --argv0 naming the script itself (glibc
# 2.33 or later; the root has 2.36): Wine then finds usr/share/wine, its DLLs, its child programs
# and, through the root's wineserver script, the machine's 64-bit wineserver of the same version.
sr_wine32_finish_root() {
  local root=$1 bin=$1/usr/lib/wine
  mv "$bin/wine" "$bin/wine.bin" && cp "$root/lib/i386-linux-gnu/ld-linux.so.2" "$bin/ld-linux.so.2" || {
    sr_wine32_record "" "no 32-bit Wine: the unpacked root has no wine loader or dynamic linker"
    return 1
  }
  cat >"$bin/wine" <<'EOF'
#!/bin/sh
# 32-bit Wine from the private root this script lies in, which scripts/setup_wine32.sh unpacked.
here=$(dirname "$(readlink -f "$0")")
root=$(cd "$here/../../.." && pwd)
export WINELOADERNOEXEC=1
exec "$here/ld-linux.so.2" --library-path "$root/lib/i386-linux-gnu:$root/usr/lib/i386-linux-gnu" \
  --argv0 "$here/wine" "$here/wine.bin" "$@"
EOF
  chmod +x "$bin/wine"
  sr_wine32_builtin_zlib "$root" "$(ls "$sr_wine32_dir"/debs/libz-mingw-w64_*.deb 2>/dev/null | head -1)"
}

# libwine's install script makes Wine's builtin zlib1.dll from MinGW's: the first 64 bytes, the
# builtin mark "Wine builtin DLL" and 16 zero bytes in place of bytes 64 to 95, then the rest.
# dpkg-deb -x runs no install scripts; without the file user32.dll does not load.
sr_wine32_builtin_zlib() {
  local root=$1 deb=$2 source=/usr/i686-w64-mingw32/lib/zlib1.dll
  local target=$root/usr/lib/i386-linux-gnu/wine/i386-windows/zlib1.dll
  if [ ! -f "$source" ] && [ -n "$deb" ]; then
    dpkg-deb -x "$deb" "$sr_wine32_dir/zlib" && source=$sr_wine32_dir/zlib/usr/i686-w64-mingw32/lib/zlib1.dll
  fi
  [ -f "$source" ] || {
    sr_wine32_record "" "no 32-bit Wine: MinGW's zlib1.dll (libz-mingw-w64) is missing"
    return 1
  }
  { head -c 64 "$source"; printf 'Wine builtin DLL'; head -c 16 /dev/zero; tail -c +97 "$source"; } >"$target"
  rm -rf "$sr_wine32_dir/zlib"
}

sr_setup_wine32
