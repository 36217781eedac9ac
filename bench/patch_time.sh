#!/usr/bin/env bash
# Times sndlatch-patch on a 50 MB host against copying the same file, and
# prints the result as one row of the benchmark table:
#
#   bench/patch_time.sh [BUILD]       (BUILD defaults to build)
#
# The patcher is BUILD/native/sndlatch-patch, or $SNDLATCH_PATCH when set; the
# host is BUILD/bench/bighost.exe (target bench_bighost). Each side runs REPS
# times (default 15) after one warm-up run, alternating, and the medians are
# compared. Both write a new file beside the host, so both pay for the same
# file creation and the host is read from the page cache both times.
set -euo pipefail

build=${1:-build}
reps=${REPS:-15}
patcher=${SNDLATCH_PATCH:-$build/native/sndlatch-patch}
host=$build/bench/bighost.exe
label="5 patch 50 MB host, ms (floor: cp)"

if [ ! -x "$patcher" ]; then
  printf '%-40s %s\n' "$label" "skipped: $patcher is not built"
  exit 0
fi
if [ ! -f "$host" ]; then
  printf '%-40s %s\n' "$label" "skipped: $host is not built (target bench_bighost)"
  exit 0
fi

work=$(mktemp -d "$build/bench/patch-time.XXXXXX")
trap 'rm -rf "$work"' EXIT
# A patched program needs sndlatch.dll beside it; the patcher says so when it
# is missing, which is not what is being timed.
if [ -f "$build/bench/sndlatch.dll" ]; then
  cp "$build/bench/sndlatch.dll" "$work/"
fi

# Milliseconds that one run of "$@" takes, with its output file removed first.
time_ms() {
  local out=$1
  shift
  rm -f "$out"
  local t0 t1
  t0=$(date +%s%N)
  "$@" >/dev/null
  t1=$(date +%s%N)
  echo $(( (t1 - t0) / 1000 ))
}

median() {
  sort -n | awk '{v[NR] = $1} END {
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

time_ms "$work/copy.exe" cp "$host" "$work/copy.exe" >/dev/null
time_ms "$work/patched.exe" "$patcher" -o "$work/patched.exe" "$host" >/dev/null
patch_us=() copy_us=()
for ((i = 0; i < reps; i++)); do
  if (( i % 2 )); then
    copy_us+=("$(time_ms "$work/copy.exe" cp "$host" "$work/copy.exe")")
    patch_us+=("$(time_ms "$work/patched.exe" "$patcher" -o "$work/patched.exe" "$host")")
  else
    patch_us+=("$(time_ms "$work/patched.exe" "$patcher" -o "$work/patched.exe" "$host")")
    copy_us+=("$(time_ms "$work/copy.exe" cp "$host" "$work/copy.exe")")
  fi
done

patch=$(printf '%s\n' "${patch_us[@]}" | median)
copy=$(printf '%s\n' "${copy_us[@]}" | median)
size=$(stat -c %s "$host")
awk -v label="$label" -v p="$patch" -v c="$copy" 'BEGIN {
  r = p / c
  printf "%-40s %12.2f %12.2f %7.2f %8s  %-6s %s\n", label, p / 1000, c / 1000, r, "<=3.00",
         (r <= 3.0 ? "PASS" : "MISS"), "none" }'
printf '%-40s %s\n' "" "host: $size bytes, $reps runs of each; the Linux tool, no Wine"
