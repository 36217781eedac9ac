// Plays two tones at once through two opens: 440 Hz at 11025 Hz and 1000 Hz
// at 44100 Hz, one second each. tones.sh captures what the device plays and
// tones_check.py finds both tones in it, each at its own pitch.
// Exits 0 when both opens played every buffer.

#include <stdio.h>

#include <initializer_list>

#include "wave_open.h"

int main() {
    static wave_open low, high;
    make_buffers(&low, pcm_format(11025, 16, 1), 125, 440);
    make_buffers(&high, pcm_format(44100, 16, 1), 125, 1000);
    if (open_function(&low) != MMSYSERR_NOERROR || open_function(&high) != MMSYSERR_NOERROR) {
        printf("tones: an open failed\n");
        return 1;
    }
    for (int i = 0; i < max_buffers; i++) {
        if (write_buffer(&low, i) != MMSYSERR_NOERROR ||
            write_buffer(&high, i) != MMSYSERR_NOERROR) {
            printf("tones: a write failed\n");
            return 1;
        }
    }
    bool played = wait_until([] { return low.done + high.done == 2 * max_buffers; }, 60000);
    printf("tones: %ld and %ld of %d buffers done\n", low.done, high.done, max_buffers);
    for (wave_open *w : {&low, &high}) {
        unprepare_all(w);
        waveOutClose(w->handle);
    }
    return played ? 0 : 1;
}
