#include "wavelet/wavelet8taps.hpp"

#include <utility>

#include "wavelet/tap_tables.hpp"

namespace corvane::wavelet {

namespace {

constexpr std::size_t kMinimumInput = Wavelet8Taps::kTaps;

// Eight taps, or the eight values they weigh.
using Taps = std::array<float, Wavelet8Taps::kTaps>;

template <std::size_t... K>
inline float tap_sum(float sum, const Taps& t, const Taps& v, std::index_sequence<K...>) {
    ((sum = sum + t[K] * v[K]), ...);
    return sum;
}

// sum + t[0] * v[0] + t[1] * v[1] + ... + t[7] * v[7], every product and every
// sum rounded to single precision in that order. Inlined into a loop over
// outputs whose taps are local copies, the taps stay in registers and the
// loop vectorises across outputs.
inline float tap_sum(float sum, const Taps& t, const Taps& v) {
    return tap_sum(sum, t, v, std::make_index_sequence<Wavelet8Taps::kTaps>{});
}

// The window of eight samples that starts at w.
inline Taps window_at(const float* w) { return {w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7]}; }

// Outputs whose whole window lies inside the signal; x points at the first
// window's start. Both channels' sums start from +0.0, so a window of zeros
// gives +0.0, not -0.0.
void filter_interior(const float* __restrict x, float* __restrict approx, float* __restrict details,
                     std::size_t count, const Taps& h, const Taps& g) {
    const Taps low = h;  // local copies: no store can alias them
    const Taps high = g;
    for (std::size_t i = 0; i < count; ++i) {
        const Taps window = window_at(x + 2 * i);
        approx[i] = tap_sum(0.0f, low, window);
        details[i] = tap_sum(0.0f, high, window);
    }
}

// Output pair q of the synthesis is y[2q] and y[2q+1], each added to its
// entry value: + u0 * d[q] + t0 * a[q] + u1 * d[q+1] + t1 * a[q+1] + ...
// + t3 * a[q+3], in that order, where (t, u) are the taps (h, g) 6, 4, 2, 0
// for the even output and 7, 5, 3, 1 for the odd one. Both read coefficients
// q .. q+3 (increasing i is decreasing k), so every index is in range for any
// M >= 3 and the loop needs no border handling.
void synthesize(const float* __restrict a, const float* __restrict d, float* __restrict y, std::size_t pairs,
                const Taps& h, const Taps& g) {
    const Taps even{g[6], h[6], g[4], h[4], g[2], h[2], g[0], h[0]};
    const Taps odd{g[7], h[7], g[5], h[5], g[3], h[3], g[1], h[1]};
    for (std::size_t q = 0; q < pairs; ++q) {
        const Taps coefficients{d[q], a[q], d[q + 1], a[q + 1], d[q + 2], a[q + 2], d[q + 3], a[q + 3]};
        const float first = tap_sum(y[2 * q], even, coefficients);
        const float second = tap_sum(y[2 * q + 1], odd, coefficients);
        y[2 * q] = first;
        y[2 * q + 1] = second;
    }
}

Taps high_pass_of(const Taps& low_pass) {
    const std::vector<float> g = low_pass_to_high(low_pass);
    Taps out{};
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
        approximation[i] = tap_sum(0.0f, h_, window);
        details[i] = tap_sum(0.0f, g_, window);
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
