#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "wavelet/factory.hpp"

namespace corvane::wavelet {
namespace {

using Bits = std::vector<std::uint32_t>;

const char* name_of(bool cdf97) { return cdf97 ? "Cdf97" : "Cdf53"; }

Bits bits_of(std::span<const float> v) {
    Bits out;
    for (const float f : v) out.push_back(std::bit_cast<std::uint32_t>(f));
    return out;
}

struct LiftingCase {
    bool cdf97;
    std::vector<float> input;
    std::vector<float> approx;
    std::vector<float> details;
    std::vector<float> restored;
};

class LiftingLevel : public ::testing::TestWithParam<LiftingCase> {};

// Decimal values are the shortest forms that read back as the exact single-
// precision results, so comparing bits of the literals is exact.
TEST_P(LiftingLevel, ReproducesEveryBitForwardAndInverse) {
    const LiftingCase& c = GetParam();
    const auto exec = c.cdf97 ? make_cdf97_f32() : make_cdf53_f32();
    const auto level = exec->dwt(c.input, 1);
    ASSERT_TRUE(level.has_value());
    EXPECT_EQ(bits_of(level->approximations), bits_of(c.approx));
    EXPECT_EQ(bits_of(level->details), bits_of(c.details));
    const auto restored = exec->idwt(level->approximations, level->details);
    ASSERT_TRUE(restored.has_value());
    EXPECT_EQ(bits_of(*restored), bits_of(c.restored));
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, LiftingLevel,
    ::testing::Values(
        LiftingCase{true, {1, 1, 1, 1}, {1.4142135f, 1.4142135f}, {0.0f, 0.0f}, {1, 1, 1, 1}},
        LiftingCase{true, {1, 2, 3, 4}, {1.7347386f, 4.4359317f}, {0.04769888f, 0.6117093f}, {0.99999994f, 2, 3, 4}},
        LiftingCase{true,
                    {1, 2, 3, 4, 5},
                    {1.8860525f, 4.2426405f, 6.5992293f},
                    {0.17677666f, -0.17677666f},
                    {0.99999994f, 1.9999995f, 2.9999998f, 3.999999f, 5}},
        LiftingCase{false, {1, 2, 3}, {1, 3}, {0}, {1, 2, 3}},
        LiftingCase{false, {1, 2, 3, 4}, {1, 3.25f}, {0, 1}, {1, 2, 3, 4}},
        LiftingCase{false, {1, 2, 4, 8, 16}, {0.75f, 3.375f, 15}, {-0.5f, -2}, {1, 2, 4, 8, 16}}),
    [](const auto& info) {
        std::string name = name_of(info.param.cdf97);
        for (const float v : info.param.input) name.append("_").append(std::to_string(static_cast<int>(v)));
        return name;
    });

struct LengthError {
    bool cdf97;
    std::size_t n, approx, details;
    std::string message;
};

class LiftingForwardChecks : public ::testing::TestWithParam<LengthError> {};

TEST_P(LiftingForwardChecks, RejectBadLengthsWithoutWriting) {
    const LengthError& c = GetParam();
    const auto exec = c.cdf97 ? make_cdf97_f32() : make_cdf53_f32();
    const std::vector<float> x(c.n, 1.0f);
    std::vector<float> a(c.approx, -1.0f), d(c.details, -1.0f);
    const auto r = exec->execute_forward(x, a, d);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), c.message);
    EXPECT_EQ(a, std::vector<float>(c.approx, -1.0f));
    EXPECT_EQ(d, std::vector<float>(c.details, -1.0f));
}

INSTANTIATE_TEST_SUITE_P(
    Messages, LiftingForwardChecks,
    ::testing::Values(LengthError{true, 3, 2, 1, "Input size 3 can't be less than 4"},
                      LengthError{false, 2, 1, 1, "Input size 2 can't be less than 3"},
                      LengthError{true, 8, 3, 4, "Approximate size 3 does not match required size 8"},
                      LengthError{true, 9, 5, 5, "Approximate size 5 does not match required size 9"},
                      LengthError{false, 5, 3, 3, "Approximate size 3 does not match required size 5"}),
    [](const auto& info) {
        const LengthError& c = info.param;
        return std::string(name_of(c.cdf97)) + "_input_" + std::to_string(c.n) + "_approx_" + std::to_string(c.approx) +
               "_details_" + std::to_string(c.details);
    });

struct InverseError {
    bool cdf97;
    std::size_t approx, details, output;
    std::string message;
};

class LiftingInverseChecks : public ::testing::TestWithParam<InverseError> {};

TEST_P(LiftingInverseChecks, RejectInconsistentLengths) {
    const InverseError& c = GetParam();
    const auto exec = c.cdf97 ? make_cdf97_f32() : make_cdf53_f32();
    const std::vector<float> a(c.approx, 1.0f), d(c.details, 1.0f);
    std::vector<float> out(c.output, -1.0f);
    const auto r = exec->execute_inverse(a, d, out);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), c.message);
    EXPECT_EQ(out, std::vector<float>(c.output, -1.0f));
}

INSTANTIATE_TEST_SUITE_P(
    Messages, LiftingInverseChecks,
    ::testing::Values(InverseError{true, 4, 4, 9, "Output size should be 9, but it was 8"},
                      InverseError{true, 2, 1, 3, "Approximate size 1 does not match required size 2"},
                      InverseError{true, 3, 5, 8, "Approximate size 3 does not match required size 4"},
                      InverseError{false, 2, 0, 2, "Approximate size 0 does not match required size 1"},
                      InverseError{false, 0, 0, 0, "Approximate size 0 does not match required size 2"}),
    [](const auto& info) {
        const InverseError& c = info.param;
        return std::string(name_of(c.cdf97)) + "_approx_" + std::to_string(c.approx) + "_details_" +
               std::to_string(c.details) + "_output_" + std::to_string(c.output);
    });

TEST(Lifting, IdwtAcceptsOneMoreApproximationThanDetails) {
    const auto exec = make_cdf53_f32();
    const std::vector<float> a{0.75f, 3.375f, 15}, d{-0.5f, -2};
    const auto r = exec->idwt(a, d);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(*r, (std::vector<float>{1, 2, 4, 8, 16}));
}

TEST(Lifting, SizesAndFilterLengths) {
    const auto cdf53 = make_cdf53_f32();
    const auto cdf97 = make_cdf97_f32();
    EXPECT_EQ(cdf53->filter_length(), 6u);
    EXPECT_EQ(cdf97->filter_length(), 10u);
    // The level choice reads the filter length without building an executor.
    for (const Transform t : {Transform::Cdf53, Transform::Cdf97, Transform::Db4, Transform::Sym4}) {
        EXPECT_EQ(filter_length(t), make_executor(t)->filter_length()) << static_cast<int>(t);
    }
    EXPECT_EQ(cdf53->dwt_size(7), (DwtSize{4, 3}));
    EXPECT_EQ(cdf53->dwt_size(1), (DwtSize{2, 1}));
    EXPECT_EQ(cdf97->dwt_size(2), (DwtSize{2, 2}));
    EXPECT_EQ(cdf53->idwt_size(1, 1), 3u);
    EXPECT_EQ(cdf97->idwt_size(7, 6), 13u);
    EXPECT_EQ(cdf97->idwt_size(1, 1), 4u);
    EXPECT_EQ(cdf97->required_scratch_size(1000), 0u);
}

}  // namespace
}  // namespace corvane::wavelet
