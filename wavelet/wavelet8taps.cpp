#include "wavelet/wavelet8taps.hpp"

#include "wavelet/tap_tables.hpp"

namespace corvane::wavelet {

namespace {

constexpr std::size_t kMinimumInput = Wavelet8Taps::kTaps;

// Both channels of one output from a window of eight samples w[0..7].
// The sums start from +0.0, so a window of zeros gives +0.0, not -0.0.
inline void filter_window(const float* w, const float* h, const float* g, float& approx, float& details) {
    float a = 0.0f;
    float d = 0.0f;
    for (std::size_t k = 0; k < Wavelet8Taps::kTaps; ++k) {
        a = a + h[k] * w[k];
        d = d + g[k] * w[k];
    }
    approx = a;
    details = d;
}

// t0 * w[0] + ... + t7 * w[7], summed from +0.0 in tap order.
inline float sum8(const float* w, float t0, float t1, float t2, float t3, float t4, float t5, float t6, float t7) {
    float a = 0.0f;
    a = a + t0 * w[0];
    a = a + t1 * w[1];
    a = a + t2 * w[2];
    a = a + t3 * w[3];
    a = a + t4 * w[4];
    a = a + t5 * w[5];
    a = a + t6 * w[6];
    a = a + t7 * w[7];
    return a;
}

// Outputs whose whole window lies inside the signal; x points at the first
// window's start. Taps are held in locals so the loop vectorises across i.
void filter_interior(const float* __restrict x, float* __restrict approx, float* __restrict details,
                     std::size_t count, const std::array<float, 8>& h, const std::array<float, 8>& g) {
    const float h0 = h[0], h1 = h[1], h2 = h[2], h3 = h[3], h4 = h[4], h5 = h[5], h6 = h[6], h7 = h[7];
    const float g0 = g[0], g1 = g[1], g2 = g[2], g3 = g[3], g4 = g[4], g5 = g[5], g6 = g[6], g7 = g[7];
    for (std::size_t i = 0; i < count; ++i) {
        const float* w = x + 2 * i;
        approx[i] = sum8(w, h0, h1, h2, h3, h4, h5, h6, h7);
        details[i] = sum8(w, g0, g1, g2, g3, g4, g5, g6, g7);
    }
}

// One output of the synthesis from its entry value: + u0 * d[0] + t0 * a[0]
// + u1 * d[1] + t1 * a[1] + ... + t3 * a[3], in that order.
inline float synthesis_sum(float sum, const float* a, const float* d, float t0, float u0, float t1, float u1, float t2,
                           float u2, float t3, float u3) {
    sum = sum + u0 * d[0];
    sum = sum + t0 * a[0];
    sum = sum + u1 * d[1];
    sum = sum + t1 * a[1];
    sum = sum + u2 * d[2];
    sum = sum + t2 * a[2];
    sum = sum + u3 * d[3];
    sum = sum + t3 * a[3];
    return sum;
}

// Output pair q of the synthesis is y[2q] and y[2q+1]; both read coefficients
// q .. q+3 (increasing i is decreasing k), so every index is in range for any
// M >= 3 and the loop needs no border handling.
void synthesize(const float* __restrict a, const float* __restrict d, float* __restrict y, std::size_t pairs,
                const std::array<float, 8>& h, const std::array<float, 8>& g) {
    const float h0 = h[0], h1 = h[1], h2 = h[2], h3 = h[3], h4 = h[4], h5 = h[5], h6 = h[6], h7 = h[7];
    const float g0 = g[0], g1 = g[1], g2 = g[2], g3 = g[3], g4 = g[4], g5 = g[5], g6 = g[6], g7 = g[7];
    for (std::size_t q = 0; q < pairs; ++q) {
        const float even = synthesis_sum(y[2 * q], a + q, d + q, h6, g6, h4, g4, h2, g2, h0, g0);
        const float odd = synthesis_sum(y[2 * q + 1], a + q, d + q, h7, g7, h5, g5, h3, g3, h1, g1);
        y[2 * q] = even;
        y[2 * q + 1] = odd;
    }
}

std::array<float, 8> high_pass_of(const std::array<float, 8>& low_pass) {
    const std::vector<float> g = low_pass_to_high(low_pass);
    std::array<float, 8> out{};
    for (std::size_t k = 0; k < out.size(); ++k) out[k] = g[k];
    return out;
}

}  // namespace

Wavelet8Taps::Wavelet8Taps(BorderMode mode, const std::array<float, kTaps>& low_pass)
    : mode_(mode), h_(low_pass), g_(high_pass_of(low_pass)) {}

Status Wavelet8Taps::execute_forward(std::span<const float> input, std::span<float> approximation,
                                     std::span<float> details) const {
    const std::size_t n = input.size();
    if (n < kMinimumInput) return corvane::unexpected(WaveletError::input_too_short(n, kMinimumInput));
    const std::size_t outputs = dwt_size(n).approx_length;
    if (approximation.size() != outputs) {
        return corvane::unexpected(WaveletError::approx_details_not_half(approximation.size()));
    }
    if (details.size() != outputs) return corvane::unexpected(WaveletError::approx_details_not_half(details.size()));

    // Output i reads x~[2i-6 .. 2i+1]. Outputs 3 .. (n-2)/2 lie wholly inside
    // the signal; the first three and the last three (n even) or four (n odd)
    // cross an edge and read through the border mapping.
    const std::size_t inner_begin = 3;
    const std::size_t inner_end = (n - 2) / 2 + 1;
    const BorderInterpolation border(mode_, 0, n);
    const auto edge = [&](std::size_t i) {
        std::array<float, kTaps> window;
        const auto start = static_cast<std::ptrdiff_t>(2 * i) - 6;
        for (std::size_t k = 0; k < kTaps; ++k) {
            window[k] = border.value_at(input, start + static_cast<std::ptrdiff_t>(k));
        }
        filter_window(window.data(), h_.data(), g_.data(), approximation[i], details[i]);
    };

    for (std::size_t i = 0; i < inner_begin; ++i) edge(i);
    filter_interior(input.data(), approximation.data() + inner_begin, details.data() + inner_begin,
                    inner_end - inner_begin, h_, g_);
    for (std::size_t i = inner_end; i < outputs; ++i) edge(i);
    return {};
}

Status Wavelet8Taps::execute_forward_with_scratch(std::span<const float> input, std::span<float> approximation,
                                                  std::span<float> details, std::span<float>) const {
    return execute_forward(input, approximation, details);
}

Status Wavelet8Taps::execute_inverse(std::span<const float> approximation, std::span<const float> details,
                                     std::span<float> output) const {
    const std::size_t m = approximation.size();
    if (m != details.size()) return corvane::unexpected(WaveletError::approx_details_mismatch(m, details.size()));
    const std::size_t required = idwt_size(m, m);
    if (output.size() != required) return corvane::unexpected(WaveletError::output_size_mismatch(output.size(), required));
    synthesize(approximation.data(), details.data(), output.data(), required / 2, h_, g_);
    return {};
}

}  // namespace corvane::wavelet
