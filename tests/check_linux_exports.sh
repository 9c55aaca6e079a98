#!/usr/bin/env bash
# Guards against the Linux module leaking internal symbols: it must export exactly the two entry points.
set -euo pipefail
module=$1
exports=$(nm -D --defined-only "$module" | awk '$2 ~ /^[TtDdBbRrWwVv]$/ {print $3}' | sort)
expected=$(printf 'VirtualdubFilterModuleDeinit\nVirtualdubFilterModuleInit2\n')
if [ "$exports" != "$expected" ]; then
  echo "unexpected exports of $module:"; echo "$exports"; exit 1
fi
echo "exports OK: $(echo $exports)"
