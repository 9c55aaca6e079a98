# 32-bit Wine for running the i686 module's tests; sourced by scripts/setup.sh from the source
# tree's root, after the other packages (gcc-multilib among them) are in.
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
#     unpacked with `dpkg-deb -x` into build/wine32/root, and build/wine32/wine is written: it runs
#     that root's wine loader with that root's dynamic linker and libraries, and the installed
#     wineserver (the same Wine version). Nothing of the machine's own changes but the added
#     architecture. A later run reuses the root while its version file names the wine64 version.
# It prints what it did, the megabytes it added and the seconds it took.
sr_wine32_dir=$PWD/build/wine32
sr_wine32_extras=(libxrender1:i386 libxrandr2:i386 libxi6:i386 libxcursor1:i386 libxfixes3:i386)

sr_setup_wine32() {
  local probe version packages plan started
  if ! probe=$(bash scripts/probe_i386.sh); then
    echo "setup: $probe: the i686 module's Wine tests will be skipped"
    return 0
  fi
  version=$(dpkg-query -W -f='${Version}' wine64 2>/dev/null || true)
  if [ -x /usr/lib/wine/wine ] ||
     { [ -x "$sr_wine32_dir/wine" ] && [ "$(cat "$sr_wine32_dir/version" 2>/dev/null)" = "$version" ]; }; then
    return 0
  fi
  if [ "$(id -u)" != 0 ] || [ -z "$version" ]; then
    echo "setup: 32-bit programs run here, but 32-bit Wine is missing (run as root, with wine64 installed, to add it)" >&2
    return 0
  fi
  started=$(date +%s)
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  apt-get update -qq || {
    echo "setup: apt-get update failed: no 32-bit Wine" >&2
    return 0
  }
  packages=("wine32:i386=$version" "libwine:i386=$version" "${sr_wine32_extras[@]}")
  plan=$(apt-get -s install --no-install-recommends "${packages[@]}" 2>&1) || {
    echo "setup: apt-get cannot install 32-bit Wine: $(echo "$plan" | tail -1)" >&2
    return 0
  }
  if echo "$plan" | grep -Eq '^(Remv |Inst [^ ]+ \[)'; then
    sr_wine32_private_root "$version" "$plan" || return 0
  else
    local before after
    before=$(sr_installed_kilobytes)
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
    after=$(sr_installed_kilobytes)
    echo "setup: installed Debian's wine32:i386 $version: $(((after - before) / 1024)) MB"
  fi
  echo "setup: 32-bit Wine ready in $(($(date +%s) - started)) s"
}

# Sum of the installed packages' sizes, in kilobytes.
sr_installed_kilobytes() {
  dpkg-query -W -f='${Installed-Size}\n' | awk '{s += $1} END {print s + 0}'
}

# The i386 packages of the plan (`Inst NAME:i386 (VERSION ...`), unpacked into a root of their own.
sr_wine32_private_root() {
  local version=$1 plan=$2 root=$sr_wine32_dir/root debs=$sr_wine32_dir/debs
  local wanted
  wanted=$(echo "$plan" | awk '$1 == "Inst" && $2 ~ /:i386$/ {v = $3; sub(/^\(/, "", v); print $2 "=" v}')
  rm -rf "$sr_wine32_dir"
  mkdir -p "$root" "$debs"
  # apt-get download writes into the current folder; its sandbox user need not reach it.
  if ! (cd "$debs" && apt-get download -qq -o APT::Sandbox::User=root $wanted >/dev/null); then
    echo "setup: could not download the 32-bit Wine packages into $debs" >&2
    return 1
  fi
  local deb
  for deb in "$debs"/*.deb; do
    dpkg-deb -x "$deb" "$root" || {
      echo "setup: could not unpack $deb" >&2
      return 1
    }
  done
  sr_wine32_launcher >"$sr_wine32_dir/wine"
  chmod +x "$sr_wine32_dir/wine"
  echo "$version" >"$sr_wine32_dir/version"
  echo "setup: installing wine32:i386 would change the machine's own packages; unpacked" \
    "$(ls "$debs" | wc -l) i386 packages ($(du -sm "$debs" | cut -f1) MB downloaded," \
    "$(du -sm "$root" | cut -f1) MB unpacked) into $root"
  rm -rf "$debs"
}

# The loader of the private root, run through that root's dynamic linker (the machine has no
# /lib/ld-linux.so.2). Wine finds its ntdll through WINEDLLPATH, starts its helper programs through
# WINELOADER (this script again), must not re-execute itself through a preloader, and uses the
# machine's wineserver.
sr_wine32_launcher() {
  cat <<'EOF'
#!/bin/sh
# 32-bit Wine from the private root beside this script, which scripts/setup.sh unpacked.
self=$(readlink -f "$0")
root=$(dirname "$self")/root
export WINELOADER="$self" WINELOADERNOEXEC=1 WINEDLLPATH="$root/usr/lib/i386-linux-gnu/wine"
[ -x /usr/lib/wine/wineserver64 ] && export WINESERVER=/usr/lib/wine/wineserver64
exec "$root/lib/i386-linux-gnu/ld-linux.so.2" \
  --library-path "$root/lib/i386-linux-gnu:$root/usr/lib/i386-linux-gnu" "$root/usr/lib/wine/wine" "$@"
EOF
}

sr_setup_wine32
