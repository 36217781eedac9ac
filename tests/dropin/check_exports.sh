#!/usr/bin/env bash
# Checks the built drop-in winmm.dll, 32- or 64-bit, from the outside: it
# exports every name in its table and every name that Wine's own winmm.dll
# of the same architecture exports, and it imports no winmm (it reaches the
# system's at run time, by full path).
#   check_exports.sh OBJDUMP winmm.dll exports.tsv
set -u
objdump=$1
dll=$2
table=$3
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

names_of() { "$objdump" -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/\[ *[0-9]+\]/ {print $NF}' | sort; }

dump=$("$objdump" -p "$dll") || { echo "FAIL: $objdump cannot read $dll"; exit 1; }
if grep -q 'file format pei-i386' <<<"$dump"; then
  arch=i386
elif grep -q 'file format pei-x86-64' <<<"$dump"; then
  arch=x86_64
else
  fail "neither a PE32 i386 nor a PE32+ x86-64 image"
  arch=unknown
fi
name=$(awk '/^Name[ \t]/ {print $NF; exit}' <<<"$dump")
[ "$name" = "winmm.dll" ] || fail "export directory names the module '$name'"

exported=$(names_of "$dll")
listed=$(grep -v '^#' "$table" | awk -F'\t' 'NR > 1 {print $1}' | sort)
missing=$(comm -13 <(echo "$exported") <(echo "$listed"))
extra=$(comm -23 <(echo "$exported") <(echo "$listed"))
[ -z "$missing" ] || fail "listed but not exported: $(echo $missing)"
[ -z "$extra" ] || fail "exported but not listed: $(echo $extra)"
# Forwarders to the system winmm loop on Windows 10 and recurse under Wine.
! grep -q 'Forwarder RVA' <<<"$dump" || fail "some exports are forwarder strings"
echo "exports: $(wc -l <<<"$exported") names, none forwarded"

# Wine's winmm of the same architecture, wherever this Debian keeps it.
wine_winmm=
for f in /usr/lib/{i386,x86_64}-linux-gnu/wine/$arch-windows/winmm.dll /usr/lib/wine/$arch-windows/winmm.dll; do
  [ -f "$f" ] && { wine_winmm=$f; break; }
done
if [ -n "$wine_winmm" ]; then
  lacking=$(comm -13 <(echo "$exported") <(names_of "$wine_winmm"))
  [ -z "$lacking" ] || fail "exported by Wine's winmm but not by the drop-in: $(echo $lacking)"
  echo "Wine's winmm ($wine_winmm): $(names_of "$wine_winmm" | wc -l) names, all exported"
else
  fail "Wine's $arch winmm.dll not found"
fi

dlls=$(awk '/DLL Name:/ {print toupper($3)}' <<<"$dump" | sort -u)
for d in $dlls; do
  case "$d" in
    KERNEL32.DLL | MSVCRT.DLL) ;;
    *) fail "imports from $d" ;;
  esac
done
echo "imports from: $(echo $dlls)"
echo "size: $(stat -c %s "$dll") bytes"

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all drop-in module checks passed"
