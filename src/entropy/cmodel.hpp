// Coefficient model: quantised wavelet bands binarised into zero flags, signs
// and fixed-width magnitudes, each decision coded by the adaptive binary rANS
// coder of binrans.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "src/entropy/binrans.hpp"
#include "corvane/expected.hpp"

namespace corvane {

enum class CoeffStreamError : uint8_t { Truncated, InconsistentLength };
std::string_view describe(CoeffStreamError e);

// Context table layout of a coefficient set: band i owns the contexts
// base[i] .. base[i] + 2^bits[i] + 2 (zero flag after a zero, zero flag after a
// nonzero, sign, one unused slot, then the magnitude tree nodes 1 .. 2^w - 1).
struct Layout {
    std::vector<uint32_t> base;
    std::vector<uint32_t> bits;
    uint32_t total;
};
Layout layout(std::span<const uint32_t> widths);

// The bytes of `scratch` (see Scratch::keep_front) hold the records when they
// are coded in chunks and it is large enough; the bands may lie in its storage
// past them. It is released before the coded bytes are put together. The result starts with `front` zero bytes, room for
// what the caller puts in front of the coded coefficients.
std::vector<uint8_t> encode_coeffs(std::span<const std::span<const int16_t>> bands,
                                   const RecordBudget& budget = {}, Scratch scratch = {}, size_t front = 0);

corvane::expected<std::vector<std::vector<int16_t>>, CoeffStreamError> decode_coeffs(
    std::span<const uint8_t> stream, std::span<const size_t> band_lengths);

}  // namespace corvane
