// The quantiser: coefficients to 16-bit values and back, the dead zone that
// zeroes small details, and the multiplier rules (the default one, the one a
// stream is dequantised with, and the one that keeps every coefficient in
// range). Encoder, decoder and the target search all quantise through here.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "corvane/corvane.hpp"

namespace corvane {

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

// The multiplier that keeps every coefficient inside the 16-bit range: `m`
// itself unless m is finite and positive, peak > 0 and peak * m >= 32768 in
// single precision; then the largest float m' with peak * m' < 32768. The
// stream records the multiplier used, so decoders need nothing new.
float unsaturated_multiplier(float peak, float m);

// Dead-zone threshold: detail coefficients of smaller magnitude become zero.
int dead_zone_threshold(std::uint8_t scale, Cutoff cutoff);

// v * m clamped to the 16-bit range (a NaN product counts as the top).
inline float clamped_product(float v, float m) {
    float p = v * m;
    if (!(p <= 32767.0f)) p = 32767.0f;
    if (p < -32768.0f) p = -32768.0f;
    return p;
}

// One coefficient to 16 bits: the clamped product truncated toward zero.
inline std::int16_t quantise(float v, float m) {
    return static_cast<std::int16_t>(static_cast<std::int32_t>(clamped_product(v, m)));
}

// quantise(), with magnitudes below `threshold` (the dead zone) made zero.
// A truncated magnitude is below an integer exactly when the product's is,
// which compares in floats (16-bit magnitudes would need wider steps).
inline std::int16_t quantise_outside(float v, float m, int threshold) {
    const float p = clamped_product(v, m);
    return std::abs(p) < static_cast<float>(threshold) ? std::int16_t{0}
                                                        : static_cast<std::int16_t>(static_cast<std::int32_t>(p));
}

// quantise() of every value into out[0 .. in.size()); magnitudes below
// `threshold` become zero. Returns the largest |value| of `in` (0 when empty).
float quantise_band(std::span<const float> in, float m, int threshold, std::int16_t* out);

// One 16-bit value back: multiplied by the reciprocal of the multiplier
// (`inv`, 1 / m in single precision), not divided by it.
inline float dequantise(std::int16_t q, float inv) { return static_cast<float>(q) * inv; }

// Every band of a decomposition, quantised, in one buffer in stream order
// (the coarsest approximation, then the details from the finest level to the
// coarsest), and the band lengths in that order.
struct QuantisedBands {
    std::vector<std::int16_t> values;
    std::vector<std::size_t> lengths;
    float peak = 0.0f;  // the largest coefficient magnitude before quantisation
};

}  // namespace corvane
