#include "mix_test_util.h"

#include <algorithm>
#include <math.h>
#include <string.h>

pcm_format make_format(unsigned rate, unsigned channels, unsigned bits, bool is_float) {
    pcm_format f = {};
    f.rate = rate;
    f.channels = (uint16_t)channels;
    f.bits = (uint16_t)bits;
    f.block_align = (uint16_t)(channels * bits / 8);
    f.is_float = is_float;
    return f;
}

std::vector<unsigned char> encode(const pcm_format &format, const std::vector<double> &samples) {
    unsigned bytes = format.bits / 8;
    std::vector<unsigned char> out(samples.size() * bytes);
    for (size_t i = 0; i < samples.size(); i++) {
        unsigned char *p = &out[i * bytes];
        double v = samples[i];
        if (format.is_float) {
            float f = (float)v;
            memcpy(p, &f, 4);
        } else if (bytes == 1) {
            *p = (unsigned char)lrint(fmin(fmax(v * 128 + 128, 0), 255));
        } else {
            double scale = ldexp(1.0, (int)format.bits - 1);
            int64_t x = llrint(fmin(fmax(v * scale, -scale), scale - 1));
            for (unsigned b = 0; b < bytes; b++)
                p[b] = (unsigned char)(x >> (8 * b));
        }
    }
    return out;
}

std::vector<double> tone(unsigned rate, unsigned channels, size_t frames, double freq, double amp,
                         double freq2, double amp2) {
    std::vector<double> v(frames * channels);
    for (size_t i = 0; i < frames; i++)
        for (unsigned c = 0; c < channels; c++)
            v[i * channels + c] =
                amp * sin(2 * M_PI * freq * i / rate) + amp2 * sin(2 * M_PI * freq2 * i / rate);
    return v;
}

std::vector<float> run_stream(mix_stream *stream, const std::vector<unsigned char> &input,
                              const std::vector<size_t> &splits, size_t block) {
    std::vector<float> out;
    size_t ch = stream->out.channels, offset = 0, split = 0;
    std::vector<float> acc(block * ch);
    while (offset < input.size()) {
        size_t size = splits[split++ % splits.size()] * stream->in.block_align;
        if (size > input.size() - offset)
            size = input.size() - offset;
        size_t at = 0;
        for (;;) {
            std::fill(acc.begin(), acc.end(), 0.0f);
            size_t used = 0;
            size_t n = mix_stream_add(stream, input.data() + offset + at, size - at, &used,
                                      acc.data(), block, 1.0f, 1.0f);
            out.insert(out.end(), acc.begin(), acc.begin() + n * ch);
            at += used;
            if (n < block)
                break;
        }
        offset += size;
    }
    return out;
}

double amplitude(const float *x, size_t n, size_t stride, double rate, double freq) {
    static std::vector<double> window;
    static double window_sum;
    if (window.size() != n) {
        window.resize(n);
        window_sum = 0;
        for (size_t i = 0; i < n; i++) {
            double t = 2 * M_PI * i / (n - 1);
            window[i] = 0.35875 - 0.48829 * cos(t) + 0.14128 * cos(2 * t) - 0.01168 * cos(3 * t);
            window_sum += window[i];
        }
    }
    // e^{-jwi} by rotation, sample by sample.
    double w = 2 * M_PI * freq / rate, rc = cos(w), rs = sin(w), c = 1, s = 0, re = 0, im = 0;
    for (size_t i = 0; i < n; i++) {
        double v = window[i] * x[i * stride];
        re += v * c;
        im -= v * s;
        double nc = c * rc - s * rs;
        s = s * rc + c * rs;
        c = nc;
    }
    return 2 * sqrt(re * re + im * im) / window_sum;
}

double db(double a, double ref) {
    return 20 * log10(fmax(a, 1e-30) / ref);
}
