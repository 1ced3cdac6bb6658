// How a refined chunk's residual corrects the sample its base decodes to.
#pragma once

#include <cmath>
#include <cstdint>

namespace corvane::refine {

// How a corrected sample is formed from the base's sample y and its
// residual q. Float: y + q * step. Integer: the integer nearest y (ties to
// even) + q * step, for chunks of integers, where step is a positive odd
// integer (2E + 1 for a bound E on integers; 1 for exact storage).
enum class Kind : std::uint8_t { Float = 0, Integer = 1 };

// The integer nearest v, ties to even, in two single-precision sums: below
// 2^23, v + 2^23 (with v's sign) lies where floats are the integers, so the
// sum rounds v as wanted, and taking 2^23 back off is exact. From 2^23 on,
// every float is an integer already (NaN and infinities pass too). A zero may
// come back with the other sign, which no sum below tells apart.
inline float nearest_integer(float v) {
    constexpr float kIntegral = 8388608.0f;  // 2^23
    const float shift = std::copysign(kIntegral, v);
    const float rounded = (v + shift) - shift;
    return std::abs(v) < kIntegral ? rounded : v;  // (a select: loops over it vectorise)
}

// The corrected sample, in single precision: one product and one sum, in
// this order, in every build.
inline float corrected(Kind kind, float y, std::int32_t q, float step) {
    const float start = kind == Kind::Integer ? nearest_integer(y) : y;
    return start + static_cast<float>(q) * step;
}

// What corrects a chunk's samples: the kind and the step of its residuals.
struct Correction {
    Kind kind = Kind::Float;
    float step = 0.0f;
};

}  // namespace corvane::refine
