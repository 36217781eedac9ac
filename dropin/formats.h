// Wave format records as the drop-in keeps and compares them.
#pragma once

#include <windows.h>
#include <mmsystem.h>

// Extra bytes kept of a non-PCM format; a longer record is compared on these.
enum { format_extra_max = 64 };

// A format record as the platform compares it: tag, channels, rate, bytes
// per second, block alignment and bits (the first 16 bytes, kept as four
// words for the answered path), and for non-PCM formats the extra bytes.
struct format_key {
    DWORD head[4];
    WORD extra_size;
    BYTE extra[format_extra_max];
};

// A DWORD read from wherever the program keeps its format record.
typedef DWORD __attribute__((aligned(1), may_alias)) unaligned_dword;

// True when the first 16 bytes of `format` equal `key`'s: the whole record
// for PCM, which has no extra bytes.
inline bool format_head_matches(const format_key *key, const WAVEFORMATEX *format) {
    const unaligned_dword *head = (const unaligned_dword *)format;
    return head[0] == key->head[0] && head[1] == key->head[1] && head[2] == key->head[2] &&
           head[3] == key->head[3];
}

inline bool format_is_pcm(const format_key *key) {
    return LOWORD(key->head[0]) == WAVE_FORMAT_PCM;
}

void format_keep(format_key *key, const WAVEFORMATEX *format);
bool format_matches(const format_key *key, const WAVEFORMATEX *format);

// "22050 Hz 16-bit mono", with the tag for formats other than PCM.
void format_describe(const WAVEFORMATEX *format, char *text, size_t size);
