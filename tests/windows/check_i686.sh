#!/usr/bin/env bash
# Static checks of the 32-bit Windows module, the product, that hold wherever it is built, also where
# 32-bit programs cannot run (the Wine tests beside this script run it where they can):
#  - its dialog resource 101: present, English (United States), its controls' ids in template
#    order, and every id the dialog code uses (ui/resource.h) with the value the resource has;
#  - the host's records as this build compiles them: sizes and offsets read back from an object
#    compiled with the module's headers and flags, and the vtable displacements and the thiscall
#    convention of the calls through the host's interfaces;
#  - no x87 floating point in the engine: the build flags select SSE2 arithmetic, the repaint's
#    objects hold no x87 instruction at all, and the region build's only x87 instructions are the
#    stores that take a returned double out of st(0), which the 32-bit calling convention forces.
#
# Usage: check_i686.sh <objdump> <windres> <module.vdf> <abi_layout.obj> <sr_objects dir>
#                      <build.ninja> <ui/resource.h>
set -euo pipefail
objdump=$1 windres=$2 module=$3 layout=$4 objects=$5 ninja=$6 resource_h=$7
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
# Prints a summary line only when the checks since `mark` all passed.
mark=0
passed() { [ "$failures" = "$mark" ] && echo "$*"; mark=$failures; }

# ---- Resource 101 ----
rc=$("$windres" -i "$module" -O rc)
dialog=$(echo "$rc" | awk '/^101 DIALOGEX/ {p=1} p {print} p && /^END/ {exit}')
# Guards a module built without its dialog template (configProc's DialogBoxParamA would fail).
[ -n "$dialog" ] || fail "no DIALOGEX resource 101 in $module"
language=$(echo "$rc" | awk '/^LANGUAGE/ {l=$0} /^101 DIALOGEX/ {print l; exit}')
# Guards a template filed under another language, which a host on an English system would not find first.
[ "$language" = "LANGUAGE 9, 1" ] || fail "resource 101 language is \"$language\", expected LANGUAGE 9, 1"
ids=$(echo "$dialog" | awk -F', *' '/^ *CONTROL/ {print $2}' | tr '\n' ' ')
# The dialog's control table, in template (tab and drawing) order.
expected_ids="-1 1052 1056 1051 1022 -1 -1 1068 1065 -1 1067 1064 1059 -1 1069 1066 1046 1 -1 1070 1043 "
# Guards a control lost, renumbered or moved in the template.
[ "$ids" = "$expected_ids" ] || fail "control ids of resource 101: $ids, expected $expected_ids"
while read -r _ name value; do
  [ "$name" = IDD_SUBTITLE_REMOVAL ] && { [ "$value" = 101 ] || fail "IDD_SUBTITLE_REMOVAL is $value"; continue; }
  count=$(echo "$dialog" | awk -F', *' -v id="$value" '/^ *CONTROL/ && $2 == id {n++} END {print n + 0}')
  # Guards the dialog code addressing an id that the template does not have (or has twice).
  [ "$count" = 1 ] || fail "$name ($value) appears $count times in resource 101"
done < <(grep -E '^#define (IDD|IDC)_' "$resource_h")
passed "resource 101: $(echo "$ids" | wc -w) controls, ids $ids"

