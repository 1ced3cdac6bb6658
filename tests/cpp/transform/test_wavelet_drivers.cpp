#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "src/format/bands.hpp"
#include "wavelet/factory.hpp"

namespace corvane::wavelet {
namespace {

using Method = Transform;

std::shared_ptr<DwtExecutor> make(Method m) { return make_executor(m); }

const char* name_of(Method m) {
    static const char* const kNames[] = {"Cdf53", "Cdf97", "Db4", "Sym4"};
    return kNames[static_cast<int>(m)];
}

std::string levels_name(std::size_t levels) { return levels == SIZE_MAX ? "runaway" : std::to_string(levels); }

std::vector<float> random_signal(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    std::vector<float> x(n);
    for (auto& v : x) v = sample(rng);
    return x;
}

std::vector<DwtSize> sizes_of(const MultiDwt& m) {
    std::vector<DwtSize> out;
    for (const auto& level : m.levels) out.push_back({level.approximations.size(), level.details.size()});
    return out;
}

struct LayoutCase {
    Method method;
    std::size_t n, levels;
    std::vector<DwtSize> sizes;
};

class WorkedLayouts : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(WorkedLayouts, MultiDwtProducesTheDecompositionLayout) {
    const LayoutCase& c = GetParam();
    const auto exec = make(c.method);
    const auto result = exec->multi_dwt(random_signal(c.n, 1), c.levels);
    ASSERT_TRUE(result.has_value()) << result.error().message();
    EXPECT_EQ(sizes_of(*result), c.sizes);
    EXPECT_EQ(decomposition_layout(*exec, c.n, c.levels), c.sizes);
}

INSTANTIATE_TEST_SUITE_P(
    EightTapAndCdf97, WorkedLayouts,
    ::testing::Values(LayoutCase{Method::Db4, 100, 3, {{53, 53}, {30, 30}, {18, 18}}},
                      LayoutCase{Method::Sym4, 101, 3, {{54, 54}, {30, 30}, {18, 18}}},
                      LayoutCase{Method::Db4, 80, 3, {{43, 43}, {25, 25}, {16, 16}}},
                      LayoutCase{Method::Sym4, 16, 2, {{11, 11}, {9, 9}}},
                      LayoutCase{Method::Cdf97, 100, 6, {{50, 50}, {25, 25}, {13, 12}, {7, 6}, {4, 3}, {2, 2}}},
                      LayoutCase{Method::Cdf97, 1000, 6, {{500, 500}, {250, 250}, {125, 125}, {63, 62}, {32, 31}, {16, 16}}},
                      LayoutCase{Method::Cdf53, 7, 2, {{4, 3}, {2, 2}}},
                      LayoutCase{Method::Cdf97, 9, 0, {{5, 4}}}),
    [](const auto& info) {
        const LayoutCase& c = info.param;
        return std::string(name_of(c.method)) + "_" + std::to_string(c.n) + "_samples_" + levels_name(c.levels) + "_levels";
    });

TEST(EightTapDriver, InverseLengthsFollowTheLayout) {
    const auto exec = make(Method::Db4);
    for (const std::size_t n : {100u, 101u}) {
        const auto x = random_signal(n, 2);
        const auto m = exec->multi_dwt(x, 3);
        ASSERT_TRUE(m.has_value());
        std::vector<std::span<const float>> details;
        for (const auto& level : m->levels) details.emplace_back(level.details);
        const auto coarsest = exec->idwt(m->levels[2].approximations, m->levels[2].details);
        ASSERT_TRUE(coarsest.has_value());
        EXPECT_EQ(coarsest->size(), 30u);
        const auto r = exec->multi_idwt({details, m->levels.back().approximations});
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(r->size(), n == 100 ? 100u : 102u);
    }
}

struct DriverError {
    Method method;
    std::size_t n, levels;
    bool multi;
    std::string message;
};

class DriverErrors : public ::testing::TestWithParam<DriverError> {};

TEST_P(DriverErrors, FailWithTheirMessage) {
    const DriverError& c = GetParam();
    const auto exec = make(c.method);
    const auto x = random_signal(c.n, 3);
    if (c.multi) {
        const auto r = exec->multi_dwt(x, c.levels);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().message(), c.message);
    } else {
        const auto r = exec->dwt(x, c.levels);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().message(), c.message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Messages, DriverErrors,
    ::testing::Values(DriverError{Method::Db4, 8, 2, true, "Buffer was too small for provided level"},
                      DriverError{Method::Db4, 7, 1, true, "Input size 7 can't be less than 8"},
                      DriverError{Method::Sym4, 7, 0, false, "Input size 7 can't be less than 8"},
                      DriverError{Method::Db4, 9, 3, false, "Buffer was too small for provided level"},
                      DriverError{Method::Cdf97, 100, 7, true, "Buffer was too small for provided level"},
                      DriverError{Method::Cdf97, 3, 1, true, "Buffer was too small for provided level"},
                      DriverError{Method::Cdf53, 2, 0, false, "Buffer was too small for provided level"},
                      DriverError{Method::Cdf53, 5, 3, false, "Buffer was too small for provided level"},
                      // A runaway level count stops at the first level too short, without
                      // reserving room for every level asked for.
                      DriverError{Method::Sym4, 1000, SIZE_MAX, true, "Buffer was too small for provided level"},
                      DriverError{Method::Cdf97, 1000, SIZE_MAX, true, "Buffer was too small for provided level"}),
    [](const auto& info) {
        const DriverError& c = info.param;
        return std::string(name_of(c.method)) + "_" + std::to_string(c.n) + "_samples_" +
               (c.multi ? "multi_dwt_" : "dwt_level_") + levels_name(c.levels);
    });

TEST(EightTapDriver, LevelTwoOfNineSamples) {
    const auto r = make(Method::Db4)->dwt(random_signal(9, 4), 2);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->approximations.size(), 7u);
    EXPECT_EQ(r->details.size(), 7u);
}

std::string method_name(const ::testing::TestParamInfo<Method>& info) { return name_of(info.param); }

class EveryMethod : public ::testing::TestWithParam<Method> {};

TEST_P(EveryMethod, DwtToALevelEqualsThatEntryOfMultiDwt) {
    const auto exec = make(GetParam());
    const auto x = random_signal(301, 5);
    const auto multi = exec->multi_dwt(x, 3);
    const auto single = exec->dwt(x, 3);
    ASSERT_TRUE(multi.has_value() && single.has_value());
    EXPECT_EQ(single->approximations, multi->levels[2].approximations);
    EXPECT_EQ(single->details, multi->levels[2].details);
    const auto zero = exec->multi_dwt(x, 0);
    const auto one = exec->multi_dwt(x, 1);
    ASSERT_TRUE(zero.has_value() && one.has_value());
    ASSERT_EQ(zero->levels.size(), 1u);
    EXPECT_EQ(zero->levels[0].details, one->levels[0].details);
    EXPECT_EQ(exec->dwt(x, 0)->approximations, one->levels[0].approximations);
}

TEST_P(EveryMethod, MultiIdwtRejectsEmptyInput) {
    const auto exec = make(GetParam());
    const std::vector<float> approx(8, 1.0f);
    const std::vector<std::span<const float>> none;
    EXPECT_EQ(exec->multi_idwt({none, approx}).error().message(), "Zero sized input is not supported");
    const std::vector<std::span<const float>> one{std::span<const float>(approx)};
    EXPECT_EQ(exec->multi_idwt({one, {}}).error().message(), "Zero sized input is not supported");
}

// Random signals at the codec's level choice reconstruct to within rounding.
// Short signals are periodically padded to filter_length first, as the codec does.
TEST_P(EveryMethod, RoundTripsAtTheCodecsLevelChoice) {
    const auto exec = make(GetParam());
    std::mt19937 rng(11);
    std::uniform_int_distribution<std::size_t> length(4, 5000);
    std::vector<std::size_t> lengths{4, 5, 6, 7, 8, 9, 10, 11, 19, 20, 39, 40, 59, 60, 79, 80, 81, 5000};
    for (int i = 0; i < 150; ++i) lengths.push_back(length(rng));
    double worst = 0.0;
    for (const std::size_t n : lengths) {
        auto x = random_signal(n, static_cast<std::uint32_t>(n));
        const std::size_t f = exec->filter_length();
        for (std::size_t i = n; i < f; ++i) x.push_back(x[i - n]);
        const std::size_t levels = corvane::pick_levels(n, static_cast<corvane::Method>(GetParam()));
        const auto m = exec->multi_dwt(x, levels);
        ASSERT_TRUE(m.has_value()) << n << ": " << m.error().message();
        std::vector<std::span<const float>> details;
        for (const auto& level : m->levels) details.emplace_back(level.details);
        const auto r = exec->multi_idwt({details, m->levels.back().approximations});
        ASSERT_TRUE(r.has_value()) << n << ": " << r.error().message();
        ASSERT_GE(r->size(), n);
        for (std::size_t i = 0; i < n; ++i) worst = std::max(worst, std::fabs(double((*r)[i]) - double(x[i])));
    }
    EXPECT_LT(worst, 1e-5);
    RecordProperty("largest_error", std::to_string(worst));
    std::printf("largest reconstruction error: %.3g\n", worst);
}

INSTANTIATE_TEST_SUITE_P(AllFour, EveryMethod, ::testing::Values(Method::Cdf53, Method::Cdf97, Method::Db4, Method::Sym4),
                         method_name);

TEST(EightTapDriver, MultiIdwtRejectsAReconstructionShorterThanTheNextDetails) {
    const auto exec = make(Method::Db4);
    const std::vector<float> fine(20, 0.0f), coarse(8, 0.0f);
    const std::vector<std::span<const float>> details{fine, coarse};
    EXPECT_EQ(exec->multi_idwt({details, coarse}).error().message(),
              "Approx and details must match, but they don't 10x20");
    const std::vector<float> five(5, 0.0f), four(4, 0.0f);
    EXPECT_EQ(exec->idwt(five, four).error().message(), "Approx and details must match, but they don't 5x4");
}

TEST(Factories, BuildTheCodecsFourExecutors) {
    EXPECT_EQ(make(Method::Cdf53)->filter_length(), 6u);
    EXPECT_EQ(make(Method::Cdf97)->filter_length(), 10u);
    EXPECT_EQ(make(Method::Db4)->filter_length(), 8u);
    EXPECT_EQ(make(Method::Sym4)->filter_length(), 8u);
    for (const std::size_t n : {0u, 1u, 8u, 9u, 100u}) {
        EXPECT_EQ(make(Method::Db4)->dwt_size(n), (DwtSize{(n + 7) / 2, (n + 7) / 2}));
        EXPECT_EQ(make(Method::Sym4)->dwt_size(n), make(Method::Db4)->dwt_size(n));
    }
    // Only the 8-tap orders are built.
    EXPECT_EQ(make_daubechies_f32(2, BorderMode::Periodic), nullptr);
    EXPECT_EQ(make_symlet_f32(3, BorderMode::Periodic), nullptr);
}

}  // namespace
}  // namespace corvane::wavelet
