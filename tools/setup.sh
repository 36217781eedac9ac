#!/usr/bin/env bash
# Installs what building and testing sndlatch needs on Debian 12, and does
# nothing when all of it is present. As root it runs apt-get itself; otherwise
# it prints the exact commands to run and stops.
set -euo pipefail

packages=(
  cmake make
  g++-mingw-w64-i686-posix g++-mingw-w64-i686-win32
  g++-mingw-w64-x86-64-posix
  wine wine32:i386 wine64
  googletest
  clang lld llvm libclang-rt-14-dev
  python3
  sox
)

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# Runs the commands in order, as root. An "apt-get update" that fails (a
# mirror caught mid-sync, one index that does not match its InRelease) does
# not stop the run: the lists it did fetch may hold everything needed, so the
# install is tried all the same. If the install then fails too, the failed
# index is named in one plain paragraph, and the script exits non-zero.
update_errors=
as_root() {
  if [ "$(id -u)" != 0 ]; then
    echo "sndlatch: missing build tools. Run these as root, then try again:" >&2
    for c in "$@"; do echo "  sudo sh -c '$c'" >&2; done
    exit 1
  fi
  local c log rc
  for c in "$@"; do
    echo "+ $c"
    case "$c" in
      "apt-get update")
        log=$(mktemp)
        set +e
        sh -c "$c" 2>&1 | tee "$log"
        rc=${PIPESTATUS[0]}
        set -e
        if [ "$rc" != 0 ] || grep -q '^E: ' "$log"; then
          update_errors=$(grep -E '^(E|Err):' "$log" | head -3)
          echo "sndlatch: apt-get update failed (exit $rc); trying the install with the lists it has" >&2
        fi
        rm -f "$log"
        ;;
      *apt-get\ install*)
        if ! sh -c "$c"; then
          install_failed
        fi
        ;;
      *) sh -c "$c" ;;
    esac
  done
}

install_failed() {
  if [ -n "$update_errors" ]; then
    index=$(printf '%s\n' "$update_errors" | grep -o 'https\?://[^ ]*' | head -1)
    {
      echo
      echo "sndlatch: the install failed after apt-get update could not fetch a package index"
      echo "(${index:-named in the messages above}). That index comes from the Debian mirror this"
      echo "machine uses, and the mirror was in an inconsistent state (apt said:"
      echo "\"$(printf '%s\n' "$update_errors" | sed -n 's/^E: //p' | head -1 | cut -c1-160)\")."
      echo "This is the mirror's state, not a fault of sndlatch or of this machine. Wait a"
      echo "while (a mirror sync usually finishes within an hour) and run the same command again."
    } >&2
  else
    echo "sndlatch: apt-get install failed; see apt's messages above" >&2
  fi
  exit 1
}

cmds=()
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  cmds+=("dpkg --add-architecture i386")
fi
missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
if [ "${#cmds[@]}" -gt 0 ] || [ "${#missing[@]}" -gt 0 ]; then
  cmds+=("apt-get update")
  cmds+=("DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends ${missing[*]}")
  as_root "${cmds[@]}"
fi

# Wine's 32-bit loader is a 32-bit Linux program. Where the kernel cannot run
# those (some sandboxes), tools/wine-run starts it under qemu-i386 instead,
# with the 64-bit wineserver. Wine needs qemu 8 or newer there, for its
# MAP_FIXED_NOREPLACE mappings; Debian 12 has it in bookworm-backports.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  cmds=()
  qemu_ok=0
  if command -v qemu-i386 >/dev/null; then
    major=$(qemu-i386 --version | sed -n 's/.*version \([0-9]*\)\..*/\1/p' | head -1)
    [ "${major:-0}" -ge 8 ] && qemu_ok=1
  fi
  if [ "$qemu_ok" = 0 ] || ! installed wine64; then
    if ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
      # Backports come from the same mirror as the machine's bookworm packages.
      mirror=$(awk '/^URIs:/ { u = $2 } /^Suites:/ && / bookworm( |$)/ { print u; exit }' \
        /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
      if [ -z "$mirror" ]; then
        mirror=$(sed -n 's/^deb \(\[[^]]*\] \)\?\([^ ]*\) bookworm .*/\2/p' /etc/apt/sources.list 2>/dev/null | head -1)
      fi
      if [ -z "$mirror" ]; then
        echo "sndlatch: cannot tell which Debian mirror to take bookworm-backports from" >&2
        exit 1
      fi
      cmds+=("echo 'deb $mirror bookworm-backports main' > /etc/apt/sources.list.d/bookworm-backports.list")
    fi
    cmds+=("apt-get update")
    cmds+=("DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends -t bookworm-backports qemu-user")
    cmds+=("DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends wine64")
    as_root "${cmds[@]}"
  fi
fi
