// The mixer at equal rates: format records, sample conversion both ways,
// channel map, gains and saturation.
#include "mix_test_util.h"

#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

namespace {

// A WAVEFORMATEX record, with the extensible tail when `sub_tag` is nonzero.
std::vector<unsigned char> record(uint16_t tag, unsigned channels, unsigned rate, unsigned bits,
                                  unsigned block_align, uint16_t sub_tag = 0) {
    std::vector<unsigned char> r(mix_format_bytes);
    auto put = [&](size_t at, uint32_t v, int n) {
        for (int i = 0; i < n; i++)
            r[at + i] = (unsigned char)(v >> (8 * i));
    };
    put(0, tag, 2), put(2, channels, 2), put(4, rate, 4), put(8, rate * block_align, 4);
    put(12, block_align, 2), put(14, bits, 2), put(16, tag == 0xFFFE ? 22 : 0, 2);
    if (tag == 0xFFFE) {
        static const unsigned char tail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                               0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71};
        put(18, bits, 2), put(20, 3, 4), put(24, sub_tag, 2);
        memcpy(&r[26], tail, 14);
    }
    return r;
}

bool read(const std::vector<unsigned char> &r, pcm_format *f = nullptr) {
    pcm_format scratch;
    return pcm_format_read(r.data(), f ? f : &scratch);
}

TEST(FormatRead, AcceptsPcmFloatAndExtensible) {
    pcm_format f;
    ASSERT_TRUE(read(record(1, 2, 44100, 16, 4), &f));
    EXPECT_EQ(44100u, f.rate);
    EXPECT_EQ(2, f.channels);
    EXPECT_FALSE(f.is_float);
    ASSERT_TRUE(read(record(3, 1, 8000, 32, 4), &f));
    EXPECT_TRUE(f.is_float);
    ASSERT_TRUE(read(record(0xFFFE, 6, 48000, 24, 18, 1), &f));
    EXPECT_EQ(24, f.bits);
    EXPECT_FALSE(f.is_float);
    ASSERT_TRUE(read(record(0xFFFE, 8, 192000, 32, 32, 3), &f));
    EXPECT_TRUE(f.is_float);
    EXPECT_TRUE(read(record(1, 1, 1, 8, 1)));
}

TEST(FormatRead, RejectsWhatCannotPlay) {
    EXPECT_FALSE(read(record(2, 2, 44100, 4, 2048))) << "ADPCM";
    EXPECT_FALSE(read(record(1, 2, 44100, 12, 3))) << "12 bits";
    EXPECT_FALSE(read(record(3, 2, 44100, 16, 4))) << "16-bit float";
    EXPECT_FALSE(read(record(1, 0, 44100, 16, 0))) << "no channels";
    EXPECT_FALSE(read(record(1, 9, 44100, 16, 18))) << "9 channels";
    EXPECT_FALSE(read(record(1, 2, 0, 16, 4))) << "rate 0";
    EXPECT_FALSE(read(record(1, 2, 192001, 16, 4))) << "rate above 192000";
    EXPECT_FALSE(read(record(1, 2, 44100, 16, 2))) << "block align";
    EXPECT_FALSE(read(record(0xFFFE, 2, 44100, 16, 4, 2))) << "sub-format ADPCM";
    EXPECT_FALSE(read(record(0xFFFE, 2, 44100, 16, 4, 0))) << "sub-format 0";
    for (size_t at = 26; at < 40; at++) {
        auto r = record(0xFFFE, 2, 44100, 16, 4, 1);
        r[at] ^= 1;
        EXPECT_FALSE(read(r)) << "GUID byte " << at;
    }
    auto r = record(0xFFFE, 2, 44100, 16, 4, 1);
    r[16] = 21;
    EXPECT_FALSE(read(r)) << "cbSize 21";
}

// The floats one frame of `bytes` in `in` adds to a device of `out_channels`.
std::vector<float> add_one(const pcm_format &in, const std::vector<unsigned char> &bytes,
                           unsigned out_channels, float gl = 1, float gr = 1) {
    pcm_format out = make_format(in.rate, out_channels, 32, true);
    static mix_stream s;
    mix_stream_init(&s, &in, &out);
    std::vector<float> acc(out_channels * bytes.size() / in.block_align);
    size_t used = 0;
    size_t n = mix_stream_add(&s, bytes.data(), bytes.size(), &used, acc.data(), 64, gl, gr);
    EXPECT_EQ(bytes.size() / in.block_align, n);
    EXPECT_EQ(bytes.size(), used);
    return acc;
}

TEST(Conversion, ExactSamplesOfEachDepth) {
    EXPECT_EQ((std::vector<float>{-1, 0, 127 / 128.0f}),
              add_one(make_format(8000, 1, 8), {0, 128, 255}, 1));
    EXPECT_EQ((std::vector<float>{-1, -1 / 32768.0f, 32767 / 32768.0f}),
              add_one(make_format(8000, 1, 16), {0, 0x80, 0xFF, 0xFF, 0xFF, 0x7F}, 1));
    EXPECT_EQ((std::vector<float>{-1, -1 / 8388608.0f, 1 / 8388608.0f}),
              add_one(make_format(8000, 1, 24), {0, 0, 0x80, 0xFF, 0xFF, 0xFF, 1, 0, 0}, 1));
    EXPECT_EQ((std::vector<float>{-1, 0.5f}),
              add_one(make_format(8000, 1, 32), {0, 0, 0, 0x80, 0, 0, 0, 0x40}, 1));
    float f[3] = {0.25f, -3.0f, NAN};
    std::vector<unsigned char> fb((unsigned char *)f, (unsigned char *)(f + 3));
    EXPECT_EQ((std::vector<float>{0.25f, -3.0f, 0}), add_one(make_format(8000, 1, 32, true), fb, 1))
        << "float passes as is, NaN as silence";
}

