#!/bin/sh
# Builds the mixer's sources as the drop-in does, with both mingw-w64
# compilers, into a DLL linked -nostdlib against msvcrt and kernel32 alone,
# and fails if that needs anything else (libgcc's 64-bit division helpers,
# stack probes, C++ run-time) or if the mixer imports more than it should.
#   check_cross.sh MIX_DIR WORK_DIR
set -eu
mix=$1
work=$2
mkdir -p "$work"
cat >"$work/entry.cpp" <<'CPP'
#include "mix.h"
extern "C" __declspec(dllexport) size_t use(mix_stream *s, const pcm_format *a,
                                            const pcm_format *b, const void *d, float *acc) {
    size_t used, n;
    pcm_format f;
    pcm_format_read((const unsigned char *)d, &f);
    mix_stream_init(s, a, b);
    n = mix_stream_add(s, d, 64, &used, acc, 16, 1, 1) + mix_stream_drain(s, acc, 16, 1, 1);
    mix_write(acc, n, b, acc);
    mix_stream_reset(s);
    return n + mix_stream_latency(s);
}
extern "C" int __stdcall entry(void *, unsigned long, void *) { return 1; }
CPP
flags="-std=c++17 -Os -fomit-frame-pointer -fno-exceptions -fno-rtti -fno-stack-protector
       -fno-threadsafe-statics -Wall -Wextra -Werror -I$mix"
for arch in i686 x86_64; do
    cxx=$arch-w64-mingw32-g++
    extra="" entry=entry
    if [ $arch = i686 ]; then
        extra="-fno-asynchronous-unwind-tables -fno-unwind-tables" entry=_entry@12
    fi
    # shellcheck disable=SC2086
    $cxx $flags $extra -shared -nostdlib -o "$work/mix_$arch.dll" "$work/entry.cpp" \
        "$mix/mix.cpp" "$mix/format.cpp" "$mix/filter.cpp" -lmsvcrt -lkernel32 \
        -Wl,--entry=$entry -Wl,--disable-runtime-pseudo-reloc -Wl,--disable-auto-import
    imports=$($arch-w64-mingw32-objdump -p "$work/mix_$arch.dll" |
        grep -E '^[[:space:]]+[0-9a-f]{4,}[[:space:]]+[0-9]+[[:space:]]+[A-Za-z_]+$' | awk '{print $3}' |
        sort | tr '\n' ' ')
    echo "$arch: imports $imports"
    [ "$imports" = "memcmp memmove " ] || { echo "unexpected imports" >&2; exit 1; }
done
