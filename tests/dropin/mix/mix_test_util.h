// Helpers of the mixer's tests: formats, encoded sound, streams run over
// split buffers, and spectral levels.
#pragma once

#include "mix.h"

#include <vector>

pcm_format make_format(unsigned rate, unsigned channels, unsigned bits, bool is_float = false);

// `samples` (interleaved, full scale 1.0) encoded in `format`.
std::vector<unsigned char> encode(const pcm_format &format, const std::vector<double> &samples);

// `frames` frames of `channels` channels, each a sine of `freq` Hz at
// amplitude `amp`, plus a second sine `freq2` at `amp2` when nonzero.
std::vector<double> tone(unsigned rate, unsigned channels, size_t frames, double freq, double amp,
                         double freq2 = 0, double amp2 = 0);

// Feeds `input` to `stream` in buffers of the sizes in `splits` (cycled;
// frames), asking for output in blocks of `block` frames, until the input is
// used up; returns the float frames added (out.channels to a frame).
std::vector<float> run_stream(mix_stream *stream, const std::vector<unsigned char> &input,
                              const std::vector<size_t> &splits, size_t block = 480);

// Amplitude of the frequency `freq` in `x` (one channel, every `stride`-th
// float from `x`), Blackman-Harris windowed.
double amplitude(const float *x, size_t n, size_t stride, double rate, double freq);

// Decibels of `a` relative to `ref`.
double db(double a, double ref);
