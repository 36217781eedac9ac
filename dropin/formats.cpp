// Names wave format records for the debug log.

#define __USE_MINGW_ANSI_STDIO 0
#include "formats.h"

#include <stdio.h>
#include <string.h>

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
