// A first, plain mixer: nearest-frame rate conversion, no filter. It keeps
// the drop-in playing while the real resampler is written.
#include "mix.h"

#include <string.h>

static uint16_t read16(const unsigned char *p) {
    return (uint16_t)(p[0] | p[1] << 8);
}

static uint32_t read32(const unsigned char *p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

bool pcm_format_read(const unsigned char *record, pcm_format *format) {
    uint16_t tag = read16(record);
    pcm_format f = {};
    f.channels = read16(record + 2);
    f.rate = read32(record + 4);
    f.block_align = read16(record + 12);
    f.bits = read16(record + 14);
    if (tag == 0xFFFE) {
        if (read16(record + 16) < 22)
            return false;
        tag = read16(record + 24);
    }
    if (tag == 3)
        f.is_float = true;
    else if (tag != 1)
        return false;
    if (f.channels < 1 || f.channels > mix_max_channels || f.rate < 1 || f.rate > mix_max_rate)
        return false;
    if (f.is_float ? f.bits != 32 : (f.bits != 8 && f.bits != 16 && f.bits != 24 && f.bits != 32))
        return false;
    if (f.block_align != f.channels * f.bits / 8)
        return false;
    *format = f;
    return true;
}

void mix_stream_init(mix_stream *stream, const pcm_format *in, const pcm_format *out) {
    memset(stream, 0, sizeof *stream);
    stream->in = *in;
    stream->out = *out;
}

void mix_stream_reset(mix_stream *stream) {
    stream->phase = 0;
}

static float sample(const pcm_format *f, const unsigned char *p) {
    switch (f->bits) {
    case 8:
        return (p[0] - 128) / 128.0f;
    case 16:
        return (int16_t)read16(p) / 32768.0f;
    case 24:
        return (int32_t)((uint32_t)p[0] << 8 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 24) /
               2147483648.0f;
    default:
        if (f->is_float) {
            float v;
            memcpy(&v, p, 4);
            return v;
        }
        return (int32_t)read32(p) / 2147483648.0f;
    }
}

size_t mix_stream_add(mix_stream *s, const void *data, size_t bytes, size_t *used, float *acc,
                      size_t frames, float gain_left, float gain_right) {
    const unsigned char *in = (const unsigned char *)data;
    size_t in_frames = bytes / s->in.block_align, done = 0;
    while (done < frames) {
        size_t i = (size_t)(s->phase / s->out.rate);
        if (i >= in_frames)
            break;
        const unsigned char *p = in + i * s->in.block_align;
        for (unsigned c = 0; c < s->out.channels; c++) {
            unsigned from = c < s->in.channels ? c : s->in.channels - 1;
            float v = sample(&s->in, p + from * (s->in.bits / 8));
            acc[done * s->out.channels + c] += v * (c & 1 ? gain_right : gain_left);
        }
        s->phase += s->in.rate;
        done++;
    }
    size_t consumed = (size_t)(s->phase / s->out.rate);
    if (consumed >= in_frames) {
        consumed = in_frames;
        *used = bytes;
    } else {
        *used = consumed * s->in.block_align;
    }
    s->phase -= (uint64_t)consumed * s->out.rate;
    return done;
}

void mix_write(const float *acc, size_t frames, const pcm_format *format, void *out) {
    unsigned char *o = (unsigned char *)out;
    for (size_t i = 0; i < frames * format->channels; i++) {
        float v = acc[i];
        v = v > 1.0f ? 1.0f : v < -1.0f ? -1.0f : v;
        if (format->bits == 8) {
            *o++ = (unsigned char)(int)(v * 127.0f + 128.0f);
        } else if (format->bits == 16) {
            int16_t x = (int16_t)(v * 32767.0f);
            memcpy(o, &x, 2);
            o += 2;
        } else if (format->is_float) {
            memcpy(o, &v, 4);
            o += 4;
        } else {
            int32_t x = (int32_t)(v * 2147483392.0f);
            if (format->bits == 24) {
                o[0] = (unsigned char)(x >> 8), o[1] = (unsigned char)(x >> 16),
                o[2] = (unsigned char)(x >> 24);
                o += 3;
            } else {
                memcpy(o, &x, 4);
                o += 4;
            }
        }
    }
}
