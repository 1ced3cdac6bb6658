#include "wavelet/wavelet_error.hpp"

namespace corvane::wavelet {

std::string WaveletError::message() const {
    const auto a = std::to_string(first_);
    const auto b = std::to_string(second_);
    switch (tag_) {
    case Tag::AllocationFailed: return "Cannot allocate " + a + " bytes to vector";
    case Tag::ApproxDetailsNotHalf:
        return "Approximation and details expected to be half of original signal length but it was " + a;
    case Tag::ApproxDetailsMismatch: return "Approx and details must match, but they don't " + a + "x" + b;
    case Tag::InputNotDivisible: return "Input must be divisible by " + a;
    case Tag::Overflow: return "Overflow is happened";
    case Tag::OutputSizeMismatch: return "Output size should be " + a + ", but it was " + b;
    case Tag::InputTooShort: return "Input size " + a + " can't be less than " + b;
    case Tag::InputOutputSizeMismatch: return "Input size " + a + " does not match output size " + b;
    case Tag::InvalidFilterLength: return "Zero or odd sized wavelet";
    case Tag::FilterCenterOutOfRange: return "Filter center " + a + " was larger than filter size " + b;
    case Tag::BufferTooSmallForLevel: return "Buffer was too small for provided level";
    case Tag::ApproxSizeMismatch: return "Approximate size " + a + " does not match required size " + b;
    case Tag::DetailsSizeMismatch: return "Details size " + a + " does not match required size " + b;
    case Tag::ZeroSizedInput: return "Zero sized input is not supported";
    case Tag::InputSizeMismatch: return "Input size expected to be " + a + " but it was " + b;
    case Tag::ScratchSizeMismatch: return "Scratch size expected to be " + a + " but it was " + b;
    }
    return "Unknown wavelet error";
}

}  // namespace corvane::wavelet
