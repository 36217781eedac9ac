#!/bin/sh
# Runs sndlatch-patch.exe under Wine on what the file system holds besides
# plain files, all in one cmd.exe session:
#   link.exe, a link to real/r.exe: the link stays, r.exe is patched;
#   --scan over a folder with a link back to its parent: each module once;
#   -o onto a link to /dev/null: refused, the link stays;
#   a temporary file left by a killed run: the next run removes it;
#   a read-only program: patched and restored, it and its .orig stay
#   read-only (Wine shows a file without write permission as read-only).
#
#   wine-files.sh SNDLATCH-PATCH.EXE HOST.exe
#
# WINE_RUN names the Wine wrapper (default tools/wine-run).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
wine_run=${WINE_RUN:-$here/../../tools/wine-run}
patcher=$(realpath "$1")
host=$(realpath "$2")

work=$(mktemp -d "${TMPDIR:-/tmp}/sndlatch-files.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p real game/sub
cp "$host" real/r.exe
cp "$host" game/game.exe
cp "$host" h.exe
cp "$host" ro.exe
chmod a-w ro.exe
ln -s real/r.exe link.exe
ln -s .. game/sub/up
ln -s /dev/null null.exe
echo left >h.exe.sndlatch-tmp4
cp "$patcher" sndlatch-patch.exe

n=0
cases=""
add() {
  n=$((n + 1))
  cases="$cases & sndlatch-patch.exe $* >o$n.txt 2>&1 & echo exit !errorlevel! >>o$n.txt"
}
add link.exe
add --scan game
add -o null.exe h.exe
add h.exe
add ro.exe
add --restore ro.exe
"$wine_run" cmd /v:on /c "cd /d Z:$(pwd | tr / '\\')$cases" || true

failed=0
fail() {
  echo "FAIL $*" >&2
  failed=1
}
out() { tr -d '\r' <"o$1.txt"; }
case "$(out 1)" in *"exit 0"*) ;; *) fail "link.exe: $(out 1)" ;; esac
[ -L link.exe ] || fail "link.exe is no longer a link"
cmp -s real/r.exe.orig "$host" || fail "real/r.exe.orig is not the original"
cmp -s real/r.exe "$host" && fail "real/r.exe was not patched"
listed=$(out 2 | grep -c 'game.exe: patchable' || true)
[ "$listed" = 1 ] || fail "--scan through a link loop listed game.exe $listed times"
case "$(out 2)" in *"1 file: 1 patchable"*"exit 0"*) ;; *) fail "--scan: $(out 2 | tail -2)" ;; esac
case "$(out 3)" in *"not a regular file"*"exit 2"*) ;; *) fail "-o null.exe: $(out 3)" ;; esac
[ -L null.exe ] || fail "null.exe is no longer a link"
case "$(out 4)" in *"exit 0"*) ;; *) fail "h.exe: $(out 4)" ;; esac
[ -e h.exe.sndlatch-tmp4 ] && fail "the killed run's h.exe.sndlatch-tmp4 is still there"
case "$(out 5)$(out 6)" in *"exit 0"*"exit 0"*) ;; *) fail "ro.exe: $(out 5) $(out 6)" ;; esac
[ -e ro.exe.orig ] && fail "ro.exe.orig is still there after --restore"
cmp -s ro.exe "$host" || fail "ro.exe is not the original again"
[ -z "$(find ro.exe -perm /222)" ] || fail "ro.exe is writable after patch and restore"
[ $failed = 1 ] || echo "ok: links, a link loop, a device, a killed run's leftovers, a read-only program"
exit $failed
