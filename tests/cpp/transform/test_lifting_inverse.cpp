// The inverse lifting level against the transform as written down: working
// copies of both halves, the unscaling, the steps undone one at a time from
// the last, then the merge. Every length from the shortest up, odd ones
// (A = D + 1) included, with infinities, huge and subnormal values mixed in.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "wavelet/factory.hpp"

namespace corvane::wavelet {
namespace {

float bits(std::uint32_t b) { return std::bit_cast<float>(b); }

void undo_update(std::vector<float>& s, const std::vector<float>& d, float c) {
    const std::size_t a = s.size(), n = d.size();
    s[0] = s[0] + c * (d[0] + d[0]);
    for (std::size_t k = 0; k < std::min(a - 2, n - 1); ++k) s[k + 1] = s[k + 1] + c * (d[k] + d[k + 1]);
    s[a - 1] = s[a - 1] + c * (d[a - 2] + d[n - 1]);
}

void undo_predict(std::vector<float>& d, const std::vector<float>& s, float c) {
    for (std::size_t i = 0; i < d.size(); ++i) d[i] = d[i] + c * (s[i] + (i + 1 < s.size() ? s[i + 1] : s.back()));
}

std::vector<float> reference_inverse(bool cdf97, std::vector<float> s, std::vector<float> d) {
    if (cdf97) {
        for (float& v : s) v = v * bits(0x3F5EAF70u);
        for (float& v : d) v = v * bits(0x3F93263Du);
        undo_update(s, d, -bits(0x3EE31355u));
        undo_predict(d, s, -bits(0x3F620676u));
        undo_update(s, d, -bits(0xBD5901AEu));
        undo_predict(d, s, -bits(0xBFCB0673u));
    } else {
        undo_update(s, d, -0.25f);
        undo_predict(d, s, 0.5f);
    }
    std::vector<float> x(s.size() + d.size());
    for (std::size_t j = 0; j < s.size(); ++j) x[2 * j] = s[j];
    for (std::size_t i = 0; i < d.size(); ++i) x[2 * i + 1] = d[i];
    return x;
}

std::vector<std::uint32_t> bits_of(const std::vector<float>& v) {
    std::vector<std::uint32_t> out;
    for (const float f : v) out.push_back(std::bit_cast<std::uint32_t>(f));
    return out;
}

class LiftingInverse : public ::testing::TestWithParam<bool> {};

TEST_P(LiftingInverse, MatchesTheStepsOneAtATimeAndLeavesItsInputsAlone) {
    const bool cdf97 = GetParam();
    const auto exec = cdf97 ? make_cdf97_f32() : make_cdf53_f32();
    std::mt19937 rng(cdf97 ? 97 : 53);
    std::normal_distribution<float> normal(0.0f, 100.0f);
    const float extremes[] = {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                              3.0e38f, -3.0e38f, bits(0x00000003u), -0.0f};
    const auto value = [&] { return rng() % 64 == 0 ? extremes[rng() % std::size(extremes)] : normal(rng); };
    std::vector<std::size_t> lengths;
    for (std::size_t n = cdf97 ? 4 : 3; n < 300; ++n) lengths.push_back(n);
    for (std::size_t n = 2040; n < 2090; ++n) lengths.push_back(n);  // around the sizes work is split at
    for (const std::size_t n : {4096u, 4097u, 65537u}) lengths.push_back(n);
    for (const std::size_t n : lengths) {
        std::vector<float> a(n - n / 2), d(n / 2);
        for (float& v : a) v = value();
        for (float& v : d) v = value();
        const auto a_before = bits_of(a), d_before = bits_of(d);
        const auto want = bits_of(reference_inverse(cdf97, a, d));
        std::vector<float> y(n, -7.0f);
        ASSERT_TRUE(exec->execute_inverse(a, d, y).has_value()) << n;
        ASSERT_EQ(bits_of(y), want) << n;
        ASSERT_EQ(bits_of(a), a_before) << n;
        ASSERT_EQ(bits_of(d), d_before) << n;
        std::vector<float> z(n, -7.0f);
        ASSERT_TRUE(exec->execute_inverse_consuming(a, d, z).has_value()) << n;
        ASSERT_EQ(bits_of(z), want) << n;
    }
}

INSTANTIATE_TEST_SUITE_P(Transforms, LiftingInverse, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "Cdf97" : "Cdf53"); });

}  // namespace
}  // namespace corvane::wavelet
