// CDF 9/7 biorthogonal wavelet by lifting: predict (alpha), update (beta),
// predict (gamma), update (delta), then scale the approximation by zeta and
// the details by a stored 1/zeta. The inverse runs the negated steps in
// reverse order after swapping the two scales. Minimum level length 4.
#pragma once

#include "wavelet/lifting.hpp"

namespace corvane::wavelet {

class Cdf97 final : public LiftingDwtExecutor {
public:
    static constexpr std::size_t kMinimumLength = 4;

    Cdf97() : LiftingDwtExecutor(kMinimumLength) {}

    Status execute_forward(std::span<const float> input, std::span<float> approximation,
                           std::span<float> details) const override;
    Status execute_inverse(std::span<const float> approximation, std::span<const float> details,
                           std::span<float> output) const override;
    std::size_t filter_length() const override { return 10; }
};

}  // namespace corvane::wavelet
