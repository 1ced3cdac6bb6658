#include <gtest/gtest.h>

#include "wavelet/wavelet_error.hpp"
#include "tests/cpp/case_name.hpp"

namespace corvane::wavelet {
namespace {

using Tag = WaveletError::Tag;

struct Rendered {
    WaveletError error;
    int number;
    std::string text;
};

class WaveletErrorRendering : public ::testing::TestWithParam<Rendered> {};

TEST_P(WaveletErrorRendering, HasItsNumberAndMessage) {
    const Rendered& r = GetParam();
    EXPECT_EQ(static_cast<int>(r.error.tag()), r.number);
    EXPECT_EQ(r.error.message(), r.text);
}

INSTANTIATE_TEST_SUITE_P(
    EveryVariant, WaveletErrorRendering,
    ::testing::Values(
        Rendered{WaveletError::allocation_failed(123), 0, "Cannot allocate 123 bytes to vector"},
        Rendered{WaveletError::approx_details_not_half(7), 1,
                 "Approximation and details expected to be half of original signal length but it was 7"},
        Rendered{WaveletError::approx_details_mismatch(5, 4), 2, "Approx and details must match, but they don't 5x4"},
        Rendered{WaveletError::input_not_divisible(2), 3, "Input must be divisible by 2"},
        Rendered{WaveletError::overflow(), 4, "Overflow is happened"},
        Rendered{WaveletError::output_size_mismatch(9, 10), 5, "Output size should be 9, but it was 10"},
        Rendered{WaveletError::input_too_short(7, 8), 6, "Input size 7 can't be less than 8"},
        Rendered{WaveletError::input_output_size_mismatch(3, 4), 7, "Input size 3 does not match output size 4"},
        Rendered{WaveletError::invalid_filter_length(), 8, "Zero or odd sized wavelet"},
        Rendered{WaveletError::filter_center_out_of_range(9, 8), 9, "Filter center 9 was larger than filter size 8"},
        Rendered{WaveletError::buffer_too_small_for_level(), 10, "Buffer was too small for provided level"},
        Rendered{WaveletError::approx_size_mismatch(3, 8), 11, "Approximate size 3 does not match required size 8"},
        Rendered{WaveletError::details_size_mismatch(2, 4), 12, "Details size 2 does not match required size 4"},
        Rendered{WaveletError::zero_sized_input(), 13, "Zero sized input is not supported"},
        Rendered{WaveletError::input_size_mismatch(18446744073709551615ull, 0), 14,
                 "Input size expected to be 18446744073709551615 but it was 0"},
        Rendered{WaveletError::scratch_size_mismatch(16, 15), 15, "Scratch size expected to be 16 but it was 15"}),
    [](const auto& info) { return testing_support::case_name(info.param.text); });

}  // namespace
}  // namespace corvane::wavelet
