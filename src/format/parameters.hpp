// The settings' rules that encoder and decoder share: which coders a stream
// can name, and which multiplier a stream is dequantised with. The settings
// themselves are declared in the public header.
#pragma once

#include <cmath>
#include <cstdint>

#include "corvane/corvane.hpp"

namespace corvane {

// The coders a stream header can name (codes 0, 1, 2); Coder::Auto is only a
// request and codes as the coefficient model.
inline constexpr std::uint8_t kStreamCoderCount = 3;
inline bool is_stream_coder(std::uint8_t code) { return code < kStreamCoderCount; }
inline Coder stream_coder(Coder requested) {
    return requested == Coder::Deflate || requested == Coder::Arans ? requested : Coder::Cmodel;
}

inline bool is_valid(Method method) { return static_cast<std::uint8_t>(method) <= static_cast<std::uint8_t>(Method::Sym4); }
inline bool is_valid(Cutoff cutoff) { return static_cast<std::uint8_t>(cutoff) <= static_cast<std::uint8_t>(Cutoff::High); }
inline bool is_valid(Coder coder) { return static_cast<std::uint8_t>(coder) <= static_cast<std::uint8_t>(Coder::Auto); }
inline bool is_valid_scale(std::uint8_t scale) { return scale >= kMinScale && scale <= kMaxScale; }

// The multiplier a scale implies: 2^scale.
inline float default_multiplier(std::uint8_t scale) { return static_cast<float>(1u << (scale & 31u)); }

// A multiplier can be inverted when it is positive and finite (positive
// subnormals included).
inline bool is_usable_multiplier(float m) { return std::isfinite(m) && m > 0.0f; }

// The multiplier a stream is dequantised with: the stored one, or 2^scale in
// place of one that cannot be inverted (zero, negative, infinite, NaN).
inline float effective_multiplier(float stored, std::uint8_t scale) {
    return is_usable_multiplier(stored) ? stored : default_multiplier(scale);
}

}  // namespace corvane
