#!/bin/sh
# Builds the Linux release as make does, into a scratch folder, and checks it:
# it holds sndlatch-patch, the DLLs, sndlatch.ini and the text files of the
# zip; ldd finds no shared library in sndlatch-patch; and the tool runs on a
# clean system, a root holding nothing but itself and a program to patch
# (chroot; where that is not allowed, an empty environment): --version, and a
# patch that keeps the original. Its --dropin puts the 32-bit and the 64-bit
# drop-in beside a program of each kind.
#
#   check_linux_release.sh BUILD-DIR SNDLATCH-PATCH HOST.exe VERSION
set -eu
build=$1
tool=$2
host=$3
version=$4
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/sndlatch-linux.XXXXXX")
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

cpack -G ZIP --config "$build/CPackConfig.cmake" -B "$work/cpack" >/dev/null
tarball=$(sh "$here/../../package/linux_release.sh" "$work/cpack/sndlatch-$version-win32.zip" \
  "$tool" "$work/dist")
name=sndlatch-$version-linux-x86_64
[ "$(basename "$tarball")" = "$name.tar.gz" ] || fail "the archive is $(basename "$tarball")"
tar -C "$work" -xzf "$tarball"
dir=$work/$name
for f in sndlatch-patch sndlatch.dll winmm.dll sndlatch.ini README.txt LICENSE.txt CHANGELOG.txt; do
  [ -f "$dir/$f" ] || fail "$name/ lacks $f"
done
[ ! -e "$dir/sndlatch-patch.exe" ] || fail "$name/ holds sndlatch-patch.exe"
grep -q "$(printf '\r')" "$dir/README.txt" && fail "README.txt has CR LF line ends"
cmp -s "$dir/sndlatch.dll" "$build/module/sndlatch.dll" || fail "sndlatch.dll is not the one built"

if ldd "$dir/sndlatch-patch" >"$work/ldd.txt" 2>&1; then
  fail "ldd finds shared libraries: $(cat "$work/ldd.txt")"
fi
grep -q "not a dynamic executable" "$work/ldd.txt" || fail "ldd says: $(cat "$work/ldd.txt")"

# --dropin from the unpacked release: each program gets the drop-in of its
# architecture, which the tool tells by its version resource.
for program in "$host" "$(dirname "$host")/host64.exe"; do
  game=$work/game-$(basename "$program" .exe)
  mkdir "$game"
  cp "$program" "$game/"
  out=$("$dir/sndlatch-patch" --dropin "$game" 2>&1) || fail "--dropin $program: $out"
  case $program in *64.exe) want=$dir/x64/winmm.dll ;; *) want=$dir/winmm.dll ;; esac
  cmp -s "$game/winmm.dll" "$want" || fail "--dropin $program did not copy $want: $out"
  case "$out" in *'WINEDLLOVERRIDES="winmm=n,b"'*) ;; *) fail "--dropin said: $out" ;; esac
done
scan=$("$dir/sndlatch-patch" --scan "$dir")
case "$scan" in *"winmm.dll: the 32-bit drop-in"*"x64/winmm.dll: the 64-bit drop-in"*) ;;
  *) fail "--scan of the release: $scan" ;; esac

# A root with nothing in it but the tool and the program.
root=$work/root
mkdir "$root"
cp "$dir/sndlatch-patch" "$host" "$root/"
program=$(basename "$host")
if chroot "$root" /sndlatch-patch --version >"$work/v.txt" 2>&1; then
  run() { chroot "$root" /sndlatch-patch "$@"; }
  where=/
  echo "clean system: a chroot holding only sndlatch-patch and $program"
else
  run() { (cd "$root" && env -i ./sndlatch-patch "$@"); }
  where=
  echo "clean system: chroot not allowed here; an empty environment instead"
fi
[ "$(run --version)" = "sndlatch-patch $version" ] || fail "--version says: $(run --version 2>&1)"
out=$(run "$where$program" 2>&1) || fail "patching failed: $out"
case "$out" in *"patched $where$program"*) ;; *) fail "patching said: $out" ;; esac
cmp -s "$root/$program.orig" "$host" || fail "the original was not kept"
cmp -s "$root/$program" "$host" && fail "$program was not changed"
[ $failed = 0 ] && echo "ok: $name.tar.gz"
exit $failed
