// Wave format records as the debug log names them.
#pragma once

#include <windows.h>
#include <mmsystem.h>

// "22050 Hz 16-bit mono", with the tag for formats other than PCM.
void format_describe(const WAVEFORMATEX *format, char *text, size_t size);
