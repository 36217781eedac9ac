// A stream: its input read into float, mapped to the device's channels and
// either added directly (equal rates) or held in history for the filter.
#include "mix_internal.h"

#include <string.h>

enum { chunk_samples = 512 }; // floats converted at once, on the stack

void mix_stream_init(mix_stream *s, const pcm_format *in, const pcm_format *out) {
    memset(s, 0, sizeof *s);
    s->in = *in;
    s->out = *out;
    channel_matrix(in->channels, out->channels, s->matrix);
    s->chans = in->channels == 1 ? 1 : out->channels;
    if (in->rate != out->rate)
        filter_design(s);
    mix_stream_reset(s);
}

void mix_stream_reset(mix_stream *s) {
    s->phase = 0;
    s->skip = 0;
    s->drain_end = 0;
    if (!s->taps)
        return;
    // The first input frame sits at index taps / 2 - 1, after silence.
    s->pos = s->count = s->taps / 2u - 1;
    for (unsigned c = 0; c < s->chans; c++)
        memset(s->history + c * s->capacity, 0, sizeof(float) * s->count);
}

size_t mix_stream_latency(const mix_stream *s) {
    // taps / 2 input frames ahead, in output frames, rounded up.
    // At most 128 * 192000: 32 bits suffice (and i386 has no 64-bit divide).
    return s->taps ? (s->taps / 2u * s->out_step + s->in_step - 1) / s->in_step : 0;
}

// The per-channel factors for the output: gains, and for a mono open its
// column of the channel map (a mono open is held and filtered as one channel).
static void output_gains(const mix_stream *s, float gain_left, float gain_right, float *gains) {
    channel_gains(s->out.channels, gain_left, gain_right, gains);
    if (s->in.channels == 1)
        for (unsigned c = 0; c < s->out.channels; c++)
            gains[c] *= s->matrix[c];
}

// Equal rates: adds `frames` input frames straight into acc.
static void add_direct(const mix_stream *s, const unsigned char *src, size_t frames, float *acc,
                       const float *gains) {
    float x[chunk_samples];
    const unsigned in_ch = s->in.channels, out_ch = s->out.channels;
    const size_t per_chunk = chunk_samples / in_ch;
    while (frames) {
        size_t n = frames < per_chunk ? frames : per_chunk;
        pcm_to_float(&s->in, src, n * in_ch, x);
        if (in_ch == out_ch && in_ch == 2) {
            for (size_t f = 0; f < n; f++) {
                acc[2 * f] += x[2 * f] * gains[0];
                acc[2 * f + 1] += x[2 * f + 1] * gains[1];
            }
        } else if (in_ch == 1) {
            for (size_t f = 0; f < n; f++)
                for (unsigned o = 0; o < out_ch; o++)
                    acc[f * out_ch + o] += x[f] * gains[o];
        } else {
            for (size_t f = 0; f < n; f++)
                for (unsigned o = 0; o < out_ch; o++) {
                    float v = 0;
                    for (unsigned i = 0; i < in_ch; i++)
                        v += s->matrix[o * in_ch + i] * x[f * in_ch + i];
                    acc[f * out_ch + o] += v * gains[o];
                }
        }
        src += n * s->in.block_align;
        acc += n * out_ch;
        frames -= n;
    }
}

