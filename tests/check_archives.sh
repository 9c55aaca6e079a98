#!/usr/bin/env bash
# Guards the release archives: each holds what its README promises, in the folders users install
# from, the Windows modules in the archive are of the right architecture, and the Windows
# archive's text files have Windows line ends.
set -euo pipefail
build=$1
version=$(sed -n 's/^project(subtitle_removal VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../CMakeLists.txt")
zip="$build/subtitle_removal-$version-windows.zip"
tgz="$build/subremove-$version-linux-x86_64.tar.gz"
fail=0

listing=$(unzip -Z1 "$zip" | grep -v '/$' | sort)
echo "$zip:"; echo "$listing" | sed 's/^/  /'
expected=$(printf 'LICENSE.txt\nREADME.txt\nplugins32/subtitle_removal.vdf\nplugins64/subtitle_removal.vdf\n')
[ "$listing" = "$expected" ] || { echo "FAIL unexpected contents of $zip"; fail=1; }
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
unzip -q "$zip" -d "$tmp"
i686-w64-mingw32-objdump -f "$tmp/plugins32/subtitle_removal.vdf" | grep -q 'file format pei-i386' ||
  { echo "FAIL plugins32 module is not a 32-bit module"; fail=1; }
x86_64-w64-mingw32-objdump -f "$tmp/plugins64/subtitle_removal.vdf" | grep -q 'file format pei-x86-64' ||
  { echo "FAIL plugins64 module is not a 64-bit module"; fail=1; }
# Guards text files packed with bare LF line ends, which older Notepad shows as one long line:
# every line of every .txt file ends in one CR and an LF, the last one included.
for f in $(echo "$listing" | grep '\.txt$'); do
  if [ ! -s "$tmp/$f" ] || LC_ALL=C grep -Eq $'(^|[^\r]|\r\r)$' "$tmp/$f" ||
     [ "$(tail -c2 "$tmp/$f" | od -An -tx1 | tr -d ' \n')" != 0d0a ]; then
    echo "FAIL $f in $zip does not have Windows (CRLF) line ends throughout"; fail=1
  fi
done

listing=$(tar tzf "$tgz" | grep -v '/$' | sort)
echo "$tgz:"; echo "$listing" | sed 's/^/  /'
for f in bin/subremove lib/subtitle-removal/subtitle_removal.so lib/subtitle-removal/libvdwin32.so README.txt LICENSE.txt; do
  echo "$listing" | grep -qx "subremove-$version/$f" || { echo "FAIL $tgz lacks $f"; fail=1; }
done
[ $fail = 0 ] && echo "archives OK"
exit $fail
