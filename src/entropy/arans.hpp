// Adaptive rANS byte coder: a byte string is split into the bytes at even and
// at odd offsets (for 16-bit little-endian data, the low and the high bytes),
// and each plane is coded on its own with a bit-tree model whose context is
// the top k bits of the preceding byte of the same plane. The decisions go
// through the adaptive binary rANS coder of binrans.
//
// Stream: inputs of at most 5 bytes are stored as they are. Longer ones are
//   odd flag (1 byte) | k (1 byte) | varint pair count P | varint length of
//   coded plane A | coded plane A | coded plane B | tail byte if odd
// with unsigned LEB128 varints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "src/entropy/binrans.hpp"
#include "corvane/expected.hpp"

namespace corvane {

enum class RansStreamError : uint8_t { Truncated, InconsistentOrOversized };
std::string_view describe(RansStreamError e);

std::vector<uint8_t> encode_stream(std::span<const uint8_t> input, const RecordBudget& budget = {});
corvane::expected<std::vector<uint8_t>, RansStreamError> decode_stream(
    std::span<const uint8_t> stream);

// One plane with context bits k (0..8; decode_plane rejects a larger k as
// inconsistent). An empty plane codes to no bytes.
std::vector<uint8_t> encode_plane(std::span<const uint8_t> plane, unsigned k,
                                  const RecordBudget& budget = {});
corvane::expected<std::vector<uint8_t>, RansStreamError> decode_plane(
    std::span<const uint8_t> coded, size_t count, unsigned k);

// Reads an unsigned LEB128 varint of at most 10 bytes at `pos` and advances
// `pos` past it.
corvane::expected<uint64_t, RansStreamError> rv(std::span<const uint8_t> bytes, size_t& pos);

}  // namespace corvane
