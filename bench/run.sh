#!/usr/bin/env bash
# Runs the benchmarks and prints one table (what `make bench` does):
#
#   bench/run.sh [BUILD [--calls N] [--reps R] [--rounds K]]
#
# BUILD defaults to build; the options go to both Windows programs (see
# bench.cpp). BUILD/bench/sndlatch_bench.exe measures rows 1 to 5 under Wine;
# bench/patch_time.sh adds the patcher's row, timed on this machine;
# BUILD/bench/dropin/dropin_bench.exe measures the drop-in winmm.dll's rows 6
# to 9, under the DLL override that makes Wine load it; and the same program
# built for x86-64, BUILD/x64/bench/dropin/dropin_bench.exe, measures the
# 64-bit drop-in's rows 11 to 13 in a 64-bit prefix of its own.
# Nothing else should run meanwhile: the ratios cancel the machine's noise,
# not another program's load.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
[ $# -gt 0 ] && shift
case "$build" in /*) ;; *) build=$root/$build ;; esac

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
echo "host     ${cpu:-unknown CPU}, $(nproc) processors, $(uname -sr)"
# Under qemu the timing goals are reported, not judged (--emulated); the
# instruction counts are exact either way.
emulated=()
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "loader   Wine's 32-bit loader ran natively"
else
  echo "loader   this kernel cannot run 32-bit Linux programs: Wine's 32-bit loader"
  echo "         ran under $(qemu-i386 --version | head -n 1); times are emulated, the"
  echo "         ratios compare like with like, and the timing goals are not judged"
  emulated=(--emulated)
fi

"$root/tools/wine-run" --dir "$build/wine" --timeout 1800 "$build/bench/sndlatch_bench.exe" "${emulated[@]}" "$@"
bash "$root/bench/patch_time.sh" "$build"
WINEDLLOVERRIDES="winmm=n,b" "$root/tools/wine-run" --dir "$build/wine" --timeout 1800 \
  "$build/bench/dropin/dropin_bench.exe" "${emulated[@]}" "$@"
# Row 10: the drop-in's mixer, built natively for this machine.
if [ -x "$build/native-mix/mix_bench" ]; then
  "$build/native-mix/mix_bench"
else
  printf '%-40s %s\n' "10 mixer, 8 opens, % of one core" "skipped: $build/native-mix/mix_bench is not built"
fi
echo "loader   rows 11 to 13: Wine's 64-bit loader, natively"
WINEDLLOVERRIDES="winmm=n,b" "$root/tools/wine-run" --win64 --dir "$build/x64/wine" --timeout 1800 \
  "$build/x64/bench/dropin/dropin_bench.exe" "$@"
