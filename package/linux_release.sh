#!/bin/sh
# Writes the Linux release beside the Windows zip: the zip's DLLs, sndlatch.ini
# and text files (all in its folder sndlatch-VERSION), with the native,
# statically linked sndlatch-patch in place of sndlatch-patch.exe, in one
# folder named like the archive.
#
#   linux_release.sh sndlatch-VERSION-win32.zip SNDLATCH-PATCH OUT-FOLDER
#
# Prints the path of sndlatch-VERSION-linux-x86_64.tar.gz. Its text files get
# Linux line ends; entries carry no user names and the zip's dates.
set -eu
zip=$1
tool=$2
out=$3
top=$(basename "$zip" -win32.zip)
name=$top-linux-x86_64
work=$(mktemp -d "${TMPDIR:-/tmp}/sndlatch-release.XXXXXX")
trap 'rm -rf "$work"' EXIT

python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' \
  "$zip" "$work/unpacked"
mv "$work/unpacked/$top" "$work/$name"
rm "$work/$name/sndlatch-patch.exe"
cp "$tool" "$work/$name/sndlatch-patch"
chmod 755 "$work/$name/sndlatch-patch"
for f in "$work/$name"/*.txt "$work/$name"/*.ini; do
  [ -f "$f" ] && sed -i 's/\r$//' "$f"
done
mkdir -p "$out"
tar -C "$work" --owner=0 --group=0 --numeric-owner --sort=name -czf "$out/$name.tar.gz" "$name"
echo "$out/$name.tar.gz"
