#!/bin/sh
# Runs sndlatch-patch.exe under Wine on names outside the ANSI code page and
# on a program that cannot be replaced, all in one cmd.exe session:
#   gāme.exe beside game.exe: only gāme.exe is patched;
#   -o nōtes.txt beside notes.txt: notes.txt is left alone;
#   Größe/ゲーム.exe: patched, its name printed as it is;
#   -o GAME.EXE game.exe: the same file in another case, a usage error;
#   a read-only program held open (running), twice: exit 2, no file left;
#   /? and -v, the Windows way of asking for help and the short --version.
#
#   wine-names.sh SNDLATCH-PATCH.EXE HOST.exe
#
# WINE_RUN names the Wine wrapper (default tools/wine-run).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
wine_run=${WINE_RUN:-$here/../../tools/wine-run}
patcher=$1
host=$2

work=$(mktemp -d "${TMPDIR:-/tmp}/sndlatch-names.XXXXXX")
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
cd "$work"
mkdir Größe
for f in game.exe gāme.exe Größe/ゲーム.exe busy.exe; do cp "$host" "$f"; done
cp "$patcher" sndlatch-patch.exe
echo notes >notes.txt
chmod a-w busy.exe

# Each case writes its output and exit code to oN.txt.
n=0
cases=""
add() {
  n=$((n + 1))
  cases="$cases & sndlatch-patch.exe $* >o$n.txt 2>&1 & echo exit !errorlevel! >>o$n.txt"
}
add gāme.exe
add -o nōtes.txt game.exe
add 'Größe\ゲーム.exe'
add -o GAME.EXE game.exe
add busy.exe '<busy.exe'
add busy.exe '<busy.exe'
add '/?'
add -v
LC_ALL=C.UTF-8 "$wine_run" cmd /v:on /c "cd /d Z:$(pwd | tr / '\\')$cases" || true

failed=0
check() { # N EXIT TEXT DESCRIPTION
  out=$(tr -d '\r' <"o$1.txt")
  case "$out" in
    *"exit $2"*"$3"* | *"$3"*"exit $2"*) ;;
    *) echo "FAIL $4: expected exit $2 and '$3', got: $out" >&2; failed=1 ;;
  esac
}
same() { # FILE EXPECTED-FILE DESCRIPTION
  cmp -s "$1" "$2" || { echo "FAIL $3: $1 differs from $2" >&2; failed=1; }
}
check 1 0 "patched gāme.exe" "gāme.exe"
same gāme.exe.orig "$host" "gāme.exe kept"
same game.exe "$host" "game.exe untouched"
check 2 0 "wrote nōtes.txt" "-o nōtes.txt"
[ "$(cat notes.txt)" = notes ] || { echo "FAIL notes.txt was changed" >&2; failed=1; }
check 3 0 'patched Größe\ゲーム.exe' "Größe/ゲーム.exe"
same 'Größe/ゲーム.exe.orig' "$host" "ゲーム.exe kept"
check 4 2 "is game.exe itself" "-o GAME.EXE game.exe"
check 5 2 "nothing changed" "busy program"
check 6 2 "nothing changed" "busy program, again"
same busy.exe "$host" "busy.exe untouched"
check 7 0 "usage: sndlatch-patch" "/?"
check 8 0 "sndlatch-patch " "-v"

files=$(find . -type f ! -name 'o*.txt' | LC_ALL=C sort | tr '\n' ' ')
want="./Größe/ゲーム.exe ./Größe/ゲーム.exe.orig ./busy.exe ./game.exe ./gāme.exe ./gāme.exe.orig ./notes.txt ./nōtes.txt ./sndlatch-patch.exe "
[ "$files" = "$want" ] || { echo "FAIL files: expected $want, got $files" >&2; failed=1; }
[ $failed = 1 ] || echo "ok: non-ASCII names and a busy program"
exit $failed
