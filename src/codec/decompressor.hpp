// Decompression: a stream in, exactly its sample count of samples out.
// Validates the header and every declared size before trusting it;
// stateless. decompress() itself is declared in the public header.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "corvane/expected.hpp"
#include "src/format/parameters.hpp"

namespace corvane {

// The payload of a stream with the given parameters, decoded: plan the bands,
// read them through the back end, dequantise and recompose, denormalise.
expected<std::vector<float>, CorvaneError> decompress_core(std::span<const std::uint8_t> payload,
                                                           const StreamParameters& params);

}  // namespace corvane
