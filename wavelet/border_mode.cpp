#include "wavelet/border_mode.hpp"

namespace corvane::wavelet {

namespace {

// Euclidean remainder: always in 0 .. period-1.
std::size_t wrap(std::ptrdiff_t j, std::size_t period) {
    const auto p = static_cast<std::ptrdiff_t>(period);
    const std::ptrdiff_t r = j % p;
    return static_cast<std::size_t>(r < 0 ? r + p : r);
}

}  // namespace

std::size_t BorderInterpolation::source_index(std::ptrdiff_t j) const noexcept {
    switch (mode_) {
    case BorderMode::Clamp: {
        if (j < 0) return lower_;
        const auto u = static_cast<std::size_t>(j);
        const std::size_t clamped = u < n_ ? u : n_ - 1;
        return clamped < lower_ ? lower_ : clamped;
    }
    case BorderMode::Periodic: return wrap(j, n_);
    case BorderMode::Symmetric: {
        // Period 2n: x[0..n-1] then x[n-1..0].
        const std::size_t m = wrap(j, 2 * n_);
        return m < n_ ? m : 2 * n_ - 1 - m;
    }
    case BorderMode::Reflect: {
        // Period 2n-2: x[0..n-1] then x[n-2..1]. One sample reflects onto itself.
        if (n_ == 1) return 0;
        const std::size_t m = wrap(j, 2 * n_ - 2);
        return m < n_ ? m : 2 * n_ - 2 - m;
    }
    case BorderMode::Zero: break;
    }
    return 0;
}

}  // namespace corvane::wavelet
