// The refinement's residuals through their coder: whatever the encoder codes
// decodes back, applied to samples exactly as the correction rule says, and
// coded bytes cut short anywhere are refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "src/refine/correction.hpp"
#include "src/refine/residuals.hpp"
#include "src/refine/tabled.hpp"
#include "tests/cpp/case_name.hpp"

namespace corvane::refine {
namespace {

struct Case {
    std::string name;
    std::vector<std::int32_t> q;
    Predictor p;
    LongPredictor lp;  // in place of p when its order is not 0
    MissCode code = MissCode::Adaptive;  // how lp's misses are coded
};

// Residuals as refinements make them: long quiet stretches with a few +-1,
// dense small values, wide noise, the extremes (the largest magnitudes,
// escaped samples, jumps the prediction overshoots) and a smooth wandering
// signal kept exactly, with and without a prediction, short or long (the
// long one fitted, and the steepest weights at the longest order).
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
    double phase = 0.0;
    const auto smooth = make(6000, [&] {
        phase += 0.01;
        return static_cast<std::int32_t>(std::lround(3000.0 * std::sin(phase) + 800.0 * std::sin(7.3 * phase) + wide(rng) / 8.0));
    });
    LongPredictor steep{kLongestOrder, 0, {}};
    for (std::size_t j = 0; j < kLongestOrder; ++j) steep.weights[j] = j % 2 == 0 ? 32767 : -32768;
    LongPredictor fine = steep;
    fine.shift = kLargestShift;
    // (two weights written as a long predictor, as chunks of many residuals
    // code theirs tabled: the orders up to four are followed in integers)
    const LongPredictor two{2, 5, {127, -128}};
    std::vector<Case> out;
    for (const auto& [name, q] : {std::pair{"quiet", quiet}, {"dense", dense}, {"noisy", noisy}, {"extreme", extreme},
                                  {"smooth", smooth}, {"one", std::vector<std::int32_t>{7}}}) {
        out.push_back({std::string(name) + "_unpredicted", q, {}, {}});
        out.push_back({std::string(name) + "_fitted", q, fit_predictor(q), {}});
        out.push_back({std::string(name) + "_steep", q, {127, -128}, {}});
        for (const MissCode code : {MissCode::Adaptive, MissCode::Tabled}) {
            const std::string coded = code == MissCode::Tabled ? "_tabled" : "";
            out.push_back({std::string(name) + "_long_steep" + coded, q, {}, steep, code});
            out.push_back({std::string(name) + "_long_fine" + coded, q, {}, fine, code});
            out.push_back({std::string(name) + "_two_as_long" + coded, q, {}, two, code});
        }
    }
    const LongPredictor fitted = fit_long(smooth, smooth.size(), nullptr);
    EXPECT_GT(fitted.order, 2);
    out.push_back({"smooth_long_fitted", smooth, {}, fitted});
    out.push_back({"smooth_long_fitted_tabled", smooth, {}, fitted, MissCode::Tabled});
    return out;
}

// What a residual coded as kFree decodes to: its prediction, as documented.
std::int32_t prediction(Predictor p, std::int32_t q1, std::int32_t q2) {
    const std::int64_t v = (std::int64_t{p.a} * q1 + std::int64_t{p.b} * q2 + 16) >> 5;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, -kLargestResidual, kLargestResidual));
}

// The same for a long predictor, summed in integers.
std::int32_t prediction(const LongPredictor& lp, std::span<const std::int32_t> before) {
    std::int64_t sum = 0;
    for (std::size_t j = 0; j < lp.order && j < before.size(); ++j) sum += std::int64_t{lp.weights[j]} * before[before.size() - 1 - j];
    const std::int64_t v = (sum + ((std::int64_t{1} << lp.shift) >> 1)) >> lp.shift;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, -kLargestResidual, kLargestResidual));
}

class Residuals : public ::testing::TestWithParam<Case> {};

