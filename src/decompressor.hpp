// Decompression: a stream in, exactly its sample count of samples out.
// Validates the header and every declared size before trusting it;
// stateless. decompress() itself is declared in the public header.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "corvane/expected.hpp"
#include "src/config.hpp"
#include "src/header.hpp"

namespace corvane {

// The stream whose header has been read as `header` (from `stream` or from a
// copy of its first bytes); the header bytes in `stream` are not read again.
expected<std::vector<float>, CorvaneError> decompress_parsed(const CorvaneHeader& header,
                                                             std::span<const std::uint8_t> stream);

// The most coefficients a payload of `bytes` bytes can yield through `coder`:
// every coefficient costs the coefficient model at least one decision and the
// byte coder two bytes of eight decisions each, where the binary coder
// completes at most rans::max_decisions(bytes) decisions; DEFLATE expands a
// byte to at most 1032. n samples always take at least n coefficients.
std::uint64_t max_coefficients(Coder coder, std::size_t bytes);

// The payload of a stream with the given parameters, decoded: plan the bands,
// read them through the back end, dequantise and recompose, denormalise.
expected<std::vector<float>, CorvaneError> decompress_core(std::span<const std::uint8_t> payload,
                                                           const StreamParameters& params);

}  // namespace corvane
