#!/usr/bin/env bash
# Runs the demo under Wine three times: as built, patched to use sndlatch.dll,
# and as built with the drop-in winmm.dll beside it. Captures what each device
# plays on a track of its own (an ALSA file device that starts a pipe per
# device), prints a summary and draws the tracks. The same three runs follow
# on a platform that allows one open at a time (the stand-in system winmm of
# tests/winmm_one_open, when it was built), where demo.exe ends with two
# sounds at once.
#
#   demo/run.sh [--check] BUILD_DIR PATCHER
#
# BUILD_DIR is the Windows build (it holds demo/demo.exe, module/sndlatch.dll
# and dropin/winmm.dll); PATCHER is a sndlatch-patch that runs on this machine.
# The tracks land in BUILD_DIR/demo/{unpatched,patched,dropin}-N.wav, N the
# device's place in the order of the opens (oneopen-KIND-N.wav for the
# one-open platform), and the picture of all of them in BUILD_DIR/demo/demo.png.
set -euo pipefail
check=
if [ "${1:-}" = --check ]; then check=--check; shift; fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: run.sh [--check] BUILD_DIR PATCHER}" && pwd)
patcher=${2:?usage: run.sh [--check] BUILD_DIR PATCHER}
out=$build/demo
opens=3
kinds=(unpatched patched dropin)

one_open_dll=$build/tests/winmm_one_open/winmm_one_open.dll
[ -f "$one_open_dll" ] && kinds+=(oneopen-unpatched oneopen-patched oneopen-dropin)
for kind in "${kinds[@]}"; do rm -rf "${out:?}/$kind"; mkdir -p "$out/$kind"; done
rm -f "$out"/*.wav "$out"/*.txt "$out/demo.png"
cp "$out/demo.exe" "$out/unpatched/demo.exe"
"$patcher" -o "$out/patched/demo.exe" "$out/demo.exe" >/dev/null 2>&1 || {
  echo "demo: $patcher could not patch demo.exe:" >&2
  "$patcher" --check "$out/demo.exe" >&2 || true
  exit 1
}
cp "$build/module/sndlatch.dll" "$out/patched/"
# The drop-in column: demo.exe unchanged, winmm.dll beside it. Under Wine a
# native DLL named like a system DLL is loaded only with an override.
cp "$out/demo.exe" "$out/dropin/demo.exe"
cp "$build/dropin/winmm.dll" "$out/dropin/winmm.dll"
for kind in unpatched patched dropin; do
  [ -d "$out/oneopen-$kind" ] && cp "$out/$kind"/* "$out/oneopen-$kind/"
done

status=0
for kind in "${kinds[@]}"; do
  home=$out/home-$kind
  mkdir -p "$home"
  tracks=$out/tracks-$kind
  rm -rf "$tracks"
  mkdir -p "$tracks"
  printf 'pcm.!default { type file slave.pcm "null" file "|%s %s" format "wav" }\n' \
    "$root/demo/track.sh" "$tracks" >"$home/.asoundrc"
  overrides=
  [ "${kind#oneopen-}" = dropin ] && overrides="winmm=n,b"
  echo "== $kind demo.exe${overrides:+ (WINEDLLOVERRIDES=$overrides)}"
  if [ "${kind#oneopen-}" = "$kind" ]; then
    (cd "$out/$kind" && SNDLATCH_WINE_HOME=$home WINEDLLOVERRIDES=$overrides \
      "$root/tools/wine-run" --dir "$build/wine" --timeout 120 demo.exe "$opens") |
      tee "$out/$kind.txt" || status=1
  else
    # The stand-in writes each open's sound to a track in the folder it is
    # given. Unpatched, the second open fails there: that is what the column
    # shows, not a failure of the demo.
    SNDLATCH_ONE_OPEN_CAPTURE="Z:${tracks//\//\\}" WINEDLLOVERRIDES=${overrides:-winmm=n} \
      "$root/tests/winmm_one_open/one_open.sh" "$one_open_dll" "$out/one_open_wine" \
      "$out/$kind" demo.exe "$opens" together | tee "$out/$kind.txt" ||
      [ "$kind" = oneopen-unpatched ] || status=1
  fi
  # The tracks in the order of the opens (their names hold the time each
  # started). The demo never closes its devices, so each track's header is
  # unfinished until it is mended.
  n=0
  for track in "$tracks"/track-*.wav; do
    [ -e "$track" ] || continue
    n=$((n + 1))
    mv "$track" "$out/$kind-$n.wav"
    python3 "$root/demo/capture.py" "$out/$kind-$n.wav" || status=1
  done
  rmdir "$tracks"
done

python3 "$root/demo/summary.py" $check "$out" || status=1

# One spectrogram per device, labelled, on one time scale.
if err=$(python3 "$root/demo/picture.py" "$out" 2>&1); then
  echo "picture:  $(realpath --relative-to=. "$out/demo.png")"
else
  echo "demo: could not draw $out/demo.png: $err" >&2
  status=1
fi
exit "$status"