TEST_P(Residuals, DecodeToWhatWasCodedAndCorrectSamplesByTheRule) {
    const Case& c = GetParam();
    const bool long_predicted = c.lp.order > 0;
    // (a long predictor's misses are coded as residuals without a prediction)
    std::vector<std::int32_t> misses(c.q.size());
    if (long_predicted) long_misses(c.q, c.q.size(), c.lp, misses);
    const std::vector<std::uint8_t> coded = !long_predicted              ? encode_residuals(c.q, c.p)
                                            : c.code == MissCode::Tabled ? encode_tabled(misses)
                                                                         : encode_residuals(misses, {});
    auto decode = [&](std::span<const std::uint8_t> bytes, std::span<std::int32_t> out) {
        return long_predicted ? decode_residuals(bytes, c.lp, c.code, out) : decode_residuals(bytes, c.p, out);
    };
    auto correct = [&](std::span<const std::uint8_t> bytes, Correction fix, std::span<float> out) {
        return long_predicted ? correct_samples(bytes, c.lp, c.code, fix, out) : correct_samples(bytes, c.p, fix, out);
    };
    std::vector<std::int32_t> q(c.q.size());
    ASSERT_TRUE(decode(coded, q));
    for (std::size_t i = 0; i < q.size(); ++i) {
        const std::int32_t want = c.q[i] != kFree ? c.q[i]
                                  : long_predicted ? prediction(c.lp, std::span(q).first(i))
                                                   : prediction(c.p, i > 0 ? q[i - 1] : 0, i > 1 ? q[i - 2] : 0);
        ASSERT_EQ(q[i], want) << i;
        if (long_predicted) {
            ASSERT_EQ(misses[i], q[i] - prediction(c.lp, std::span(q).first(i))) << i;
        }
    }
    std::mt19937 rng(5);
    std::normal_distribution<float> base(0.0f, 300.0f);
    for (const Correction fix : {Correction{Kind::Float, 0.0137f}, Correction{Kind::Integer, 5.0f}}) {
        std::vector<float> y(q.size());
        for (auto& v : y) v = base(rng);
        std::vector<float> z = y;
        ASSERT_TRUE(correct(coded, fix, z));
        for (std::size_t i = 0; i < z.size(); ++i) {
            const float want = corrected(fix.kind, y[i], q[i], fix.step);
            ASSERT_EQ(std::bit_cast<std::uint32_t>(z[i]), std::bit_cast<std::uint32_t>(want)) << i;
        }
    }
    // The tables foretell what they take, which chooses between the codes:
    // within a few bytes of the coded misses.
    if (long_predicted && c.code == MissCode::Tabled) {
        const double foretold = TabledMisses(misses).bits() / 8.0;
        EXPECT_NEAR(foretold, static_cast<double>(coded.size()), 16.0);
    }
    // Cut anywhere (densely near the end, where the decoder checks every word).
    for (std::size_t cut = 0; cut < coded.size(); cut += cut + 300 < coded.size() ? 97 : 1) {
        const std::span<const std::uint8_t> part(coded.data(), cut);
        std::vector<float> z(q.size());
        EXPECT_FALSE(decode(part, q)) << cut;
        EXPECT_FALSE(correct(part, {Kind::Float, 1.0f}, z)) << cut;
    }
}

INSTANTIATE_TEST_SUITE_P(Coded, Residuals, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return testing_support::case_name(info.param.name); });

// Counts stored exactly leave residuals that are the samples themselves, far
// from 0 and wandering: the predictor judged from a sample of blocks must
// code the whole about as well as the best of the weights around the one
// fitted to all of it, and the bits predicted from that sample must come
// close to what the coder takes.
TEST(ResidualPredictor, FromBlocksCodesLongWanderingCountsNearTheBest) {
    for (const std::uint32_t seed : {1u, 2u, 3u}) {
        std::mt19937 rng(seed);
        std::normal_distribution<double> noise(0.0, 3.0);
        std::uniform_real_distribution<double> period(90.0, 120.0);
        std::vector<std::int32_t> q(65536);
        double phase = 0.0, step = 1.0 / period(rng);
        for (std::size_t i = 0; i < q.size(); ++i) {
            phase += step;
            if (phase >= 1.0) phase -= 1.0, step = 1.0 / period(rng);
            const double beat = 900.0 * std::exp(-std::pow((phase - 0.2) / 0.08, 2.0)) +
                                400.0 * std::exp(-std::pow((phase - 0.45) / 0.1, 2.0));
            q[i] = static_cast<std::int32_t>(std::lround(2048.0 + 150.0 * std::sin(static_cast<double>(i) / 900.0) +
                                                         beat + noise(rng)));
        }
        const Fitted fitted = predictor_for(q);
        const Predictor chosen = fitted.p, whole = fit_predictor(q);
        ASSERT_EQ(fitted.lp.order, 0) << seed;
        const std::size_t size = encode_residuals(q, chosen).size();
        std::size_t best = size;
        for (int a = whole.a - 6; a <= whole.a + 6; a += 2) {
            for (int b = whole.b - 6; b <= whole.b + 6; b += 2) {
                const Predictor p{static_cast<std::int8_t>(std::clamp(a, -128, 127)),
                                  static_cast<std::int8_t>(std::clamp(b, -128, 127))};
                best = std::min(best, encode_residuals(q, p).size());
            }
        }
        EXPECT_LE(static_cast<double>(size), 1.005 * static_cast<double>(best)) << seed;
        const Sampling s = sampling_for(q.size());
        std::vector<std::int32_t> sample;
        for (std::size_t at = 0; at < q.size(); at += s.stride) sample.insert(sample.end(), q.begin() + static_cast<std::ptrdiff_t>(at), q.begin() + static_cast<std::ptrdiff_t>(std::min(q.size(), at + s.block)));
        const double predicted = residual_bits(sample, q.size(), chosen) / 8.0;
        EXPECT_NEAR(predicted / static_cast<double>(size), 1.0, 0.05) << seed;
    }
}