// Appends `frames` input frames (or silence, for a null `src`) to history,
// mapped to the held channels.
static void hold(mix_stream *s, const unsigned char *src, size_t frames) {
    float x[chunk_samples];
    const unsigned in_ch = s->in.channels, chans = s->chans;
    const size_t per_chunk = chunk_samples / in_ch;
    while (frames) {
        size_t n = frames < per_chunk ? frames : per_chunk;
        float *h = s->history + s->count;
        if (!src) {
            for (unsigned c = 0; c < chans; c++)
                memset(h + c * s->capacity, 0, sizeof(float) * n);
        } else {
            pcm_to_float(&s->in, src, n * in_ch, x);
            src += n * s->in.block_align;
            if (in_ch == 1) {
                memcpy(h, x, sizeof(float) * n);
            } else {
                // Each held channel sums the open's channels that map to it.
                for (unsigned c = 0; c < chans; c++) {
                    const float *m = s->matrix + c * in_ch;
                    float *d = h + c * s->capacity;
                    bool first = true;
                    for (unsigned i = 0; i < in_ch; i++) {
                        if (m[i] == 0)
                            continue;
                        if (first)
                            for (size_t f = 0; f < n; f++)
                                d[f] = m[i] * x[f * in_ch + i];
                        else
                            for (size_t f = 0; f < n; f++)
                                d[f] += m[i] * x[f * in_ch + i];
                        first = false;
                    }
                    if (first)
                        memset(d, 0, sizeof(float) * n);
                }
            }
        }
        s->count += (uint32_t)n;
        frames -= n;
    }
}

// Makes room in a full history: keeps the frames from the filter window's
// start on, moved to the front. Frames the window has passed altogether
// (possible when one output frame steps over more input than the filter
// spans) are to be skipped from the input.
static void compact(mix_stream *s) {
    uint32_t start = s->pos + 1 - s->taps / 2u;
    if (start >= s->count) {
        s->skip = start - s->count;
        s->count = 0;
    } else {
        s->count -= start;
        for (unsigned c = 0; c < s->chans; c++) {
            float *h = s->history + c * s->capacity;
            memmove(h, h + start, sizeof(float) * s->count);
        }
    }
    s->pos -= start;
    if (s->drain_end)
        s->drain_end = s->drain_end > start ? s->drain_end - start : 1;
}

// Runs the filter, feeding it `frames` input frames at `src` (silence for a
// null `src`) as it needs them. Returns the output frames added and sets
// `*fed` to the input frames taken.
static size_t resample(mix_stream *s, const unsigned char *src, size_t in_frames, size_t *fed,
                       float *acc, size_t frames, const float *gains) {
    size_t done = 0, left = in_frames;
    for (;;) {
        done += filter_run(s, acc + done * s->out.channels, frames - done, gains);
        if (done == frames || !left)
            break;
        if (s->count == s->capacity)
            compact(s);
        size_t n = s->skip;
        if (n) {
            n = n < left ? n : left;
            s->skip -= (uint32_t)n;
        } else {
            n = s->capacity - s->count;
            n = n < left ? n : left;
            hold(s, src, n);
        }
        if (src)
            src += n * s->in.block_align;
        left -= n;
    }
    *fed = in_frames - left;
    return done;
}

size_t mix_stream_add(mix_stream *s, const void *data, size_t bytes, size_t *used, float *acc,
                      size_t frames, float gain_left, float gain_right) {
    const unsigned char *src = (const unsigned char *)data;
    size_t in_frames = bytes / s->in.block_align, fed, done;
    float gains[mix_max_channels];
    output_gains(s, gain_left, gain_right, gains);
    if (in_frames)
        s->drain_end = 0; // new sound follows what was drained
    if (!s->taps) {
        done = in_frames < frames ? in_frames : frames;
        add_direct(s, src, done, acc, gains);
        fed = done;
    } else {
        done = resample(s, src, in_frames, &fed, acc, frames, gains);
    }
    // A partial frame at the end goes with the last whole one.
    *used = fed == in_frames ? bytes : fed * s->in.block_align;
    return done;
}

size_t mix_stream_drain(mix_stream *s, float *acc, size_t frames, float gain_left,
                        float gain_right) {
    if (!s->taps)
        return 0;
    if (!s->drain_end)
        s->drain_end = s->count + 1;
    float gains[mix_max_channels];
    output_gains(s, gain_left, gain_right, gains);
    size_t done = 0;
    // Output is owed while its instant lies before the end of the input.
    while (done < frames && s->pos + 1 < s->drain_end) {
        size_t fed;
        done += resample(s, NULL, s->taps, &fed, acc + done * s->out.channels, 1, gains);
    }
    return done;
}
