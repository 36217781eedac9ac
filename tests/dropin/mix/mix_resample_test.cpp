// The mixer across rates: aliasing, continuity over buffer splits, reset,
// drain, and random formats and splits.
#include "mix_test_util.h"

#include <gtest/gtest.h>
#include <math.h>
#include <random>

namespace {

struct alias_case {
    unsigned in_rate;
    double kept;    // a tone that must come through at its level
    double removed; // a tone above the output's Nyquist that must go, or 0
};

// Every frequency from 20 Hz to 24 kHz but the kept tone must stay 60 dB
// below it.
TEST(Resample, NoAliasAboveMinus60dB) {
    const alias_case cases[] = {
        {11025, 1000, 0},      {44100, 1000, 0},     {44100, 12000, 0}, {192000, 1000, 90000},
        {192000, 1000, 26000}, {96000, 1000, 40000}, {8000, 2500, 0},
    };
    pcm_format out = make_format(48000, 1, 32, true);
    for (const alias_case &c : cases) {
        pcm_format in = make_format(c.in_rate, 1, 32, true);
        mix_stream s;
        mix_stream_init(&s, &in, &out);
        auto input = encode(in, tone(c.in_rate, 1, c.in_rate / 2, c.kept, 0.5, c.removed, 0.4));
        std::vector<float> y = run_stream(&s, input, {4096});
        const size_t n = 8192, skip = 2000;
        ASSERT_GE(y.size(), skip + n);
        double level = amplitude(&y[skip], n, 1, 48000, c.kept);
        EXPECT_NEAR(0.5, level, 0.5 * 0.012) << c.in_rate << " Hz, tone " << c.kept;
        double worst = 0, at = 0;
        for (double f = 20; f < 24000; f += 20) {
            if (fabs(f - c.kept) < 100)
                continue;
            double a = amplitude(&y[skip], n, 1, 48000, f);
            if (a > worst)
                worst = a, at = f;
        }
        printf("%6u -> 48000 Hz, tone %5.0f Hz + %5.0f Hz: strongest other %.1f dB at %.0f Hz\n",
               c.in_rate, c.kept, c.removed, db(worst, level), at);
        EXPECT_LT(db(worst, level), -60) << c.in_rate << " Hz: at " << at << " Hz";
    }
}

struct pair {
    pcm_format in, out;
};
const pair pairs[] = {
    {make_format(11025, 1, 8), make_format(48000, 2, 16)},        // interpolated phases, mono
    {make_format(32000, 2, 16), make_format(48000, 2, 16)},       // exact phases
    {make_format(96000, 2, 24), make_format(44100, 2, 16)},       // downsampling
    {make_format(44100, 6, 32), make_format(48000, 2, 16)},       // 5.1 folded
    {make_format(22050, 2, 32, true), make_format(22050, 2, 16)}, // equal rates
};

TEST(Resample, SplitsResetAndDrain) {
    for (const pair &p : pairs) {
        mix_stream a, b;
        mix_stream_init(&a, &p.in, &p.out);
        mix_stream_init(&b, &p.in, &p.out);
        auto input = encode(p.in, tone(p.in.rate, p.in.channels, 20000, 997, 0.7));
        std::vector<float> whole = run_stream(&a, input, {20000}, 1 << 20);
        std::vector<float> split = run_stream(&b, input, {1, 7, 333, 13, 4096, 2}, 97);
        ASSERT_EQ(whole.size(), split.size()) << p.in.rate << " -> " << p.out.rate;
        for (size_t i = 0; i < whole.size(); i++)
            ASSERT_NEAR(whole[i], split[i], 1e-6)
                << p.in.rate << " -> " << p.out.rate << " at " << i;
        // Reset forgets the history: the same input gives the same output.
        mix_stream_reset(&b);
        std::vector<float> again = run_stream(&b, input, {20000}, 1 << 20);
        ASSERT_EQ(whole, again) << "after reset, " << p.in.rate << " -> " << p.out.rate;
        // Draining plays what the filter held: the output then matches the input.
        std::vector<float> acc(4096 * p.out.channels);
        size_t tail = mix_stream_drain(&b, acc.data(), 4096, 1, 1);
        EXPECT_EQ(0u, mix_stream_drain(&b, acc.data(), 4096, 1, 1));
        EXPECT_LE(tail, mix_stream_latency(&b) + 1);
        EXPECT_NEAR(20000.0 * p.out.rate / p.in.rate, again.size() / p.out.channels + tail, 1.0)
            << p.in.rate << " -> " << p.out.rate;
    }
}

// Stereo held has loops of its own (24 taps unrolled, 48 when halving the
// rate, rows read reversed): each side must come out as that channel
// alone, played as a mono open, does.
TEST(Resample, StereoMatchesEachSideAlone) {
    for (unsigned rate : {22050u, 32000u, 44100u, 96000u}) {
        pcm_format stereo = make_format(rate, 2, 32, true), mono = make_format(rate, 1, 32, true);
        pcm_format out = make_format(48000, 2, 32, true);
        std::vector<double> left = tone(rate, 1, 6000, 997, 0.5, 5003, 0.3);
        std::vector<double> right = tone(rate, 1, 6000, 3001, 0.6), both;
        for (size_t i = 0; i < left.size(); i++)
            both.push_back(left[i]), both.push_back(right[i]);
        mix_stream s, l, r;
        mix_stream_init(&s, &stereo, &out);
        mix_stream_init(&l, &mono, &out);
        mix_stream_init(&r, &mono, &out);
        std::vector<float> y = run_stream(&s, encode(stereo, both), {6000});
        std::vector<float> yl = run_stream(&l, encode(mono, left), {6000});
        std::vector<float> yr = run_stream(&r, encode(mono, right), {6000});
        ASSERT_EQ(y.size(), yl.size());
        ASSERT_EQ(y.size(), yr.size());
        for (size_t i = 0; i < y.size(); i += 2) {
            ASSERT_NEAR(yl[i], y[i], 1e-6) << rate << " Hz, left, at " << i / 2;
            ASSERT_NEAR(yr[i + 1], y[i + 1], 1e-6) << rate << " Hz, right, at " << i / 2;
        }
    }
}

// Random formats, contents and splits: whole frames used, never more output
// than asked for, output bounded and at the rate's ratio.
TEST(Resample, RandomFormatsAndSplits) {
    std::mt19937 rng(1234);
    const unsigned depths[] = {8, 16, 24, 32, 32};
    const unsigned rates[] = {1, 7, 8000, 11025, 22050, 44100, 48000, 96000, 192000};
    auto pick = [&](unsigned n) { return (unsigned)(rng() % n); };
    for (int round = 0; round < 100; round++) {
        auto random_format = [&]() {
            unsigned d = pick(5);
            unsigned rate = pick(3) ? rates[pick(9)] : 1 + pick(mix_max_rate);
            return make_format(rate, 1 + pick(8), depths[d], d == 4);
        };
        pcm_format in = random_format(), out = random_format();
        mix_stream s;
        mix_stream_init(&s, &in, &out);
        size_t total = 0, produced = 0;
        std::vector<float> acc(1000 * out.channels);
        std::vector<unsigned char> buf(20000);
        for (int b = 0; b < 40; b++) {
            // At most about 5000 output frames a buffer: a 1 Hz open is slow.
            size_t most = 1 + (size_t)(5000.0 * in.rate / out.rate) * in.block_align;
            size_t bytes = pick(3) ? pick((unsigned)buf.size()) : pick(8);
            bytes = bytes < most ? bytes : most;
            for (auto &x : buf)
                x = (unsigned char)rng();
            size_t offset = 0;
            for (;;) {
                std::fill(acc.begin(), acc.end(), 0.0f);
                size_t want = 1 + pick(1000), used = 99999999;
                size_t n = mix_stream_add(&s, &buf[offset], bytes - offset, &used, acc.data(), want,
                                          1.0f, 1.0f);
                ASSERT_LE(n, want);
                ASSERT_LE(used, bytes - offset);
                if (used != bytes - offset) {
                    ASSERT_EQ(0u, used % in.block_align) << "partial frame used";
                }
                if (n < want) {
                    ASSERT_EQ(bytes - offset, used) << "short output with input left";
                }
                for (size_t i = 0; i < n * out.channels; i++)
                    ASSERT_LE(fabsf(acc[i]), 40.0f) << in.rate << " -> " << out.rate;
                produced += n;
                offset += used;
                if (n < want)
                    break;
            }
            total += bytes / in.block_align;
        }
        double expected = (double)total * out.rate / in.rate;
        EXPECT_NEAR(expected, (double)produced, mix_stream_latency(&s) + 2.0)
            << in.rate << " Hz " << in.channels << " ch -> " << out.rate << " Hz";
    }
}

} // namespace
