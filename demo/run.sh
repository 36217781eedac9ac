#!/usr/bin/env bash
# Runs the demo under Wine twice, as built and patched to use sndlatch.dll,
# captures what each plays through an ALSA file device, and prints a summary.
#
#   demo/run.sh [--check] BUILD_DIR PATCHER
#
# BUILD_DIR is the Windows build (it holds demo/demo.exe and module/sndlatch.dll);
# PATCHER is a sndlatch-patch that runs on this machine. The captures land in
# BUILD_DIR/demo/unpatched.wav and BUILD_DIR/demo/patched.wav.
set -euo pipefail
check=
if [ "${1:-}" = --check ]; then check=--check; shift; fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: run.sh [--check] BUILD_DIR PATCHER}" && pwd)
patcher=${2:?usage: run.sh [--check] BUILD_DIR PATCHER}
out=$build/demo
opens=3

rm -rf "$out/unpatched" "$out/patched" "$out"/*.wav "$out"/*.txt
mkdir -p "$out/unpatched" "$out/patched"
cp "$out/demo.exe" "$out/unpatched/demo.exe"
"$patcher" -o "$out/patched/demo.exe" "$out/demo.exe" >/dev/null 2>&1 || {
  echo "demo: $patcher could not patch demo.exe:" >&2
  "$patcher" --check "$out/demo.exe" >&2 || true
  exit 1
}
cp "$build/module/sndlatch.dll" "$out/patched/"

status=0
for kind in unpatched patched; do
  home=$out/home-$kind
  mkdir -p "$home"
  printf 'pcm.!default { type file slave.pcm "null" file "%s" format "wav" }\n' \
    "$out/$kind.wav" >"$home/.asoundrc"
  echo "== $kind demo.exe"
  (cd "$out/$kind" && SNDLATCH_WINE_HOME=$home "$root/tools/wine-run" --dir "$build/wine" \
    --timeout 120 demo.exe "$opens") | tee "$out/$kind.txt" || status=1
done

python3 "$root/demo/summary.py" $check "$out/unpatched.txt" "$out/unpatched.wav" \
  "$out/patched.txt" "$out/patched.wav" || status=1
exit "$status"
