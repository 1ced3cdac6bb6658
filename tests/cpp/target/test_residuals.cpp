// The refinement's residuals through their coder: whatever the encoder codes
// decodes back, applied to samples exactly as the correction rule says, and
// coded bytes cut short anywhere are refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "src/refine/correction.hpp"
#include "src/refine/residuals.hpp"
#include "tests/cpp/case_name.hpp"

namespace corvane::refine {
namespace {

struct Case {
    std::string name;
    std::vector<std::int32_t> q;
    Predictor p;
};

// Residuals as refinements make them: long quiet stretches with a few +-1,
// dense small values, wide noise, and the extremes (the largest magnitudes,
// escaped samples, jumps the prediction overshoots), with and without a
// prediction.
std::vector<Case> cases() {
    std::mt19937 rng(3);
    auto make = [&](std::size_t n, auto&& draw) {
        std::vector<std::int32_t> q(n);
        for (auto& v : q) v = draw();
        return q;
    };
    std::uniform_int_distribution<int> die(0, 999);
    std::normal_distribution<double> wide(0.0, 40.0);
    const auto quiet = make(20000, [&] { const int d = die(rng); return d < 5 ? 1 : d < 10 ? -1 : 0; });
    const auto dense = make(5000, [&] { return die(rng) % 5 - 2; });
    const auto noisy = make(5000, [&] { return static_cast<std::int32_t>(std::lround(wide(rng))); });
    const auto extreme = make(3000, [&] {
        const int d = die(rng);
        return d < 100 ? kFree : d < 200 ? kLargestResidual : d < 300 ? -kLargestResidual : d < 400 ? (1 << 20) : d % 3 - 1;
    });
    std::vector<Case> out;
    for (const auto& [name, q] : {std::pair{"quiet", quiet}, {"dense", dense}, {"noisy", noisy}, {"extreme", extreme},
                                  {"one", std::vector<std::int32_t>{7}}}) {
        out.push_back({std::string(name) + "_unpredicted", q, {}});
        out.push_back({std::string(name) + "_fitted", q, fit_predictor(q)});
        out.push_back({std::string(name) + "_steep", q, {127, -128}});
    }
    return out;
}

// What a residual coded as kFree decodes to: its prediction, as documented.
std::int32_t prediction(Predictor p, std::int32_t q1, std::int32_t q2) {
    const std::int64_t v = (std::int64_t{p.a} * q1 + std::int64_t{p.b} * q2 + 16) >> 5;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, -kLargestResidual, kLargestResidual));
}

class Residuals : public ::testing::TestWithParam<Case> {};

TEST_P(Residuals, DecodeToWhatWasCodedAndCorrectSamplesByTheRule) {
    const Case& c = GetParam();
    const std::vector<std::uint8_t> coded = encode_residuals(c.q, c.p);
    std::vector<std::int32_t> q(c.q.size());
    ASSERT_TRUE(decode_residuals(coded, c.p, q));
    for (std::size_t i = 0; i < q.size(); ++i) {
        const std::int32_t want = c.q[i] != kFree ? c.q[i]
                                                  : prediction(c.p, i > 0 ? q[i - 1] : 0, i > 1 ? q[i - 2] : 0);
        ASSERT_EQ(q[i], want) << i;
    }
    std::mt19937 rng(5);
    std::normal_distribution<float> base(0.0f, 300.0f);
    for (const Correction fix : {Correction{Kind::Float, 0.0137f}, Correction{Kind::Integer, 5.0f}}) {
        std::vector<float> y(q.size());
        for (auto& v : y) v = base(rng);
        std::vector<float> z = y;
        ASSERT_TRUE(correct_samples(coded, c.p, fix, z));
        for (std::size_t i = 0; i < z.size(); ++i) {
            const float want = corrected(fix.kind, y[i], q[i], fix.step);
            ASSERT_EQ(std::bit_cast<std::uint32_t>(z[i]), std::bit_cast<std::uint32_t>(want)) << i;
        }
    }
    // Cut anywhere (densely near the end, where the decoder checks every word).
    for (std::size_t cut = 0; cut < coded.size(); cut += cut + 300 < coded.size() ? 97 : 1) {
        const std::span<const std::uint8_t> part(coded.data(), cut);
        std::vector<float> z(q.size());
        EXPECT_FALSE(decode_residuals(part, c.p, q)) << cut;
        EXPECT_FALSE(correct_samples(part, c.p, {Kind::Float, 1.0f}, z)) << cut;
    }
}

INSTANTIATE_TEST_SUITE_P(Coded, Residuals, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return testing_support::case_name(info.param.name); });

}  // namespace
}  // namespace corvane::refine
