#!/usr/bin/env bash
# Runs tones.exe under Wine with an ALSA file device that writes each device
# Wine opens to a track of its own (demo/track.sh), then looks for both tones
# in the tracks.
#
#   tones.sh platform|dropin FOLDER WINEDIR
#
# FOLDER holds tones.exe (and, for dropin, the drop-in winmm.dll).
set -euo pipefail
mode=$1 folder=$2 winedir=$3
root=$(cd "$(dirname "$0")/../.." && pwd)
home=$folder/home
tracks=$folder/tracks
rm -rf "$home" "$tracks"
mkdir -p "$home" "$tracks"
printf 'pcm.!default { type file slave.pcm "null" file "|%s %s" format "wav" }\n' \
  "$root/demo/track.sh" "$tracks" >"$home/.asoundrc"
overrides=
[ "$mode" = dropin ] && overrides="winmm=n,b"
status=0
(cd "$folder" && SNDLATCH_WINE_HOME=$home WINEDLLOVERRIDES=$overrides \
  "$root/tools/wine-run" --dir "$winedir" --timeout 240 tones.exe) || status=1
shopt -s nullglob
set -- "$tracks"/track-*.wav
if [ $# = 0 ]; then
  echo "tones.sh: nothing was captured" >&2
  exit 1
fi
python3 "$root/tests/dropin/tones_check.py" "$mode" "$@" || status=1
exit "$status"
