#!/bin/sh
# Patches each host program and runs it under Wine, before and after:
#   unpatched, three waveOutOpen calls give three different handles;
#   (a host NAME.dll is a sound library: it is the file patched, and
#   NAME-run.exe beside it is the program run)
#   patched, beside sndlatch.dll, they give one handle three times;
#   the host's other WINMM calls print the same results both times.
#
#   wine-hosts.sh PATCHER SNDLATCH_DLL HOST.exe...
#
# PATCHER is the native sndlatch-patch or sndlatch-patch.exe (then it runs
# under Wine too). WINE_RUN names the Wine wrapper (default tools/wine-run).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
wine_run=${WINE_RUN:-$here/../../tools/wine-run}
patcher=$1
dll=$2
shift 2

work=$(mktemp -d "${TMPDIR:-/tmp}/sndlatch-wine.XXXXXX")
trap 'rm -rf "$work"' EXIT
failed=0

fail() {
  echo "FAIL $name: $*" >&2
  failed=1
}

patch() {
  case "$patcher" in
    *.exe) "$wine_run" "$patcher" "Z:$1" ;;
    *) "$patcher" "$1" ;;
  esac
}

# Prints the handles of the "open N: result R handle H" lines, failing on a
# non-zero result.
handles() {
  grep '^open ' "$1" | while read -r _ n _ result _ handle; do
    [ "$result" = 0 ] || echo "bad-result-$n"
    echo "$handle"
  done
}

for host in "$@"; do
  name=$(basename "$host")
  dir=$work/${name%.*}
  mkdir -p "$dir"
  case "$host" in
    *.dll)
      target=$dir/$name
      cp "$host" "$target"
      cp "${host%.dll}-run.exe" "$dir/h.exe"
      ;;
    *)
      target=$dir/h.exe
      cp "$host" "$target"
      ;;
  esac

  "$wine_run" "$dir/h.exe" >"$dir/before.txt" 2>/dev/null || fail "unpatched run exited $?"
  if ! patch "$target" >"$dir/patch.txt" 2>&1; then
    fail "patching failed: $(cat "$dir/patch.txt")"
    continue
  fi
  cp "$dll" "$dir/sndlatch.dll"
  "$wine_run" "$dir/h.exe" >"$dir/after.txt" 2>/dev/null || fail "patched run exited $?"

  before=$(handles "$dir/before.txt" | tr -d '\r')
  after=$(handles "$dir/after.txt" | tr -d '\r')
  [ "$(echo "$before" | wc -l)" = 3 ] || fail "unpatched: expected 3 opens, got: $before"
  [ "$(echo "$before" | sort -u | wc -l)" = 3 ] || fail "unpatched: handles not distinct: $before"
  [ "$(echo "$after" | wc -l)" = 3 ] || fail "patched: expected 3 opens, got: $after"
  [ "$(echo "$after" | sort -u | wc -l)" = 1 ] || fail "patched: expected one handle, got: $after"
  case "$before$after" in *bad-result*) fail "an open failed: $before / $after" ;; esac

  other_before=$(grep -v '^open ' "$dir/before.txt" | tr -d '\r')
  other_after=$(grep -v '^open ' "$dir/after.txt" | tr -d '\r')
  [ -n "$other_before" ] || fail "no other WINMM calls printed"
  [ "$other_before" = "$other_after" ] ||
    fail "other WINMM calls differ: '$other_before' vs '$other_after'"
  echo "ok $name: handles $(echo $after)"
done
exit $failed