// Where a long predictor is weighed, the predictor chosen codes the
// residuals in about as few bytes as the better of the short choice and the
// long fit: the long fit's bits are counted on the scale of the short one's
// (smooth waves with noise from a tenth of a count to a hundred, long and
// short enough that blocks are sampled or taken whole).
TEST(ResidualPredictor, TheLongPredictorIsChosenWhereItCodesFewerBytes) {
    std::mt19937 rng(11);
    std::normal_distribution<double> normal(0.0, 1.0);
    int chosen_long = 0;
    for (const double noise : {0.1, 0.3, 1.0, 3.0, 10.0, 30.0, 100.0}) {
        for (const std::size_t n : {std::size_t{2048}, std::size_t{40000}}) {
            std::vector<std::int32_t> q(n);
            double walk = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                walk += normal(rng);
                const double t = static_cast<double>(i);
                q[i] = static_cast<std::int32_t>(std::lround(2000.0 * std::sin(t / 150.0) + 400.0 * std::sin(t / 9.0) +
                                                             walk + noise * normal(rng)));
            }
            const Fitted short_only = predictor_for(q, nullptr, false), either = predictor_for(q, nullptr, true);
            const std::size_t short_size = encode_residuals(q, short_only.p).size();
            // (the long fit itself, from the blocks predictor_for() samples)
            const Sampling sampling = sampling_for(n);
            std::vector<std::int32_t> sample;
            for (std::size_t at = 0; at < n; at += sampling.stride)
                sample.insert(sample.end(), q.begin() + static_cast<std::ptrdiff_t>(at),
                              q.begin() + static_cast<std::ptrdiff_t>(std::min(n, at + sampling.block)));
            const LongPredictor fit = fit_long(sample, sampling.block, nullptr);
            if (fit.order == 0) continue;
            std::vector<std::int32_t> misses(n);
            long_misses(q, n, fit, misses);
            const double long_size = static_cast<double>(encode_residuals(misses, {}).size() + 2 * fit.order);
            const double chosen = either.lp.order > 0 ? long_size : static_cast<double>(short_size);
            EXPECT_LE(chosen, 1.01 * std::min(long_size, static_cast<double>(short_size))) << noise << " " << n;
            chosen_long += either.lp.order > 0 ? 1 : 0;
        }
    }
    EXPECT_GT(chosen_long, 0);
}

// Residuals about an offset with rare large spikes (an empty base under
// noise at a level far from the mean, which the spikes pull away): least
// squares, swayed by the spikes, predicts next to nothing, yet each residual
// lies much closer to the one before. The one before predicts them, in
// fewer bytes than no prediction at every step the offset falls at (where
// no prediction's cost jumps about with the offset's binary form).
TEST(ResidualPredictor, ResidualsAboutAnOffsetArePredictedFromTheOneBefore) {
    std::mt19937 rng(4);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::uniform_int_distribution<int> die(0, 99);
    for (const double offset : {-250.0, -500.0, -520.0, -1000.0, 3000.0}) {
        std::vector<std::int32_t> q(1148);
        for (auto& v : q) v = static_cast<std::int32_t>(std::lround(offset + 10.0 * noise(rng) + (die(rng) == 0 ? 50000.0 : 0.0)));
        const Fitted fitted = predictor_for(q);
        EXPECT_EQ(fitted.p.a, kPrevious.a) << offset;
        EXPECT_EQ(fitted.p.b, kPrevious.b) << offset;
        EXPECT_LT(encode_residuals(q, fitted.p).size(), encode_residuals(q, {}).size()) << offset;
    }
    // Noise about 0 is not: no residual is closer to the one before as a rule.
    std::vector<std::int32_t> q(4096);
    for (auto& v : q) v = static_cast<std::int32_t>(std::lround(10.0 * noise(rng)));
    EXPECT_FALSE(follows_previous(q, q.size()));
}

}  // namespace
}  // namespace corvane::refine
