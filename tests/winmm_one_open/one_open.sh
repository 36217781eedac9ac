#!/usr/bin/env bash
# Runs a Windows program on a platform that allows one open at a time: a Wine
# prefix of its own whose system winmm.dll is the stand-in one_open.dll.
#
#   one_open.sh ONE_OPEN_DLL WINEDIR FOLDER PROGRAM.exe [ARGS...]
#
# WINEDIR is made on the first run (tools/wine-run makes the prefix); the
# stand-in is copied into its system32 before each run, so that a rebuilt one
# is used. The program runs in FOLDER with the environment as given, so
# WINEDLLOVERRIDES=winmm=n,b with the drop-in in FOLDER puts the drop-in on
# top of the stand-in.
set -euo pipefail
dll=$1 winedir=$2 folder=$3
shift 3
root=$(cd "$(dirname "$0")/../.." && pwd)
mkdir -p "$winedir"
system32=$winedir/prefix/drive_c/windows/system32
(
  flock 9
  if [ ! -f "$winedir/prefix/.sndlatch-ready" ]; then
    WINEDLLOVERRIDES= "$root/tools/wine-run" --dir "$winedir" cmd.exe /c exit >/dev/null 2>&1 || true
  fi
  cmp -s "$dll" "$system32/winmm.dll" || cp "$dll" "$system32/winmm.dll"
) 9>"$winedir/.one_open.lock"
cd "$folder"
# The system's winmm is a native DLL now: Wine must be told to load it.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-winmm=n}
exec "$root/tools/wine-run" --dir "$winedir" "$@"