TEST(Conversion, SixteenBitsPassBitExact) {
    pcm_format f = make_format(44100, 2, 16);
    std::vector<unsigned char> in(65536 * 2);
    for (unsigned i = 0; i < 65536; i++)
        in[2 * i] = (unsigned char)i, in[2 * i + 1] = (unsigned char)(i >> 8);
    mix_stream s;
    mix_stream_init(&s, &f, &f);
    std::vector<float> acc(65536);
    size_t used;
    ASSERT_EQ(32768u, mix_stream_add(&s, in.data(), in.size(), &used, acc.data(), 32768, 1, 1));
    std::vector<unsigned char> out(in.size());
    mix_write(acc.data(), 32768, &f, out.data());
    for (size_t i = 0; i < in.size(); i += 2)
        ASSERT_EQ(in[i] | in[i + 1] << 8, out[i] | out[i + 1] << 8) << "sample " << i / 2;
}

// 24-bit samples are read four at a time from whole words, the rest one
// by one: scattered values through both come back unchanged.
TEST(Conversion, TwentyFourBitsPassBitExact) {
    enum { n = 8191 };
    pcm_format f = make_format(44100, 1, 24);
    std::vector<unsigned char> in(n * 3);
    for (uint32_t i = 0; i < n; i++) {
        uint32_t v = i * 0x9E3779B1u >> 8;
        in[3 * i] = (unsigned char)v, in[3 * i + 1] = (unsigned char)(v >> 8);
        in[3 * i + 2] = (unsigned char)(v >> 16);
    }
    mix_stream s;
    mix_stream_init(&s, &f, &f);
    std::vector<float> acc(n);
    size_t used;
    ASSERT_EQ((size_t)n, mix_stream_add(&s, in.data(), in.size(), &used, acc.data(), n, 1, 1));
    std::vector<unsigned char> out(in.size());
    mix_write(acc.data(), n, &f, out.data());
    ASSERT_EQ(in, out);
}

std::vector<unsigned char> write(unsigned bits, bool is_float, std::vector<float> acc) {
    pcm_format f = make_format(48000, 1, bits, is_float);
    std::vector<unsigned char> out(acc.size() * bits / 8);
    mix_write(acc.data(), acc.size(), &f, out.data());
    return out;
}

TEST(Write, RoundsAndSaturatesEachDepth) {
    using bytes = std::vector<unsigned char>;
    EXPECT_EQ((bytes{0, 0, 128, 255, 255, 129}),
              write(8, false, {-1, -2, 0, 127 / 128.0f, 3, 0.006f}));
    EXPECT_EQ((bytes{0, 0x80, 0xFF, 0x7F, 0xFF, 0xFF, 0, 0}),
              write(16, false, {-1.5f, 1.5f, -1 / 32768.0f, NAN}));
    EXPECT_EQ((bytes{0xFF, 0xFF, 0xFF, 0, 0, 0x80, 0xFF, 0xFF, 0x7F}),
              write(24, false, {-1 / 8388608.0f, -1, 2}));
    EXPECT_EQ((bytes{0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0x80}), write(32, false, {1, -1}));
    bytes fl = write(32, true, {2, -0.5f});
    float back[2];
    memcpy(back, fl.data(), 8);
    EXPECT_EQ(1.0f, back[0]);
    EXPECT_EQ(-0.5f, back[1]);
}

TEST(Channels, MapsAndFoldsToTheDevice) {
    std::vector<unsigned char> one = {0, 0x40}; // 16-bit 0.5
    EXPECT_EQ((std::vector<float>{0.5f, 0.5f}), add_one(make_format(8000, 1, 16), one, 2))
        << "mono on both";
    EXPECT_EQ((std::vector<float>{0.25f}), add_one(make_format(8000, 2, 16), {0, 0x40, 0, 0}, 1))
        << "stereo to mono: the mean";
    // 5.1 to stereo: FL FR FC LFE BL BR at 0.5, 0, 0.25, 0.5, 0, 0.25.
    std::vector<unsigned char> surround = {0, 0x40, 0, 0, 0, 0x20, 0, 0x40, 0, 0, 0, 0x20};
    std::vector<float> st = add_one(make_format(8000, 6, 16), surround, 2);
    float norm = 1 + 2 * 0.70710678f;
    EXPECT_NEAR(0.5f / norm + 0.70710678f * 0.25f / norm, st[0], 1e-6);
    EXPECT_NEAR(0.70710678f * 0.25f / norm + 0.70710678f * 0.25f / norm, st[1], 1e-6);
    // Stereo on a 5.1 device: front only.
    EXPECT_EQ((std::vector<float>{0.5f, 0.25f, 0, 0, 0, 0}),
              add_one(make_format(8000, 2, 16), {0, 0x40, 0, 0x20}, 6));
    // 7.1 to 5.1: the side channels join the back ones.
    std::vector<unsigned char> sides(16);
    sides[13] = 0x40; // SL at 0.5
    std::vector<float> back = add_one(make_format(8000, 8, 16), sides, 6);
    EXPECT_EQ((std::vector<float>{0, 0, 0, 0, 0.25f, 0}), back);
}

TEST(Gains, ScaleEachSide) {
    std::vector<unsigned char> st = {0, 0x40, 0, 0x40};
    EXPECT_EQ((std::vector<float>{0.25f, 0.125f}),
              add_one(make_format(8000, 2, 16), st, 2, 0.5f, 0.25f));
    EXPECT_EQ((std::vector<float>{0.1875f}), add_one(make_format(8000, 2, 16), st, 1, 0.5f, 0.25f))
        << "mono device: the mean gain";
}

} // namespace
