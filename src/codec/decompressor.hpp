// Decompression: a stream in, exactly its sample count of samples out.
// Validates the header and every declared size before trusting it;
// stateless. decompress() itself is declared in the public header.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "corvane/expected.hpp"
#include "src/format/header.hpp"
#include "src/format/parameters.hpp"

namespace corvane {

// The stream whose header has been read as `header` (from `stream` or from a
// copy of its first bytes); the header bytes in `stream` are not read again.
expected<std::vector<float>, CorvaneError> decompress_parsed(const CorvaneHeader& header,
                                                             std::span<const std::uint8_t> stream);

// The payload of a stream with the given parameters, decoded: plan the bands,
// read them through the back end, dequantise and recompose, denormalise.
expected<std::vector<float>, CorvaneError> decompress_core(std::span<const std::uint8_t> payload,
                                                           const StreamParameters& params);

}  // namespace corvane
