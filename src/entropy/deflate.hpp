// The DEFLATE back end: the quantised coefficients' 16-bit little-endian
// bytes as one raw DEFLATE stream (no wrapper, level 6), through zlib.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "src/error.hpp"
#include "corvane/expected.hpp"

namespace corvane {

// Raw DEFLATE at level 6 of the whole byte string.
expected<std::vector<std::uint8_t>, CorvaneError> deflate_raw(std::span<const std::uint8_t> bytes);

// Inflates a raw DEFLATE payload to its end, so corrupt data anywhere is
// reported, but keeps only its first `keep` bytes.
expected<std::vector<std::uint8_t>, CorvaneError> inflate_prefix(std::span<const std::uint8_t> payload,
                                                                 std::size_t keep);

}  // namespace corvane
