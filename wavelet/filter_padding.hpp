// A padded copy of a signal for filter banks that want contiguous input:
// `left` extension samples, the signal, then `right` extension samples.
#pragma once

#include <cstddef>
#include <span>

#include "wavelet/border_mode.hpp"
#include "wavelet/dwt_executor.hpp"

namespace corvane::wavelet {

// destination[i] = x~[i - left] for i in 0 .. left + n + right - 1.
// Fails, writing nothing, when destination is not exactly left + n + right
// long, or when an empty signal would have to be extended (only Zero can
// extend nothing).
Status write_arena_1d_impl(std::span<const float> source, std::span<float> destination, std::size_t left,
                           std::size_t right, BorderMode mode);

}  // namespace corvane::wavelet
