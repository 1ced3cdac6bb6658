// Decompression: a stream in, exactly `sample_count` samples out. Validates
// the header and every declared size before trusting it; stateless.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "src/config.hpp"
#include "corvane/expected.hpp"

namespace corvane {

// The header values decoding depends on, after validation.
struct StreamParameters {
    Method method = Method::Cdf97;
    float min = 0.0f;
    float max = 0.0f;
    float mean = 0.0f;
    float multiplier = 0.0f;  // effective: already replaced when unusable
    std::uint32_t levels = 0;
    std::uint32_t sample_count = 0;
    std::uint8_t scale = 0;
    Coder coder = Coder::Cmodel;  // one of the three stream coders
};

expected<std::vector<float>, CorvaneError> decompress_core(std::span<const std::uint8_t> payload,
                                                           const StreamParameters& params);

}  // namespace corvane
