// The wavelet engine's error value. Variants keep a fixed declared order (the
// tag numbers are stable) and each carries the sizes its message quotes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace corvane::wavelet {

class WaveletError {
public:
    enum class Tag : std::uint8_t {
        AllocationFailed = 0,
        ApproxDetailsNotHalf = 1,
        ApproxDetailsMismatch = 2,
        InputNotDivisible = 3,
        Overflow = 4,
        OutputSizeMismatch = 5,
        InputTooShort = 6,
        InputOutputSizeMismatch = 7,
        InvalidFilterLength = 8,
        FilterCenterOutOfRange = 9,
        BufferTooSmallForLevel = 10,
        ApproxSizeMismatch = 11,
        DetailsSizeMismatch = 12,
        ZeroSizedInput = 13,
        InputSizeMismatch = 14,
        ScratchSizeMismatch = 15,
    };

    static WaveletError allocation_failed(std::size_t elements) { return {Tag::AllocationFailed, elements, 0}; }
    static WaveletError approx_details_not_half(std::size_t length) { return {Tag::ApproxDetailsNotHalf, length, 0}; }
    static WaveletError approx_details_mismatch(std::size_t approx, std::size_t details) {
        return {Tag::ApproxDetailsMismatch, approx, details};
    }
    static WaveletError input_not_divisible(std::size_t divisor) { return {Tag::InputNotDivisible, divisor, 0}; }
    static WaveletError overflow() { return {Tag::Overflow, 0, 0}; }
    static WaveletError output_size_mismatch(std::size_t first, std::size_t second) {
        return {Tag::OutputSizeMismatch, first, second};
    }
    static WaveletError input_too_short(std::size_t length, std::size_t minimum) {
        return {Tag::InputTooShort, length, minimum};
    }
    static WaveletError input_output_size_mismatch(std::size_t input, std::size_t output) {
        return {Tag::InputOutputSizeMismatch, input, output};
    }
    static WaveletError invalid_filter_length() { return {Tag::InvalidFilterLength, 0, 0}; }
    static WaveletError filter_center_out_of_range(std::size_t center, std::size_t size) {
        return {Tag::FilterCenterOutOfRange, center, size};
    }
    static WaveletError buffer_too_small_for_level() { return {Tag::BufferTooSmallForLevel, 0, 0}; }
    static WaveletError approx_size_mismatch(std::size_t given, std::size_t required) {
        return {Tag::ApproxSizeMismatch, given, required};
    }
    static WaveletError details_size_mismatch(std::size_t given, std::size_t required) {
        return {Tag::DetailsSizeMismatch, given, required};
    }
    static WaveletError zero_sized_input() { return {Tag::ZeroSizedInput, 0, 0}; }
    static WaveletError input_size_mismatch(std::size_t expected, std::size_t given) {
        return {Tag::InputSizeMismatch, expected, given};
    }
    static WaveletError scratch_size_mismatch(std::size_t expected, std::size_t given) {
        return {Tag::ScratchSizeMismatch, expected, given};
    }

    Tag tag() const noexcept { return tag_; }
    // The numbers the message quotes, in the order it quotes them (0 when unused).
    std::size_t first() const noexcept { return first_; }
    std::size_t second() const noexcept { return second_; }

    std::string message() const;

    friend bool operator==(const WaveletError&, const WaveletError&) = default;

private:
    WaveletError(Tag tag, std::size_t first, std::size_t second) : tag_(tag), first_(first), second_(second) {}

    Tag tag_;
    std::size_t first_;
    std::size_t second_;
};

}  // namespace corvane::wavelet
