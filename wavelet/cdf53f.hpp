// CDF 5/3 biorthogonal wavelet by lifting: one predict and one update step,
// no scaling. Coefficients of a level of n >= 3 samples:
//   d[i] = x[2i+1] + (-0.5) * (x[2i] + x[2i+2])   (x[n-2] mirrors x[n] for even n)
//   s[j] = x[2j]   + 0.25   * (d[j-1] + d[j])     (mirrored at both ends)
#pragma once

#include "wavelet/lifting.hpp"

namespace corvane::wavelet {

class Cdf53 final : public LiftingDwtExecutor {
public:
    static constexpr std::size_t kMinimumLength = 3;

    Cdf53() : LiftingDwtExecutor(kMinimumLength) {}

    Status execute_forward(std::span<const float> input, std::span<float> approximation,
                           std::span<float> details) const override;
    Status execute_inverse(std::span<const float> approximation, std::span<const float> details,
                           std::span<float> output) const override;
    std::size_t filter_length() const override { return 6; }
};

}  // namespace corvane::wavelet
