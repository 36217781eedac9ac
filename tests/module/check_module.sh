#!/usr/bin/env bash
# Checks the built sndlatch.dll from the outside: its export table, the
# functions it imports and from where, and its size.
#   check_module.sh OBJDUMP sndlatch.dll
set -u
objdump=$1
dll=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

dump=$("$objdump" -p "$dll") || { echo "FAIL: $objdump cannot read $dll"; exit 1; }

# A 32-bit i386 DLL.
grep -q 'file format pei-i386' <<<"$dump" || fail "not a PE32 i386 image"
sed -n '/^Characteristics/,/^$/p' <<<"$dump" | grep -qx $'\tDLL' || fail "the DLL flag is not set"

# Exports: one function, "sndlatch", at ordinal 1 with ordinal base 1, in a
# module recorded as "sndlatch.dll".
name=$(awk '/^Name[ \t]/ {print $NF; exit}' <<<"$dump")
[ "$name" = "sndlatch.dll" ] || fail "export directory names the module '$name'"
base=$(awk '/^Ordinal Base/ {print $NF; exit}' <<<"$dump")
[ "$base" = 1 ] || fail "ordinal base is '$base'"
count=$(awk '/Export Address Table[ \t]+[0-9a-f]+$/ {print $NF; exit}' <<<"$dump")
[ "$((16#${count:-0}))" = 1 ] || fail "export address table holds '$count' entries"
names=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | awk '/\[ *[0-9]+\]/ {print $NF}')
[ "$names" = "sndlatch" ] || fail "exported names are: $(echo $names)"
ordinal=$(sed -n '/Export Address Table -- Ordinal Base/,/^$/p' <<<"$dump" | awk '/\+base\[/ {gsub(/[^0-9 ]/, " "); print $2; exit}')
[ "$ordinal" = 1 ] || fail "sndlatch is at ordinal '$ordinal'"

# Imports: DLL!function pairs, each by name.
imports=$(awk '
  /DLL Name:/ { dll = toupper($3); next }
  dll != "" && /^\t[0-9a-f]+\t/ { print dll "!" $NF }
  /^$/ && prev_blank { dll = "" }
  { prev_blank = ($0 == "") }' <<<"$dump" | sort -u)
allowed='^(WINMM\.DLL!waveOutOpen|MSVCRT\.DLL!(fopen|fgets|sscanf|_strcmpi|vfprintf|fclose)|KERNEL32\.DLL!(Sleep|GetCurrentThreadId))$'
while read -r imp; do
  [ -n "$imp" ] || continue
  grep -qE "$allowed" <<<"$imp" || fail "unexpected import $imp"
done <<<"$imports"
grep -qx 'WINMM.DLL!waveOutOpen' <<<"$imports" || fail "waveOutOpen is not imported from WINMM.DLL"

size=$(stat -c %s "$dll")
[ "$size" -le 8192 ] || fail "the DLL is $size bytes, more than 8 KB"

echo "imports: $(echo $imports)"
echo "size: $size bytes"
if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all module checks passed"
