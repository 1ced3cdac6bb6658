// What a filter bank reads outside its signal. For a signal x of n samples,
// x~[j] = x[j] inside, and outside:
//
//   Clamp      x[0] on the left, x[n-1] on the right
//   Periodic   x[j mod n] (Euclidean remainder)
//   Symmetric  mirror with the edge sample repeated: x~[-1] = x[0], x~[n] = x[n-1]
//   Reflect    mirror about the edge sample:         x~[-1] = x[1], x~[n] = x[n-2]
//   Zero       0
//
// The mirror modes continue periodically (period 2n, and 2n-2 for Reflect)
// beyond one signal length, so every position has a defined value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace corvane::wavelet {

enum class BorderMode : std::uint8_t { Clamp = 0, Periodic = 1, Symmetric = 2, Reflect = 3, Zero = 4 };

// Maps out-of-range positions of one call's signal to source indices. Built
// per forward call; only the few outputs whose window crosses an edge use it.
class BorderInterpolation {
public:
    // n must be at least 1; `lower` is the first index Clamp may return.
    BorderInterpolation(BorderMode mode, std::size_t lower, std::size_t n) : mode_(mode), lower_(lower), n_(n) {}

    BorderMode mode() const noexcept { return mode_; }

    // Source index of position j (any j). Not meaningful for Zero.
    std::size_t source_index(std::ptrdiff_t j) const noexcept;

    // x~[j] for a signal of the length this mapping was built for.
    float value_at(std::span<const float> x, std::ptrdiff_t j) const noexcept {
        if (j >= 0 && static_cast<std::size_t>(j) < n_) return x[static_cast<std::size_t>(j)];
        if (mode_ == BorderMode::Zero) return 0.0f;
        return x[source_index(j)];
    }

private:
    BorderMode mode_;
    std::size_t lower_;
    std::size_t n_;
};

}  // namespace corvane::wavelet
