// Formats: reading a WAVEFORMATEX, samples to and from float, and the
// channel map between an open and the device.
#include "mix_internal.h"

#include <string.h>

static uint16_t read16(const unsigned char *p) {
    return (uint16_t)(p[0] | p[1] << 8);
}

static uint32_t read32(const unsigned char *p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// The sub-format GUIDs of WAVE_FORMAT_EXTENSIBLE share their last 14 bytes:
// xxxxxxxx-0000-0010-8000-00aa00389b71, stored little-endian; the first two
// bytes are the plain format tag and the two after them are zero.
static const unsigned char guid_tail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                            0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71};

bool pcm_format_read(const unsigned char *record, pcm_format *format) {
    uint16_t tag = read16(record);
    pcm_format f = {};
    f.channels = read16(record + 2);
    f.rate = read32(record + 4);
    f.block_align = read16(record + 12);
    f.bits = read16(record + 14);
    if (tag == 0xFFFE) {
        uint16_t valid_bits = read16(record + 18);
        if (read16(record + 16) < 22 || valid_bits > f.bits)
            return false;
        if (memcmp(record + 26, guid_tail, sizeof guid_tail) != 0)
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

void pcm_to_float(const pcm_format *format, const unsigned char *src, size_t samples, float *dst) {
    size_t i;
    switch (format->bits) {
    case 8:
        for (i = 0; i < samples; i++)
            dst[i] = (float)(src[i] - 128) * (1.0f / 128);
        break;
    case 16:
        for (i = 0; i < samples; i++, src += 2)
            dst[i] = (float)(int16_t)read16(src) * (1.0f / 32768);
        break;
    case 24:
        // Four samples from three 32-bit words, each placed in the top
        // three bytes of an int32.
        for (i = 0; i + 4 <= samples; i += 4, src += 12) {
            uint32_t w0 = read32(src), w1 = read32(src + 4), w2 = read32(src + 8);
            const float scale = 1.0f / 2147483648.0f;
            dst[i] = (float)(int32_t)(w0 << 8) * scale;
            dst[i + 1] = (float)(int32_t)((w0 >> 16 & 0xFF00) | w1 << 16) * scale;
            dst[i + 2] = (float)(int32_t)((w1 >> 8 & 0xFFFF00) | w2 << 24) * scale;
            dst[i + 3] = (float)(int32_t)(w2 & 0xFFFFFF00) * scale;
        }
        for (; i < samples; i++, src += 3)
            dst[i] = (float)(int32_t)((uint32_t)src[0] << 8 | (uint32_t)src[1] << 16 |
                                      (uint32_t)src[2] << 24) *
                     (1.0f / 2147483648.0f);
        break;
    default:
        if (!format->is_float) {
            for (i = 0; i < samples; i++, src += 4)
                dst[i] = (float)(int32_t)read32(src) * (1.0f / 2147483648.0f);
            break;
        }
        for (i = 0; i < samples; i++, src += 4) {
            float v;
            memcpy(&v, src, 4);
            if (!(v >= -16.0f && v <= 16.0f))
                v = v > 0 ? 16.0f : v < 0 ? -16.0f : 0.0f;
            dst[i] = v;
        }
    }
}

// Speaker roles, and the roles of each channel count in WAVE order.
enum { FL, FR, FC, LFE, BL, BR, SL, SR, BC, NONE };
static const unsigned char layouts[mix_max_channels][mix_max_channels] = {
    {FC, NONE, NONE, NONE, NONE, NONE, NONE, NONE},
    {FL, FR, NONE, NONE, NONE, NONE, NONE, NONE},
    {FL, FR, FC, NONE, NONE, NONE, NONE, NONE},
    {FL, FR, BL, BR, NONE, NONE, NONE, NONE},
    {FL, FR, FC, BL, BR, NONE, NONE, NONE},
    {FL, FR, FC, LFE, BL, BR, NONE, NONE},
    {FL, FR, FC, LFE, BC, SL, SR, NONE},
    {FL, FR, FC, LFE, BL, BR, SL, SR},
};
// Where a role the device lacks goes: up to two other roles at -3 dB each
// (side and back trade places at full level), tried in order.
static const unsigned char folds[9][3][2] = {
    {{NONE, NONE}, {NONE, NONE}, {NONE, NONE}}, // FL, FR: every layout but mono has them
    {{NONE, NONE}, {NONE, NONE}, {NONE, NONE}},
    {{FL, FR}, {NONE, NONE}, {NONE, NONE}},     // FC
    {{NONE, NONE}, {NONE, NONE}, {NONE, NONE}}, // LFE: dropped
    {{SL, NONE}, {FL, NONE}, {NONE, NONE}},     // BL
    {{SR, NONE}, {FR, NONE}, {NONE, NONE}},     // BR
    {{BL, NONE}, {FL, NONE}, {NONE, NONE}},     // SL
    {{BR, NONE}, {FR, NONE}, {NONE, NONE}},     // SR
    {{BL, BR}, {SL, SR}, {FL, FR}},             // BC
};

static int find_role(unsigned channels, unsigned role) {
    for (unsigned c = 0; c < channels; c++)
        if (layouts[channels - 1][c] == role)
            return (int)c;
    return -1;
}

// The map to `out_channels` of two or more channels.
static void map_to(unsigned in_channels, unsigned out_channels, float *m) {
    for (unsigned i = 0; i < in_channels; i++) {
        unsigned role = layouts[in_channels - 1][i];
        if (in_channels == 1) {
            m[0 * in_channels + i] = m[1 * in_channels + i] = 1.0f;
            continue;
        }
        int o = find_role(out_channels, role);
        if (o >= 0) {
            m[o * in_channels + i] = 1.0f;
            continue;
        }
        for (unsigned k = 0; k < 3; k++) {
            int a = find_role(out_channels, folds[role][k][0]);
            int b = find_role(out_channels, folds[role][k][1]);
            if (a < 0)
                continue;
            // A pair shares at -3 dB; a single fallback takes the full level
            // when it is the matching side or back, -3 dB when it is the front.
            float level = b >= 0 || folds[role][k][0] <= FC ? 0.70710678f : 1.0f;
            m[a * in_channels + i] += level;
            if (b >= 0)
                m[b * in_channels + i] += level;
            break;
        }
    }
}

void channel_matrix(unsigned in_channels, unsigned out_channels, float *matrix) {
    memset(matrix, 0, sizeof(float) * in_channels * out_channels);
    if (out_channels == 1) {
        float stereo[2 * mix_max_channels] = {};
        map_to(in_channels, 2, stereo);
        for (unsigned i = 0; i < in_channels; i++)
            matrix[i] = (stereo[i] + stereo[in_channels + i]) * 0.5f;
    } else {
        map_to(in_channels, out_channels, matrix);
    }
    for (unsigned o = 0; o < out_channels; o++) {
        float sum = 0;
        for (unsigned i = 0; i < in_channels; i++)
            sum += matrix[o * in_channels + i];
        if (sum > 1.0f)
            for (unsigned i = 0; i < in_channels; i++)
                matrix[o * in_channels + i] /= sum;
    }
}

void channel_gains(unsigned channels, float gain_left, float gain_right, float *gains) {
    for (unsigned c = 0; c < channels; c++) {
        unsigned role = channels == 1 ? (unsigned)FC : layouts[channels - 1][c];
        gains[c] = role == FL || role == BL || role == SL   ? gain_left
                   : role == FR || role == BR || role == SR ? gain_right
                                                            : (gain_left + gain_right) * 0.5f;
    }
}

// Rounds `v` times `scale` to the nearest integer within [lo, hi]. NaN gives 0.
static int32_t quantize(float v, float scale, int32_t lo, int32_t hi) {
    float x = v * scale;
    if (!(x == x))
        return 0;
    if (x >= (float)hi)
        return hi;
    if (x <= (float)lo)
        return lo;
    return (int32_t)(x < 0 ? x - 0.5f : x + 0.5f);
}

// Four floats, and four 32-bit integers of the same bits: GCC and clang map
// their arithmetic onto SSE where the target has it and onto scalar code
// where it does not. Loaded from any float.
typedef float v4 __attribute__((vector_size(16)));
typedef int32_t v4i __attribute__((vector_size(16)));
typedef int16_t v4s __attribute__((vector_size(8)));
typedef float v4_any __attribute__((vector_size(16), aligned(4), may_alias));

// 16-bit output, the usual device format, four samples at a time: what
// quantize does, without branches. A NaN lane's bits are cleared to 0;
// each lane is clamped to the 16-bit range, then rounded half away from
// zero by adding 0.5 with the sample's sign and truncating.
static size_t write16(const float *acc, size_t n, unsigned char *o) {
#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
    return 0; // the per-sample loop writes it
#endif
    const v4 scale = {32768.0f, 32768.0f, 32768.0f, 32768.0f};
    const v4 hi = {32767.0f, 32767.0f, 32767.0f, 32767.0f}, lo = -hi - 1.0f;
    const v4 half = {0.5f, 0.5f, 0.5f, 0.5f};
    const v4i sign = {INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN};
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        v4 x = *(const v4_any *)(acc + i) * scale;
        v4i b = (v4i)x & (x == x);
        v4i above = (v4)b > hi, below = (v4)b < lo;
        b = (b & ~above) | ((v4i)hi & above);
        b = (b & ~below) | ((v4i)lo & below);
        v4i r = __builtin_convertvector((v4)b + (v4)((b & sign) | (v4i)half), v4i);
        // Little-endian: the samples' bytes in order are the int16s' in memory.
        v4s w = __builtin_convertvector(r, v4s);
        memcpy(o + 2 * i, &w, sizeof w);
    }
    return i;
}

void mix_write(const float *acc, size_t frames, const pcm_format *format, void *out) {
    unsigned char *o = (unsigned char *)out;
    size_t n = frames * format->channels, i = 0;
    if (format->bits == 16) {
        i = write16(acc, n, o);
        o += 2 * i;
    }
    for (; i < n; i++) {
        float v = acc[i];
        if (format->bits == 8) {
            *o++ = (unsigned char)(quantize(v, 128.0f, -128, 127) + 128);
        } else if (format->bits == 16) {
            int32_t x = quantize(v, 32768.0f, -32768, 32767);
            o[0] = (unsigned char)x, o[1] = (unsigned char)(x >> 8);
            o += 2;
        } else if (format->bits == 24) {
            int32_t x = quantize(v, 8388608.0f, -8388608, 8388607);
            o[0] = (unsigned char)x, o[1] = (unsigned char)(x >> 8),
            o[2] = (unsigned char)(x >> 16);
            o += 3;
        } else if (format->is_float) {
            v = !(v == v) ? 0.0f : v > 1.0f ? 1.0f : v < -1.0f ? -1.0f : v;
            memcpy(o, &v, 4);
            o += 4;
        } else {
            int32_t x = quantize(v, 2147483648.0f, INT32_MIN, INT32_MAX);
            memcpy(o, &x, 4);
            o += 4;
        }
    }
}
