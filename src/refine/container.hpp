// A refined chunk: an ordinary stream (the base) and the corrections that
// bring every sample it decodes to within a bound of the input. It starts
// with a magic of its own, so the stream decoder refuses it rather than
// returning the coarser base as the data, and its header gives its length,
// so refined chunks of lanes lie back to back like plain streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "corvane/corvane.hpp"
#include "src/refine/correction.hpp"
#include "src/refine/residuals.hpp"

namespace corvane::refine {

inline constexpr std::size_t kContainerHeaderSize = 32;

// A sample stored as it is, for one the correction cannot bring within the bound.
struct Escape {
    std::uint32_t index = 0;
    float value = 0.0f;
};

struct Refinement {
    Kind kind = Kind::Float;
    float step = 0.0f;
    Predictor predictor;
    LongPredictor long_predictor;  // in place of `predictor` when its order is not 0
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
    std::size_t correction_bytes = 0;  // the residuals, the escapes and a long predictor's weights
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
