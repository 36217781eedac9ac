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
// resampler history. A plain struct of fixed size (about 14.6 KB): the
// caller owns it.
//
// Channels follow the WAVE order for each count (1: mono; 2: FL FR; 3: FL FR
// FC; 4: FL FR BL BR; 5: FL FR FC BL BR; 6: FL FR FC LFE BL BR; 7: FL FR FC
// LFE BC SL SR; 8: FL FR FC LFE BL BR SL SR). Mono plays on the device's
// front left and right (its only channel on a mono device); a channel the
// device also has plays there; one it lacks folds into its neighbours at
// -3 dB (centre into front left and right, side into back or front, back
// into side or front), LFE is dropped where the device has none, and a mono
// device takes the mean of the stereo fold. A device channel whose
// contributions would sum to more than 1 is scaled down to 1, so a fold never
// clips where its input did not: 5.1 to stereo is L = (FL + 0.707 FC + 0.707
// BL) / 2.414. gain_left scales the device's left channels (FL BL SL),
// gain_right its right ones, and their mean the rest.
//
// At equal rates the samples pass unfiltered. Otherwise a Kaiser-windowed
// sinc low-passes at the lower rate's Nyquist: flat to 0.64 of it, -6 dB at
// 0.82, 70 dB down (by design; more in practice) from 1.0 on; it looks
// mix_stream_latency() output frames ahead, so that much sound stays held in
// the stream until more input (or mix_stream_drain) pushes it out.
struct mix_stream {
    pcm_format in;  // the open's format
    pcm_format out; // the device's format
    // The state below is the mixer's own business.
    uint16_t chans;       // channels held and filtered: 1 for a mono open, else out.channels
    uint16_t taps;        // filter length in input frames, a multiple of 8; 0 at equal rates
    uint16_t rows;        // table rows: one per phase (or per phase to out_step / 2, the
                          // rest read reversed), or interpolated between
    uint16_t interpolate; // 1: the phase falls between rows; 0: each phase has a row
    uint32_t in_step;     // in.rate / gcd of the rates
    uint32_t out_step;    // out.rate / gcd of the rates
    uint32_t step_int;    // input frames per output frame: in_step / out_step ...
    uint32_t step_rem;    // ... and in_step % out_step
    uint32_t recip;       // 2^32 / out_step, for the interpolated phase
    uint32_t phase;       // position past `pos`, in 1 / out_step of an input frame
    uint32_t pos;         // history index of the input frame at or before the next output
    uint32_t count;       // frames held in history
    uint32_t capacity;    // frames history holds per channel
    uint32_t skip;        // input frames to drop before the next one held
    uint32_t drain_end;   // while draining, 1 + the history index past the last input; else 0
    float matrix[mix_max_channels * mix_max_channels]; // [device channel][open channel]
    float history[1536];                               // chans rows of `capacity` frames
    float filter[2048];                                // rows of `taps` coefficients
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

// The filter's look-ahead in output frames: how far the sound added lags the
// input consumed (0 at equal rates).
size_t mix_stream_latency(const mix_stream *stream);

// Adds up to `frames` frames of the sound still held in the stream's filter,
// as if silence followed the last input, after the program's last buffer
// has been consumed. Returns the frames added; 0 once all of it has been
// added. mix_stream_add with a whole frame of input, or mix_stream_reset,
// ends the drain; the sound then follows the silence drained.
size_t mix_stream_drain(mix_stream *stream, float *acc, size_t frames, float gain_left,
                        float gain_right);
