// Keeps, compares and names wave format records.

#define __USE_MINGW_ANSI_STDIO 0
#include "formats.h"

#include <stdio.h>
#include <string.h>

// Extra bytes that count for `format`: none for PCM, whose cbSize the
// platform ignores; at most format_extra_max for the others.
static WORD extra_size_of(const WAVEFORMATEX *format) {
    if (format->wFormatTag == WAVE_FORMAT_PCM)
        return 0;
    return format->cbSize < format_extra_max ? format->cbSize : (WORD)format_extra_max;
}

void format_keep(format_key *key, const WAVEFORMATEX *format) {
    memcpy(key->head, format, sizeof key->head);
    key->extra_size = extra_size_of(format);
    memcpy(key->extra, (const BYTE *)format + sizeof(WAVEFORMATEX), key->extra_size);
}

bool format_matches(const format_key *key, const WAVEFORMATEX *format) {
    return format_head_matches(key, format) && extra_size_of(format) == key->extra_size &&
           memcmp(key->extra, (const BYTE *)format + sizeof(WAVEFORMATEX), key->extra_size) == 0;
}

void format_describe(const WAVEFORMATEX *format, char *text, size_t size) {
    // msvcrt's _snprintf: it leaves a text that fills the buffer unterminated.
    char tag[24] = "";
    if (format->wFormatTag != WAVE_FORMAT_PCM)
        _snprintf(tag, sizeof tag - 1, "format 0x%x, ", format->wFormatTag);
    const char *channels = format->nChannels == 1   ? " mono"
                           : format->nChannels == 2 ? " stereo"
                                                    : " channels";
    char count[16] = "";
    if (format->nChannels > 2)
        _snprintf(count, sizeof count - 1, " %u", format->nChannels);
    _snprintf(text, size - 1, "%s%lu Hz %u-bit%s%s", tag, (unsigned long)format->nSamplesPerSec,
              format->wBitsPerSample, count, channels);
    text[size - 1] = 0;
}
