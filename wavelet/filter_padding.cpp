#include "wavelet/filter_padding.hpp"

#include <algorithm>

namespace corvane::wavelet {

Status write_arena_1d_impl(std::span<const float> source, std::span<float> destination, std::size_t left,
                           std::size_t right, BorderMode mode) {
    const std::size_t n = source.size();
    // Compared piecewise so that absurd pad sizes cannot wrap around.
    const std::size_t total = destination.size();
    if (total < n || total - n < left || total - n - left != right) {
        return corvane::unexpected(WaveletError::input_size_mismatch(left + n + right, total));
    }
    if (n == 0) {
        if (total != 0 && mode != BorderMode::Zero) return corvane::unexpected(WaveletError::zero_sized_input());
        std::fill(destination.begin(), destination.end(), 0.0f);
        return {};
    }
    const BorderInterpolation border(mode, 0, n);
    for (std::size_t i = 0; i < left; ++i) {
        destination[i] = border.value_at(source, static_cast<std::ptrdiff_t>(i) - static_cast<std::ptrdiff_t>(left));
    }
    std::copy(source.begin(), source.end(), destination.begin() + static_cast<std::ptrdiff_t>(left));
    for (std::size_t i = 0; i < right; ++i) {
        destination[left + n + i] = border.value_at(source, static_cast<std::ptrdiff_t>(n + i));
    }
    return {};
}

}  // namespace corvane::wavelet
