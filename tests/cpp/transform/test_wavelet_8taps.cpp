#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "wavelet/factory.hpp"
#include "wavelet/tap_tables.hpp"
#include "wavelet/wavelet8taps.hpp"

namespace corvane::wavelet {
namespace {

using Bits = std::vector<std::uint32_t>;

Bits bits_of(std::span<const float> v) {
    Bits out;
    for (const float f : v) out.push_back(std::bit_cast<std::uint32_t>(f));
    return out;
}

std::vector<float> ramp(std::size_t n) {
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<float>(i + 1);
    return x;
}

std::shared_ptr<DwtExecutor> bank(bool symlet) {
    return symlet ? make_symlet_f32(2, BorderMode::Periodic) : make_daubechies_f32(3, BorderMode::Periodic);
}

TEST(TapTables, RoundToTheCodecsSinglePrecisionTaps) {
    EXPECT_EQ(bits_of(DaubechiesFamily::get_wavelet(3)),
              (Bits{0x3E6BE829, 0x3F37002F, 0x3F218167, 0xBCE53E38, 0xBE3F860E, 0x3CFCA711, 0x3D06B056, 0xBC2DA0BA}));
    EXPECT_EQ(bits_of(SymletFamily::get_wavelet(2)),
              (Bits{0x3D03FC5F, 0xBC4E80DF, 0xBDCB339E, 0x3E9880D1, 0x3F4DC1D3, 0x3EFEC7E0, 0xBCF2C635, 0xBD9B2B0E}));
    EXPECT_TRUE(DaubechiesFamily::get_wavelet(2).empty());
    EXPECT_TRUE(SymletFamily::get_wavelet(3).empty());
}

// The stored values are orthonormal to about 5e-13, far below single precision.
TEST(TapTables, HoldOrthonormalScalingFilters) {
    for (const auto taps : {DaubechiesFamily::taps(3), SymletFamily::taps(2)}) {
        ASSERT_EQ(taps.size(), 8u);
        double sum = 0.0;
        for (const double t : taps) sum += t;
        EXPECT_NEAR(sum, std::sqrt(2.0), 1e-12);
        for (std::size_t shift = 0; shift < 8; shift += 2) {
            double dot = 0.0;
            for (std::size_t k = 0; k + shift < 8; ++k) dot += taps[k] * taps[k + shift];
            EXPECT_NEAR(dot, shift == 0 ? 1.0 : 0.0, 1e-12) << "shift " << shift;
        }
    }
}

TEST(Wavelet8Taps, DerivesHighPassByQuadratureMirror) {
    const Wavelet8Taps db4(BorderMode::Periodic, {0.23037781f, 0.71484655f, 0.6308808f, -0.02798377f, -0.18703482f,
                                                  0.030841382f, 0.03288301f, -0.010597402f});
    const std::vector<float> expected{-0.010597402f, -0.03288301f, 0.030841382f, 0.18703482f,
                                      -0.02798377f,  -0.6308808f,  0.71484655f,  -0.23037781f};
    EXPECT_EQ(bits_of(db4.high_pass()), bits_of(expected));
}

struct Worked {
    bool symlet;
    Bits approx;
    Bits details;
    Bits restored;
};

class EightTapRamp : public ::testing::TestWithParam<Worked> {};

TEST_P(EightTapRamp, ReproducesEveryBitForwardAndInverse) {
    const Worked& w = GetParam();
    const auto exec = bank(w.symlet);
    const auto level = exec->dwt(ramp(8), 1);
    ASSERT_TRUE(level.has_value());
    EXPECT_EQ(bits_of(level->approximations), w.approx);
    EXPECT_EQ(bits_of(level->details), w.details);
    const auto restored = exec->idwt(level->approximations, level->details);
    ASSERT_TRUE(restored.has_value());
    EXPECT_EQ(bits_of(*restored), w.restored);
}

INSTANTIATE_TEST_SUITE_P(
    Db4AndSym4, EightTapRamp,
    ::testing::Values(
        Worked{false,
               {0x40AF8EED, 0x411906D8, 0x40F238B5, 0x403581E8, 0x40AF8EED, 0x411906D8, 0x40F238B5},
               {0xC0780C49, 0x3FB294CE, 0xBEB21884, 0xB4000000, 0xC0780C49, 0x3FB294CE, 0xBEB21884},
               {0x3F800006, 0x3FFFFFFC, 0x403FFFFE, 0x40800000, 0x40A00000, 0x40C00000, 0x40E00000, 0x41000000}},
        Worked{true,
               {0x412C364D, 0x404B929F, 0x408D71D4, 0x40E2EE8C, 0x412C364D, 0x404B929F, 0x408D71D4},
               {0x3EB79C95, 0xC0345A27, 0xBEBCF300, 0xB4000000, 0x3EB79C95, 0xC0345A27, 0xBEBCF300},
               {0x3F800002, 0x40000000, 0x40400000, 0x40800001, 0x40A00002, 0x40C00002, 0x40E00003, 0x41000000}}),
    [](const auto& info) { return std::string(info.param.symlet ? "Sym4" : "Db4"); });

TEST(Wavelet8Taps, ConstantOnesGiveRootTwoAndNearZeroDetails) {
    const std::vector<float> ones(8, 1.0f);
    for (const bool symlet : {false, true}) {
        const auto exec = bank(symlet);
        const auto level = exec->dwt(ones, 0);
        ASSERT_TRUE(level.has_value());
        EXPECT_EQ(bits_of(level->approximations), Bits(7, 0x3FB504F3));
        for (const float d : level->details) EXPECT_NEAR(d, symlet ? -1.12e-8 : -1.49e-8, 0.01e-8);
        const auto restored = exec->idwt(level->approximations, level->details);
        ASSERT_TRUE(restored.has_value());
        const std::vector<float> expected =
            symlet ? std::vector<float>{1, 0.99999994f, 1, 0.99999994f, 1, 0.99999994f, 1, 0.99999994f} : ones;
        EXPECT_EQ(bits_of(*restored), bits_of(expected)) << (symlet ? "sym4" : "db4");
    }
}

TEST(Wavelet8Taps, OddLengthReconstructsOneExtraPeriodicSample) {
    const auto exec = bank(false);
    const auto level = exec->dwt(ramp(9), 1);
    ASSERT_TRUE(level.has_value());
    EXPECT_EQ(level->approximations.size(), 8u);
    const auto restored = exec->idwt(level->approximations, level->details);
    ASSERT_TRUE(restored.has_value());
    ASSERT_EQ(restored->size(), 10u);
    for (std::size_t i = 0; i < 9; ++i) EXPECT_NEAR((*restored)[i], static_cast<float>(i + 1), 2e-6f);
    EXPECT_NEAR(restored->back(), 1.0f, 2e-6f);
}

TEST(Wavelet8Taps, ChecksLengthsBeforeWriting) {
    const auto exec = bank(false);
    std::vector<float> a(8, -1.0f), d(8, -1.0f), short_a(7, -1.0f);
    EXPECT_EQ(exec->execute_forward(ramp(7), a, d).error().message(), "Input size 7 can't be less than 8");
    EXPECT_EQ(exec->execute_forward(ramp(9), short_a, d).error().message(),
              "Approximation and details expected to be half of original signal length but it was 7");
    EXPECT_EQ(exec->execute_forward(ramp(9), a, short_a).error().message(),
              "Approximation and details expected to be half of original signal length but it was 7");
    EXPECT_EQ(a, std::vector<float>(8, -1.0f));
    std::vector<float> y(9, 0.0f);
    EXPECT_EQ(exec->execute_inverse(a, short_a, y).error().message(),
              "Approx and details must match, but they don't 8x7");
    EXPECT_EQ(exec->execute_inverse(a, d, y).error().message(), "Output size should be 9, but it was 10");
}

TEST(Wavelet8Taps, InverseAddsIntoTheOutput) {
    const auto exec = bank(true);
    const auto level = exec->dwt(ramp(10), 1);
    ASSERT_TRUE(level.has_value());
    std::vector<float> zero(10, 0.0f), biased(10, 1000.0f);
    ASSERT_TRUE(exec->execute_inverse(level->approximations, level->details, zero).has_value());
    ASSERT_TRUE(exec->execute_inverse(level->approximations, level->details, biased).has_value());
    for (std::size_t i = 0; i < 10; ++i) EXPECT_NEAR(biased[i], zero[i] + 1000.0f, 1e-3f);
    EXPECT_NE(bits_of(biased), bits_of(zero));
}

TEST(Wavelet8Taps, TooShortApproximationsReconstructNothing) {
    const auto exec = bank(false);
    EXPECT_EQ(exec->idwt_size(2, 2), 0u);
    const std::vector<float> two(2, 1.0f);
    const auto r = exec->idwt(two, two);
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(r->empty());
}

// The forward level, computed independently: odd-position samples of the full
// double-precision convolution of the periodic extension with the time-reversed
// (analysis) filters. Agreement to single-precision rounding fixes alignment,
// tap order and the high-pass signs.
TEST(Wavelet8Taps, AgreesWithADoublePrecisionPeriodicConvolution) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    for (const bool symlet : {false, true}) {
        const auto exec = bank(symlet);
        const std::vector<float> h = symlet ? SymletFamily::get_wavelet(2) : DaubechiesFamily::get_wavelet(3);
        for (const std::size_t n : {8u, 9u, 10u, 17u, 64u, 257u}) {
            std::vector<float> x(n);
            for (auto& v : x) v = sample(rng);
            const auto level = exec->dwt(x, 1);
            ASSERT_TRUE(level.has_value());
            const auto ext = [&](long j) { return static_cast<double>(x[static_cast<std::size_t>(((j % long(n)) + long(n)) % long(n))]); };
            for (std::size_t i = 0; i < level->approximations.size(); ++i) {
                double a = 0.0, d = 0.0;
                for (long j = 0; j < 8; ++j) {
                    const double hd = h[static_cast<std::size_t>(7 - j)];
                    // g[m] = (-1)^m h[7-m], so gd[j] = g[7-j] = (-1)^(7-j) h[j].
                    const double gd = ((7 - j) % 2 == 0 ? 1.0 : -1.0) * h[static_cast<std::size_t>(j)];
                    const double xv = ext(static_cast<long>(2 * i + 1) - j);
                    a += hd * xv;
                    d += gd * xv;
                }
                EXPECT_NEAR(level->approximations[i], a, 2e-6) << n << " " << i;
                EXPECT_NEAR(level->details[i], d, 2e-6) << n << " " << i;
            }
        }
    }
}

// Every mode reconstructs its own extended signal on the output positions.
TEST(Wavelet8Taps, EveryBorderModeInvertsOnEvenLengths) {
    const auto x = ramp(12);
    for (const auto mode : {BorderMode::Clamp, BorderMode::Periodic, BorderMode::Symmetric, BorderMode::Reflect,
                            BorderMode::Zero}) {
        const auto exec = make_daubechies_f32(3, mode);
        const auto level = exec->dwt(x, 1);
        ASSERT_TRUE(level.has_value());
        const auto restored = exec->idwt(level->approximations, level->details);
        ASSERT_TRUE(restored.has_value());
        ASSERT_EQ(restored->size(), x.size());
        for (std::size_t i = 0; i < x.size(); ++i) EXPECT_NEAR((*restored)[i], x[i], 1e-5f);
    }
}

}  // namespace
}  // namespace corvane::wavelet