# ---- The host's records ----
# name:expected pairs in the order of abi_layout.cpp; every member of the host's records is four
# bytes wide on this platform.
expected_layout=(
  sizeof.FilterDefinition:88 FilterDefinition.module:8 FilterDefinition.name:12
  FilterDefinition.inst_data_size:28 FilterDefinition.initProc:32 FilterDefinition.runProc:40
  FilterDefinition.paramProc:44 FilterDefinition.configProc:48 FilterDefinition.stringProc:52
  FilterDefinition.startProc:56 FilterDefinition.endProc:60 FilterDefinition.script_obj:64
  FilterDefinition.fssProc:68 FilterDefinition.copyProc:84
  sizeof.FilterActivation:48 FilterActivation.filter_data:4 FilterActivation.dst:8 FilterActivation.src:12
  FilterActivation.pfsi:40 FilterActivation.ifp:44
  sizeof.VFBitmap:48 VFBitmap.data:4 VFBitmap.w:16 VFBitmap.h:20 VFBitmap.pitch:24 VFBitmap.modulo:28
  VFBitmap.size:32 VFBitmap.offset:36
  sizeof.FilterStateInfo:24 FilterStateInfo.lCurrentSourceFrame:8
  sizeof.FilterModule:20 FilterModule.hInstModule:8
  FilterFunctions.addFilter:0 FilterFunctions.removeFilter:4
  sizeof.CScriptValue:16 CScriptValue.u:8
  sizeof.ScriptFunctionDef:12 ScriptFunctionDef.name:4 ScriptFunctionDef.arg_list:8
  sizeof.CScriptObject:12 CScriptObject.func_list:4 CScriptObject.obj_list:8
)
# The section's words, little-endian, as decimal numbers.
words=($("$objdump" -s -j .srabi "$layout" | awk '$1 ~ /^[0-9a-f]+$/ && length($1) == 4 {for (i = 2; i <= 5; ++i) if ($i ~ /^[0-9a-f]+$/ && length($i) == 8) print $i}' |
  while read -r w; do echo $((16#${w:6:2}${w:4:2}${w:2:2}${w:0:2})); done))
# Guards an object without the layout section (the check would otherwise compare nothing).
[ "${#words[@]}" -ge "${#expected_layout[@]}" ] || fail "layout section holds ${#words[@]} words"
for i in "${!expected_layout[@]}"; do
  name=${expected_layout[$i]%:*} want=${expected_layout[$i]#*:}
  # Guards a record whose compiled size or member offset differs from what the 32-bit host uses.
  [ "${words[$i]:-missing}" = "$want" ] || fail "$name is ${words[$i]:-missing}, the host expects $want"
done
passed "host records: ${#expected_layout[@]} sizes and offsets as the host lays them out"

disassembly=$("$objdump" -d --no-show-raw-insn "$layout")
function_body() { echo "$disassembly" | awk -v f="<_$1>:" '$2 == f {p=1; next} /^[0-9a-f]+ </ {p=0} p'; }
for call in SetButtonCallback:0 Toggle:0xc RedoFrame:0x14 InitButton:0x20 ScriptError:0xc; do
  name=${call%:*} displacement=${call#*:}
  body=$(function_body "sr_call_$name")
  [ "$displacement" = 0 ] && target='\*\(%e[a-d]x\)' || target="\*$displacement\(%e[a-d]x\)"
  # Guards a method moved to another vtable slot (the host would run a different method).
  echo "$body" | grep -Eq "(call|jmp) +$target" || fail "$name is not called through vtable displacement $displacement"
  # Guards the calling convention: the host's interfaces take `this` in ecx (thiscall).
  echo "$body" | grep -Eq 'mov +0x[0-9a-f]+\(%esp\),%ecx' || fail "$name does not pass this in ecx"
done
passed "host interfaces: vtable displacements and thiscall as the host expects"

# ---- No x87 in the engine ----
flags_of() { awk -v obj="$1" '$1 == "build" && index($2, obj) {p=1; next} p && /^  FLAGS =/ {print; exit}' "$ninja"; }
for object in render.cpp.obj render_fast.cpp.obj weights.cpp.obj samples.cpp.obj regions.cpp.obj; do
  flags=$(flags_of "engine/$object")
  # Guards a build of the engine whose doubles live in x87 registers (80-bit intermediates).
  echo "$flags" | grep -q -- '-msse2' && echo "$flags" | grep -q -- '-mfpmath=sse' &&
    ! echo "$flags" | grep -Eq -- '-mfpmath=(387|both)' || fail "engine/$object is not compiled with -msse2 -mfpmath=sse"
done
passed "engine flags: -msse2 -mfpmath=sse"

# x87 instructions of an object, one line each: "mnemonic function" (every x87 mnemonic starts
# with f, and no other instruction of the target does).
x87_instructions() {
  "$objdump" -d -C --no-show-raw-insn "$1" |
    awk '/^[0-9a-f]+ <.*>:$/ {fn=$0} $1 ~ /^[0-9a-f]+:$/ && $2 ~ /^f[a-z0-9]+$/ {print $2, fn}'
}
# The detector itself: a function returning a double returns it in st(0), so AspectScaleX holds
# x87 instructions. Guards a detector that cannot see x87 code (the checks below would pass vacuously).
x87_instructions "$objects/host/params.cpp.obj" | grep -q 'AspectScaleX' ||
  fail "the x87 detector finds nothing in AspectScaleX, which returns in st(0)"
for object in render.cpp.obj render_fast.cpp.obj; do
  found=$(x87_instructions "$objects/engine/$object" | sort | uniq -c)
  # Guards x87 arithmetic in the repaint, whose results must match the SSE2 builds bit for bit.
  [ -z "$found" ] || fail "x87 instructions in engine/$object: $found"
done
reference=$("$objdump" -d -C --no-show-raw-insn "$objects/engine/render.cpp.obj" |
  awk '/^[0-9a-f]+ <RepaintRegionsReference/ {p=1; next} /^[0-9a-f]+ </ {p=0} p {print $2}')
# Guards a repaint that no longer forms its double sums in SSE2 registers.
echo "$reference" | grep -qx addsd && echo "$reference" | grep -qx divsd && echo "$reference" | grep -qx cvttsd2si ||
  fail "RepaintRegionsReference has no SSE2 double sums (addsd, divsd, cvttsd2si)"
for object in weights.cpp.obj samples.cpp.obj regions.cpp.obj; do
  other=$(x87_instructions "$objects/engine/$object" | { grep -Ev '^fstp[ls] ' || true; } | sort | uniq -c)
  # Guards x87 arithmetic in the region build; the stores of pow's and the aspect scales' st(0) results are the ABI's.
  [ -z "$other" ] || fail "x87 arithmetic in engine/$object: $other"
done
passed "engine code: no x87 in the repaint; the region build only stores returned doubles from st(0)"

if [ "$failures" -gt 0 ]; then
  echo "FAIL: $failures static check(s) of the i686 module"
  exit 1
fi
echo "i686 module static checks OK"
