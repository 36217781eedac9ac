// The resampling filter: a Kaiser-windowed sinc, low-passing at the lower
// rate's Nyquist, stored as a table of phases (polyphase). Where the
// rates' ratio has few phases each has its own row, or its mirror image's
// row read backwards; otherwise the coefficients are interpolated linearly
// between neighbouring rows.
#include "mix_internal.h"

#include <string.h>

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
    } else if (s->out_step / 2 + 1 <= table_rows) {
        // The sinc and the window are even, so the phase out_step - r is
        // row r reversed: half the rows hold every phase (44100 to 48000
        // has 160 phases, 81 rows).
        phases = s->out_step;
        s->interpolate = 0;
        s->rows = (uint16_t)(phases / 2 + 1);
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
typedef float v4_any __attribute__((vector_size(16), aligned(4), may_alias));
typedef float v2 __attribute__((vector_size(8)));

#define LOAD4(p) (*(const v4_any *)(p))

// The coefficients of the output `phase` / out_step of a frame past the
// window's centre: its own row of the table, a row held reversed into `c`
// (taps floats) for a phase past the rows held, or, where the table
// interpolates, the two rows around it blended into `c`.
__attribute__((always_inline)) static inline const float *
coefficients(const mix_stream *s, uint32_t phase, unsigned taps, bool interpolate, float *c) {
    if (!interpolate && phase < s->rows)
        return s->filter + phase * taps;
    if (!interpolate) { // a phase past the rows held: a row reversed
        const float *r = s->filter + (s->out_step - phase) * taps + taps - 4;
        for (unsigned k = 0; k < taps; k += 4) {
            v4 v = LOAD4(r - k);
            *(v4_any *)(c + k) = __builtin_shufflevector(v, v, 3, 2, 1, 0);
        }
        return c;
    }
    uint32_t u = ((phase * s->recip) >> 16) * (s->rows - 1u);
    const float *r0 = s->filter + (u >> 16) * taps, *r1 = r0 + taps;
    float t = (float)(u & 0xFFFF) * (1.0f / 65536);
    v4 tv = {t, t, t, t};
    for (unsigned k = 0; k < taps; k += 4) {
        v4 a = LOAD4(r0 + k);
        *(v4_any *)(c + k) = a + tv * (LOAD4(r1 + k) - a);
    }
    return c;
}

// The dot product of `taps` coefficients with one channel's history.
__attribute__((always_inline)) static inline float dot1(const float *c, const float *h,
                                                        unsigned taps) {
    v4 a0 = {0, 0, 0, 0}, a1 = a0;
    for (unsigned k = 0; k < taps; k += 8) {
        a0 += LOAD4(c + k) * LOAD4(h + k);
        a1 += LOAD4(c + k + 4) * LOAD4(h + k + 4);
    }
    a0 += a1;
    return (a0[0] + a0[2]) + (a0[1] + a0[3]);
}

// The same for two channels at once, sharing the coefficients' loads, and
// the two results, scaled by g[0] and g[1], added to a[0] and a[1].
__attribute__((always_inline)) static inline void dot2_add(const float *c, const float *h0,
                                                           const float *h1, unsigned taps,
                                                           const float *g, float *a) {
    v4 a0 = {0, 0, 0, 0}, a1 = a0, b0 = a0, b1 = a0;
    for (unsigned k = 0; k < taps; k += 8) {
        v4 c0 = LOAD4(c + k), c1 = LOAD4(c + k + 4);
        a0 += c0 * LOAD4(h0 + k);
        a1 += c1 * LOAD4(h0 + k + 4);
        b0 += c0 * LOAD4(h1 + k);
        b1 += c1 * LOAD4(h1 + k + 4);
    }
    a0 += a1;
    b0 += b1;
    // Lanes (a0 + a2, b0 + b2, a1 + a3, b1 + b3), then the pairs in lanes 0 and 1.
    v4 p =
        __builtin_shufflevector(a0, b0, 0, 4, 1, 5) + __builtin_shufflevector(a0, b0, 2, 6, 3, 7);
    v2 y = __builtin_shufflevector(p, p, 0, 1) + __builtin_shufflevector(p, p, 2, 3), gv, av;
    memcpy(&gv, g, sizeof gv);
    memcpy(&av, a, sizeof av);
    av += y * gv;
    memcpy(a, &av, sizeof av);
}

// filter_run's loop, inlined where taps, chans, out_ch and interpolate are
// constants so that each common case gets a loop of its own.
__attribute__((always_inline)) static inline size_t run(mix_stream *s, float *acc, size_t frames,
                                                        const float *gains, unsigned taps,
                                                        unsigned chans, unsigned out_ch,
                                                        bool interpolate) {
    float c[max_taps] __attribute__((aligned(16)));
    const unsigned half = taps / 2;
    const float *history = s->history;
    const uint32_t capacity = s->capacity, out_step = s->out_step, step_int = s->step_int;
    const uint32_t step_rem = s->step_rem, count = s->count;
    uint32_t phase = s->phase, pos = s->pos;
    size_t done = 0;
    for (; done < frames && pos + half < count; done++) {
        const float *k = coefficients(s, phase, taps, interpolate, c);
        const float *h = history + (pos + 1 - half);
        float *a = acc + done * out_ch;
        if (chans == 1) {
            float y = dot1(k, h, taps);
            if (out_ch == 2) { // both sides as one pair
                v2 yv = {y, y}, gv, av;
                memcpy(&gv, gains, sizeof gv);
                memcpy(&av, a, sizeof av);
                av += yv * gv;
                memcpy(a, &av, sizeof av);
            } else {
                for (unsigned o = 0; o < out_ch; o++)
                    a[o] += y * gains[o];
            }
        } else {
            unsigned ch = 0;
            for (; ch + 2 <= chans; ch += 2) {
                dot2_add(k, h + ch * capacity, h + (ch + 1) * capacity, taps, gains + ch, a + ch);
            }
            if (ch < chans)
                a[ch] += dot1(k, h + ch * capacity, taps) * gains[ch];
        }
        // The next output's place, without a branch on the carry.
        phase += step_rem;
        uint32_t carry = phase >= out_step;
        phase -= out_step & (0u - carry);
        pos += step_int + carry;
    }
    s->phase = phase;
    s->pos = pos;
    return done;
}

size_t filter_run(mix_stream *s, float *acc, size_t frames, const float *gains) {
    const unsigned taps = s->taps, chans = s->chans, out_ch = s->out.channels;
    const bool in = s->interpolate != 0;
    // A stereo device with mono or stereo held: the usual cases, with the
    // 24 taps of upsampling (and the 48 of halving the rate) unrolled.
    if (out_ch == 2 && chans == 1) {
        if (taps == base_taps)
            return in ? run(s, acc, frames, gains, base_taps, 1, 2, true)
                      : run(s, acc, frames, gains, base_taps, 1, 2, false);
        return in ? run(s, acc, frames, gains, taps, 1, 2, true)
                  : run(s, acc, frames, gains, taps, 1, 2, false);
    }
    if (out_ch == 2 && chans == 2) {
        if (taps == base_taps)
            return in ? run(s, acc, frames, gains, base_taps, 2, 2, true)
                      : run(s, acc, frames, gains, base_taps, 2, 2, false);
        if (taps == 2 * base_taps && !in) // halving the rate: 96000 to 48000
            return run(s, acc, frames, gains, 2 * base_taps, 2, 2, false);
        return in ? run(s, acc, frames, gains, taps, 2, 2, true)
                  : run(s, acc, frames, gains, taps, 2, 2, false);
    }
    return in ? run(s, acc, frames, gains, taps, chans, out_ch, true)
              : run(s, acc, frames, gains, taps, chans, out_ch, false);
}
