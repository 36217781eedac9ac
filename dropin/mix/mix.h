// PCM conversion, resampling and mixing for the drop-in's device thread.
//
// Plain portable C++: no Windows calls, no allocation, no C++ run-time. The
// drop-in builds it into winmm.dll; natively it is built and tested on its
// own. Each open of the program has one mix_stream; the device thread adds
// every stream's sound into one float block (mix_stream_add) and writes
// that block in the real device's format (mix_write).
#pragma once

#include <stddef.h>
#include <stdint.h>

enum {
    mix_max_channels = 8,  // the most channels a stream or the device may have
    mix_max_rate = 192000, // the highest rate a stream may have, in frames per second
    mix_format_bytes = 40, // the bytes of a WAVEFORMATEXTENSIBLE, the longest format read
};

// A PCM layout: a stream's input, or the device's output.
struct pcm_format {
    uint32_t rate;        // frames per second, 1 to mix_max_rate
    uint16_t channels;    // 1 to mix_max_channels
    uint16_t bits;        // bits per sample: 8 (unsigned), 16, 24, 32 (signed), or 32 float
    uint16_t block_align; // bytes per frame: channels * bits / 8
    bool is_float;        // IEEE float samples (bits is 32)
};

// Reads a WAVEFORMATEX: WAVE_FORMAT_PCM, WAVE_FORMAT_IEEE_FLOAT, or
// WAVE_FORMAT_EXTENSIBLE with a PCM or IEEE float sub-format. `record` holds
// the 18 bytes of a WAVEFORMATEX, and for WAVE_FORMAT_EXTENSIBLE the 22 that
// follow. Returns false for every format the mixer cannot play: other tags,
// bit depths or sub-formats, channels or rates out of range, and a block
// alignment that is not channels * bits / 8.
bool pcm_format_read(const unsigned char *record, pcm_format *format);

// One open's converter: from its format to the device's, with its own
// resampler history. A plain struct of fixed size: the caller owns it.
struct mix_stream {
    pcm_format in;  // the open's format
    pcm_format out; // the device's format
    // The resampler's state. Its layout is the mixer's own business.
    uint32_t step;     // input frames per output frame, 32.32 fixed point, high part
    uint32_t step_low; // low part
    uint64_t phase;    // position between two input frames, 32.32 fixed point
    uint32_t taps;     // filter length in input frames
    uint32_t filled;   // input frames held in history
    float history[64 * mix_max_channels]; // the latest input frames, converted to float
    float filter[33 * 64];                // polyphase windowed-sinc coefficients
};

// Prepares `stream` to convert `in` to `out`. Both must be formats
// pcm_format_read accepts (or ones written with the same rules).
void mix_stream_init(mix_stream *stream, const pcm_format *in, const pcm_format *out);

// Forgets the stream's history, as after waveOutReset: the next input
// starts afresh.
void mix_stream_reset(mix_stream *stream);

// Adds up to `frames` frames of the stream's sound, converted to the
// device's channels and rate and scaled by `gain_left` and `gain_right`
// (1.0 plays as is), into `acc`: interleaved floats, out.channels to a
// frame, full scale 1.0. The input is `bytes` bytes at `data`, in the
// stream's format. Returns the frames added and sets `*used` to the input
// bytes consumed. Fewer than `frames` are added only when the input is used
// up; the caller then calls again with the next buffer and acc advanced by
// the frames added. A partial frame at the end of the input is consumed and
// dropped.
size_t mix_stream_add(mix_stream *stream, const void *data, size_t bytes, size_t *used, float *acc,
                      size_t frames, float gain_left, float gain_right);

// Writes `frames` frames of `acc` (interleaved floats, format->channels to a
// frame) to `out` in `format`, saturating at full scale.
void mix_write(const float *acc, size_t frames, const pcm_format *format, void *out);
