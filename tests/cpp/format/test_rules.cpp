// The format's rules: how many levels a signal is decomposed into, the
// quantiser, the multiplier that keeps coefficients in range, and the dead
// zone's thresholds.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "src/format/bands.hpp"
#include "src/format/quantiser.hpp"

namespace corvane {
namespace {

TEST(LevelChoice, FollowsLengthAndFilter) {
    struct Case {
        std::size_t n;
        Method method;
        int levels;
    };
    const Case cases[] = {{1, Method::Cdf97, 1},    {19, Method::Cdf97, 1},   {20, Method::Cdf97, 2},
                          {39, Method::Cdf53, 2},   {40, Method::Db4, 3},     {59, Method::Sym4, 3},
                          {60, Method::Cdf97, 4},   {79, Method::Cdf97, 4},   {80, Method::Cdf97, 3},
                          {80, Method::Db4, 3},     {1000, Method::Cdf97, 6}, {1000, Method::Cdf53, 7},
                          {2559, Method::Cdf97, 7}, {2560, Method::Cdf97, 8}, {1u << 24, Method::Cdf53, 8}};
    for (const auto& c : cases) EXPECT_EQ(pick_levels(c.n, c.method), c.levels) << c.n;
}

TEST(Quantiser, ClampsAndTruncatesTowardZero) {
    EXPECT_EQ(quantise(40000.7f, 1.0f), 32767);
    EXPECT_EQ(quantise(-40000.7f, 1.0f), -32768);
    EXPECT_EQ(quantise(-0.9f, 1.0f), 0);
    EXPECT_EQ(quantise(2.99f, 1.0f), 2);
    EXPECT_EQ(quantise(-2.99f, 1.0f), -2);
    EXPECT_EQ(quantise(std::numeric_limits<float>::quiet_NaN(), 1.0f), 32767);
    EXPECT_EQ(quantise(std::numeric_limits<float>::infinity(), 1.0f), 32767);
    EXPECT_EQ(quantise(-std::numeric_limits<float>::infinity(), 1.0f), -32768);
    EXPECT_EQ(quantise(0.5f, 2048.0f), 1024);
}

TEST(Quantiser, UnsaturatedMultiplierIsTheLargestThatStaysInRange) {
    std::mt19937 rng(12);
    const float inf = std::numeric_limits<float>::infinity();
    const float multipliers[] = {1.0f, 2048.0f, 4096.0f, 32768.0f, 1e6f, 3e38f, 1e-45f, 1e-30f};
    for (int i = 0; i < 20000; ++i) {
        // Peaks across many binades, the coarse coefficients' usual 1..20 most often.
        const float peak = i % 2 == 0 ? std::ldexp(static_cast<float>(rng() % 1000000 + 1) / 1e6f, int(rng() % 60) - 30)
                                      : 1.0f + static_cast<float>(rng() % 19000000) / 1e6f;
        const float m = i % 3 == 0 ? multipliers[rng() % 8] : static_cast<float>(rng() % 200000) / 3.0f + 1.0f;
        const float used = unsaturated_multiplier(peak, m);
        if (peak * m < 32768.0f) {
            EXPECT_EQ(std::bit_cast<std::uint32_t>(used), std::bit_cast<std::uint32_t>(m));
            continue;
        }
        ASSERT_GT(used, 0.0f) << peak << " " << m;
        EXPECT_LT(peak * used, 32768.0f) << peak << " " << m;
        EXPECT_GE(peak * std::nextafter(used, inf), 32768.0f) << peak << " " << m;
    }
    // Multipliers that are not finite and positive, and empty or flat signals, pass through.
    for (const float m : {0.0f, -0.0f, -5.0f, inf, -inf, std::numeric_limits<float>::quiet_NaN()}) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(unsaturated_multiplier(10.0f, m)), std::bit_cast<std::uint32_t>(m));
    }
    EXPECT_EQ(unsaturated_multiplier(0.0f, 1e30f), 1e30f);
}

// The dead zone compares the product in floats; the rule it keeps is on the
// truncated 16-bit magnitude.
TEST(DeadZone, ZeroesExactlyTheMagnitudesBelowTheThreshold) {
    std::mt19937 rng(7);
    const float special[] = {0.0f, -0.0f, 0.999999f, 1.0f, -1.0f, 2.0f, 20.999998f, 21.0f, -21.0f,
                             32767.0f, -32768.0f, 40000.0f, -1e30f, std::numeric_limits<float>::infinity(),
                             std::numeric_limits<float>::quiet_NaN()};
    std::vector<float> in(special, special + std::size(special));
    for (int i = 0; i < 20000; ++i) {
        // around whole numbers, and spread over the range
        const float whole = static_cast<float>(static_cast<int>(rng() % 64) - 32);
        in.push_back(i % 2 ? std::nextafter(whole, rng() % 2 ? 100.0f : -100.0f)
                           : std::ldexp(static_cast<float>(rng() % 2000001) / 1e6f - 1.0f, static_cast<int>(rng() % 18)));
    }
    std::vector<std::int16_t> out(in.size());
    for (const int threshold : {-1, 0, 1, 2, 3, 6, 7, 9, 14, 21, 40000}) {
        for (const float m : {1.0f, 0.37f, 1024.5f}) {
            quantise_band(in, m, threshold, out.data());
            for (std::size_t i = 0; i < in.size(); ++i) {
                const std::int16_t q = quantise(in[i], m);
                const int magnitude = q < 0 ? -static_cast<int>(q) : static_cast<int>(q);
                ASSERT_EQ(out[i], magnitude < threshold ? 0 : q) << in[i] << " " << m << " " << threshold;
            }
        }
    }
}

TEST(DeadZone, ThresholdsPerScaleAndCutoff) {
    const int expected[7][3] = {{0, 0, 0}, {0, 0, 0}, {1, 3, 7}, {1, 3, 7}, {2, 6, 14}, {2, 6, 14}, {3, 9, 21}};
    for (std::uint8_t scale = 6; scale <= 12; ++scale) {
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(dead_zone_threshold(scale, static_cast<Cutoff>(c)), expected[scale - 6][c]);
        }
    }
}

}  // namespace
}  // namespace corvane
