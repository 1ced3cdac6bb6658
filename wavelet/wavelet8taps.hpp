// Orthogonal two-channel filter bank with 8 taps per channel (the db4 and
// sym4 methods). Single level only; CompletedDwtExecutor adds the drivers.
//
// Forward, for N = floor((n+7)/2) outputs per channel:
//   approx[i]  = sum_k h[k] * x~[2i - 6 + k]      k = 0..7, from +0.0, increasing k
//   details[i] = sum_k g[k] * x~[2i - 6 + k]
// Inverse (the transpose), for each p in 0 .. 2M-7, in increasing i:
//   y[p] += g[k] * d[i]; y[p] += h[k] * a[i]      where p = 2i - 6 + k
// Every product and every sum is rounded to single precision in that order;
// the coefficients are part of the stream format.
#pragma once

#include <array>

#include "wavelet/border_mode.hpp"
#include "wavelet/dwt_executor.hpp"

namespace corvane::wavelet {

class Wavelet8Taps final : public IncompleteDwtExecutor {
public:
    static constexpr std::size_t kTaps = 8;

    // The high-pass taps are derived from `low_pass` by the quadrature mirror rule.
    Wavelet8Taps(BorderMode mode, const std::array<float, kTaps>& low_pass);

    Status execute_forward(std::span<const float> input, std::span<float> approximation,
                           std::span<float> details) const override;
    // The scratch is neither checked nor used.
    Status execute_forward_with_scratch(std::span<const float> input, std::span<float> approximation,
                                        std::span<float> details, std::span<float> scratch) const override;
    std::size_t required_scratch_size(std::size_t) const override { return 0; }
    DwtSize dwt_size(std::size_t n) const override { return {(n + 7) / 2, (n + 7) / 2}; }
    // Adds the synthesis into `output`, whose entry values are the starting sums.
    Status execute_inverse(std::span<const float> approximation, std::span<const float> details,
                           std::span<float> output) const override;
    // 2a - 6, and 0 for a < 3, where no output position has all four contributions.
    std::size_t idwt_size(std::size_t approx_length, std::size_t) const override {
        return approx_length >= 3 ? 2 * approx_length - 6 : 0;
    }
    std::size_t filter_length() const override { return kTaps; }

    BorderMode border_mode() const noexcept { return mode_; }
    const std::array<float, kTaps>& low_pass() const noexcept { return h_; }
    const std::array<float, kTaps>& high_pass() const noexcept { return g_; }

private:
    BorderMode mode_;
    std::array<float, kTaps> h_;
    std::array<float, kTaps> g_;
};

}  // namespace corvane::wavelet
