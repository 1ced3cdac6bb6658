// A refined chunk: an ordinary stream (the base) and the corrections that
// bring every sample it decodes to within a bound of the input. It starts
// with a magic of its own, so the stream decoder refuses it rather than
// returning the coarser base as the data, and its header gives its length,
// so refined chunks of lanes lie back to back like plain streams.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "corvane/corvane.hpp"
#include "src/refine/residuals.hpp"

namespace corvane::refine {

inline constexpr std::size_t kContainerHeaderSize = 32;

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
    if (!(std::abs(v) < kIntegral)) return v;
    const float shift = std::copysign(kIntegral, v);
    return (v + shift) - shift;
}

// The corrected sample, in single precision: one product and one sum, in
// this order, in every build.
inline float corrected(Kind kind, float y, std::int32_t q, float step) {
    const float start = kind == Kind::Integer ? nearest_integer(y) : y;
    return start + static_cast<float>(q) * step;
}

// A sample stored as it is, for one the correction cannot bring within the bound.
struct Escape {
    std::uint32_t index = 0;
    float value = 0.0f;
};

struct Refinement {
    Kind kind = Kind::Float;
    float step = 0.0f;
    Predictor predictor;
    std::vector<std::int32_t> residuals;  // one per sample, kFree where the sample is escaped
    std::vector<Escape> escapes;          // in increasing index order
};

bool is_container(std::span<const std::uint8_t> bytes);

// The container of `base` (a whole stream) and its refinement.
std::vector<std::uint8_t> write_container(std::span<const std::uint8_t> base, const Refinement& refinement);

// The length of the container that starts `bytes`, from its header alone;
// refuses a header that is not one, or a length beyond the bytes given.
expected<std::size_t, CorvaneError> container_length(std::span<const std::uint8_t> bytes);

// What a container's header says: how its samples are corrected, and where
// its base stream lies. Checked as decode_container checks the header.
struct ContainerFacts {
    Kind kind = Kind::Float;
    float step = 0.0f;
    std::uint32_t escapes = 0;
    std::size_t correction_bytes = 0;  // the residuals and the escapes
    std::size_t length = 0;            // the whole container
    std::span<const std::uint8_t> base;
};
expected<ContainerFacts, CorvaneError> container_facts(std::span<const std::uint8_t> bytes);

// The corrected samples. Everything the header declares is checked against
// the bytes before it is used: hostile input is refused with an error.
expected<std::vector<float>, CorvaneError> decode_container(std::span<const std::uint8_t> bytes);

// The last steps of decode_container: `samples`, what the container's base
// decodes to, corrected in place.
expected<void, CorvaneError> apply_container(std::span<const std::uint8_t> bytes, std::vector<float>& samples);

}  // namespace corvane::refine
