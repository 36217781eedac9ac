// The resampling filter: a Kaiser-windowed sinc, low-passing at the lower
// rate's Nyquist, stored as a table of phases (polyphase). Where the
// rates' ratio has few phases each has its own row; otherwise the
// coefficients are interpolated linearly between neighbouring rows.
#include "mix_internal.h"

enum {
    base_taps = 24,    // taps at or above unity ratio; scaled by the ratio when downsampling
    max_taps = 256,    // the most taps
    spare_frames = 32, // history frames beyond the taps, so that compaction is rare
};
static const double stopband_db = 70.0;

static uint32_t gcd(uint32_t a, uint32_t b) {
    while (b) {
        uint32_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

// The modified Bessel function I0 of x, given x * x, by its power series.
static double bessel_i0_squared(double xx) {
    double sum = 1, term = 1;
    for (int k = 1; k < 60 && term > sum * 1e-13; k++) {
        term *= xx / (4.0 * k * k);
        sum += term;
    }
    return sum;
}

// sin(x), by its Taylor series after reduction to [-pi, pi]: the import
// library of msvcrt that the drop-in links with has no sin, and this runs
// only while a stream is set up.
static const double pi = 3.14159265358979323846;
static double sine(double x) {
    int turns = (int)(x / (2 * pi) + (x < 0 ? -0.5 : 0.5));
    x -= turns * 2 * pi;
    double sum = x, term = x;
    for (int k = 1; k < 30; k++) {
        term *= -x * x / ((2 * k) * (2 * k + 1));
        sum += term;
    }
    return sum;
}

void filter_design(mix_stream *s) {
    uint32_t g = gcd(s->in.rate, s->out.rate);
    s->in_step = s->in.rate / g;
    s->out_step = s->out.rate / g;
    s->step_int = s->in_step / s->out_step;
    s->step_rem = s->in_step % s->out_step;
    s->capacity = (uint32_t)(sizeof s->history / sizeof s->history[0]) / s->chans;
    s->recip = s->out_step > 1 ? 0xFFFFFFFFu / s->out_step : 0;

    // The ratio by which the filter's bandwidth shrinks below the input's.
    double ratio = s->in.rate > s->out.rate ? (double)s->in.rate / s->out.rate : 1.0;
    // Kaiser's estimates: beta from the stopband, and the transition band's
    // width from the length and the stopband. At 24 taps (times the ratio)
    // and 70 dB it is 0.18 of the lower rate, centred on 0.41: flat to 0.32,
    // stopped from 0.5, its Nyquist.
    double beta = 0.1102 * (stopband_db - 8.7);
    unsigned limit = s->capacity - spare_frames;
    if (limit > max_taps)
        limit = max_taps;
    unsigned taps = (unsigned)(base_taps * ratio + 7) & ~7u;
    if (taps > (limit & ~7u))
        taps = limit & ~7u;
    double transition = (stopband_db - 7.95) / (14.36 * taps); // in cycles per input frame
    double cutoff = 0.5 / ratio - transition / 2;
    if (cutoff < 0.25 / ratio) // too few taps for the ratio: give up some stopband
        cutoff = 0.25 / ratio;
    s->taps = (uint16_t)taps;

    unsigned table_rows = (unsigned)(sizeof s->filter / sizeof s->filter[0]) / taps;
    unsigned phases;
    if (s->out_step <= table_rows) {
        phases = s->out_step;
        s->interpolate = 0;
        s->rows = (uint16_t)phases;
    } else {
        phases = table_rows - 1;
        s->interpolate = 1;
        s->rows = (uint16_t)table_rows;
    }

    double i0_beta = bessel_i0_squared(beta * beta), half = taps / 2.0;
    for (unsigned r = 0; r < s->rows; r++) {
        // Row r is for the output falling r / phases of a frame past the
        // input frame at tap taps / 2 - 1.
        float *row = s->filter + r * taps;
        double frac = (double)r / phases, sum = 0;
        for (unsigned k = 0; k < taps; k++) {
            double t = k - (half - 1) - frac; // input frames from the output's instant
            double x = 2 * pi * cutoff * t;
            double v = x > -1e-9 && x < 1e-9 ? 2 * cutoff : 2 * cutoff * sine(x) / x;
            double w = 1 - (t / half) * (t / half);
            v *= w > 0 ? bessel_i0_squared(beta * beta * w) / i0_beta : 0;
            row[k] = (float)v;
            sum += v;
        }
        // Each phase passes DC at exactly unity gain.
        for (unsigned k = 0; k < taps; k++)
            row[k] = (float)(row[k] / sum);
    }
}

// Four floats: GCC and clang map their arithmetic onto SSE where the target
// has it and onto scalar code where it does not. Loaded from any float.
typedef float v4 __attribute__((vector_size(16)));
typedef float v4_load __attribute__((vector_size(16), aligned(4), may_alias));

// One output frame of one or two held channels, with the coefficients
// r0 + t * (r1 - r0) formed as they are used (r1 is null for an exact phase).
// Returns the channels' values in y. Inlined where r1 and h1 are known to be
// null or not, so that each case gets its own loop.
__attribute__((always_inline)) static inline void filter_frame(const float *r0, const float *r1,
                                                               float t, const float *h0,
                                                               const float *h1, unsigned taps,
                                                               float *y) {
    v4 a0 = {0, 0, 0, 0}, a1 = a0, b0 = a0, b1 = a0, tv = {t, t, t, t};
    for (unsigned k = 0; k < taps; k += 8) {
        v4 c0 = *(const v4_load *)(r0 + k), c1 = *(const v4_load *)(r0 + k + 4);
        if (r1) {
            c0 += tv * (*(const v4_load *)(r1 + k) - c0);
            c1 += tv * (*(const v4_load *)(r1 + k + 4) - c1);
        }
        a0 += c0 * *(const v4_load *)(h0 + k);
        a1 += c1 * *(const v4_load *)(h0 + k + 4);
        if (h1) {
            b0 += c0 * *(const v4_load *)(h1 + k);
            b1 += c1 * *(const v4_load *)(h1 + k + 4);
        }
    }
    a0 += a1;
    b0 += b1;
    y[0] = (a0[0] + a0[2]) + (a0[1] + a0[3]);
    y[1] = (b0[0] + b0[2]) + (b0[1] + b0[3]);
}

size_t filter_run(mix_stream *s, float *acc, size_t frames, const float *gains) {
    const unsigned taps = s->taps, half = taps / 2, chans = s->chans, out_ch = s->out.channels;
    const float *history = s->history, *filter = s->filter;
    const uint32_t capacity = s->capacity, rows = s->rows, out_step = s->out_step;
    const uint32_t step_int = s->step_int, step_rem = s->step_rem, count = s->count;
    uint32_t phase = s->phase, pos = s->pos;
    size_t done = 0;
    for (; done < frames && pos + half < count; done++) {
        const float *r0, *r1 = NULL;
        float t = 0;
        if (s->interpolate) {
            uint32_t u = ((phase * s->recip) >> 16) * (rows - 1);
            r0 = filter + (u >> 16) * taps;
            r1 = r0 + taps;
            t = (float)(u & 0xFFFF) * (1.0f / 65536);
        } else {
            r0 = filter + phase * taps;
        }
        const float *h = history + (pos + 1 - half);
        float *a = acc + done * out_ch, y[2];
        if (chans == 1) {
            if (r1)
                filter_frame(r0, r1, t, h, NULL, taps, y);
            else
                filter_frame(r0, NULL, 0, h, NULL, taps, y);
            for (unsigned c = 0; c < out_ch; c++)
                a[c] += y[0] * gains[c];
        } else {
            for (unsigned c = 0; c < chans; c += 2) {
                const float *h0 = h + c * capacity, *h1 = h0 + capacity;
                if (c + 1 == chans) {
                    filter_frame(r0, r1, t, h0, NULL, taps, y);
                    a[c] += y[0] * gains[c];
                    break;
                }
                if (r1)
                    filter_frame(r0, r1, t, h0, h1, taps, y);
                else
                    filter_frame(r0, NULL, 0, h0, h1, taps, y);
                a[c] += y[0] * gains[c];
                a[c + 1] += y[1] * gains[c + 1];
            }
        }
        phase += step_rem;
        if (phase >= out_step) {
            phase -= out_step;
            pos++;
        }
        pos += step_int;
    }
    s->phase = phase;
    s->pos = pos;
    return done;
}
