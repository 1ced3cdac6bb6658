#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wavelet/border_mode.hpp"
#include "wavelet/filter_padding.hpp"

namespace corvane::wavelet {
namespace {

template <class Case>
std::string mode_name(const ::testing::TestParamInfo<Case>& info) {
    static const char* const kNames[] = {"Clamp", "Periodic", "Symmetric", "Reflect", "Zero"};
    return kNames[static_cast<int>(info.param.mode)];
}

// x[i] = 100 + i, so a value names the index it came from; 0 is a Zero pad.
std::vector<float> indexed(std::size_t n) {
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = 100.0f + static_cast<float>(i);
    return x;
}

// The positions the 8-tap bank reads outside a signal of eight samples.
struct EdgeCase {
    BorderMode mode;
    std::vector<float> left;   // x~[-6] .. x~[-1]
    std::vector<float> right;  // x~[8] .. x~[13]
};

class BorderOfEight : public ::testing::TestWithParam<EdgeCase> {};

TEST_P(BorderOfEight, ExtendsBothSidesAsTheModeSays) {
    const EdgeCase& c = GetParam();
    const auto x = indexed(8);
    const BorderInterpolation border(c.mode, 0, x.size());
    for (int j = -6; j < 0; ++j) EXPECT_EQ(border.value_at(x, j), c.left[static_cast<std::size_t>(j + 6)]) << j;
    for (int j = 8; j < 14; ++j) EXPECT_EQ(border.value_at(x, j), c.right[static_cast<std::size_t>(j - 8)]) << j;
    for (int j = 0; j < 8; ++j) EXPECT_EQ(border.value_at(x, j), x[static_cast<std::size_t>(j)]);
}

INSTANTIATE_TEST_SUITE_P(
    EveryMode, BorderOfEight,
    ::testing::Values(EdgeCase{BorderMode::Clamp, {100, 100, 100, 100, 100, 100}, {107, 107, 107, 107, 107, 107}},
                      EdgeCase{BorderMode::Periodic, {102, 103, 104, 105, 106, 107}, {100, 101, 102, 103, 104, 105}},
                      EdgeCase{BorderMode::Symmetric, {105, 104, 103, 102, 101, 100}, {107, 106, 105, 104, 103, 102}},
                      EdgeCase{BorderMode::Reflect, {106, 105, 104, 103, 102, 101}, {106, 105, 104, 103, 102, 101}},
                      EdgeCase{BorderMode::Zero, {0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}}),
    mode_name<EdgeCase>);

TEST(BorderInterpolation, PeriodicWrapsFarPositionsByTheEuclideanRemainder) {
    const auto eight = indexed(8);
    const BorderInterpolation p8(BorderMode::Periodic, 0, 8);
    EXPECT_EQ(p8.value_at(eight, 14), 106.0f);
    EXPECT_EQ(p8.value_at(eight, -17), 107.0f);
    const auto nine = indexed(9);
    EXPECT_EQ(BorderInterpolation(BorderMode::Periodic, 0, 9).value_at(nine, 15), 106.0f);
}

TEST(BorderInterpolation, ClampNeverReadsBelowTheLowerBound) {
    const BorderInterpolation clamp(BorderMode::Clamp, 2, 8);
    EXPECT_EQ(clamp.source_index(-3), 2u);
    EXPECT_EQ(clamp.source_index(40), 7u);
}

TEST(BorderInterpolation, ReflectOfOneSampleReadsThatSample) {
    const BorderInterpolation reflect(BorderMode::Reflect, 0, 1);
    EXPECT_EQ(reflect.source_index(-1), 0u);
    EXPECT_EQ(reflect.source_index(3), 0u);
}

struct Arena {
    BorderMode mode;
    std::vector<float> padded;
};

class PaddedCopy : public ::testing::TestWithParam<Arena> {};

TEST_P(PaddedCopy, WritesLeftPadSignalAndRightPad) {
    const std::vector<float> x{1, 2, 3, 4};
    std::vector<float> out(8, -1.0f);
    ASSERT_TRUE(write_arena_1d_impl(x, out, 2, 2, GetParam().mode).has_value());
    EXPECT_EQ(out, GetParam().padded);
}

INSTANTIATE_TEST_SUITE_P(EveryMode, PaddedCopy,
                         ::testing::Values(Arena{BorderMode::Clamp, {1, 1, 1, 2, 3, 4, 4, 4}},
                                           Arena{BorderMode::Periodic, {3, 4, 1, 2, 3, 4, 1, 2}},
                                           Arena{BorderMode::Symmetric, {2, 1, 1, 2, 3, 4, 4, 3}},
                                           Arena{BorderMode::Reflect, {3, 2, 1, 2, 3, 4, 3, 2}},
                                           Arena{BorderMode::Zero, {0, 0, 1, 2, 3, 4, 0, 0}}),
                         mode_name<Arena>);

TEST(PaddedCopy, RejectsADestinationOfTheWrongLengthWithoutWriting) {
    const std::vector<float> x{1, 2, 3, 4};
    std::vector<float> out(7, -1.0f);
    const auto r = write_arena_1d_impl(x, out, 2, 2, BorderMode::Periodic);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), "Input size expected to be 8 but it was 7");
    EXPECT_EQ(out, std::vector<float>(7, -1.0f));
    // Pad sizes that would wrap around when added are rejected, not trusted.
    EXPECT_FALSE(write_arena_1d_impl(x, out, SIZE_MAX, 4, BorderMode::Zero).has_value());
}

TEST(PaddedCopy, AnEmptySignalCanOnlyBeZeroPadded) {
    const std::vector<float> none;
    std::vector<float> out(3, -1.0f);
    EXPECT_EQ(write_arena_1d_impl(none, out, 1, 2, BorderMode::Periodic).error().message(),
              "Zero sized input is not supported");
    ASSERT_TRUE(write_arena_1d_impl(none, out, 1, 2, BorderMode::Zero).has_value());
    EXPECT_EQ(out, std::vector<float>(3, 0.0f));
}

}  // namespace
}  // namespace corvane::wavelet
