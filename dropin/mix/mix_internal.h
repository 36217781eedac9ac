// Declarations shared by the mixer's sources: sample conversion and channel
// mapping (format.cpp) and the filter (filter.cpp).
#pragma once

#include "mix.h"

// Converts `samples` interleaved samples at `src` in `format` to floats at
// full scale 1.0. Float input is bounded to +-16, NaN read as 0, so that
// nothing unbounded reaches the sums.
void pcm_to_float(const pcm_format *format, const unsigned char *src, size_t samples, float *dst);

// Fills `matrix` ([out][in]) with the channel map described in mix.h.
void channel_matrix(unsigned in_channels, unsigned out_channels, float *matrix);

// The gain of each of the device's `channels` channels: gain_left for its
// left ones, gain_right for its right ones, their mean for the others.
void channel_gains(unsigned channels, float gain_left, float gain_right, float *gains);

// Designs the stream's filter from its rates and channels: sets taps, rows,
// interpolate, step_int, step_rem, recip, capacity and fills filter.
void filter_design(mix_stream *stream);

// Adds output frames computed from history at the current position while
// the filter's window lies within the held frames, up to `frames`.
// `gains` has one factor per device channel. Returns the frames added.
size_t filter_run(mix_stream *stream, float *acc, size_t frames, const float *gains);
