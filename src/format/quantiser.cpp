#include "src/format/quantiser.hpp"

#include <algorithm>
#include <bit>
#include <limits>

namespace corvane {

float quantise_band(std::span<const float> in, float m, int threshold, std::int16_t* out) {
    // Magnitudes compare as their bit patterns: for non-NaN floats with the
    // sign cleared, integer order is numeric order, and an integer maximum
    // vectorises where a float one would need relaxed semantics.
    std::uint32_t peak = 0;
    if (threshold <= 0) {
        for (std::size_t i = 0; i < in.size(); ++i) {
            out[i] = quantise(in[i], m);
            peak = std::max(peak, std::bit_cast<std::uint32_t>(in[i]) & 0x7FFFFFFFu);
        }
    } else {
        for (std::size_t i = 0; i < in.size(); ++i) {
            out[i] = quantise_outside(in[i], m, threshold);
            peak = std::max(peak, std::bit_cast<std::uint32_t>(in[i]) & 0x7FFFFFFFu);
        }
    }
    return std::bit_cast<float>(peak);
}

float unsaturated_multiplier(float peak, float m) {
    constexpr float kLimit = 32768.0f;
    if (!std::isfinite(m) || !(m > 0.0f) || !(peak > 0.0f) || !std::isfinite(peak) || !(peak * m >= kLimit)) {
        return m;
    }
    // Rounding is monotone, so peak * c grows with c and the answer is the
    // last float below the first c whose product reaches the limit. The
    // quotient lands within an ulp or two of it; step to it exactly.
    float c = kLimit / peak;
    const float zero = 0.0f;
    while (c > zero && !(peak * c < kLimit)) c = std::nextafter(c, zero);
    for (;;) {
        const float up = std::nextafter(c, std::numeric_limits<float>::infinity());
        if (!(peak * up < kLimit)) break;
        c = up;
    }
    return c;
}

int dead_zone_threshold(std::uint8_t scale, Cutoff cutoff) {
    const int base = scale <= 7 ? 0 : scale <= 9 ? 1 : scale <= 11 ? 2 : 3;
    const int factor = cutoff == Cutoff::Low ? 1 : cutoff == Cutoff::Medium ? 3 : 7;
    return base * factor;
}

}  // namespace corvane
