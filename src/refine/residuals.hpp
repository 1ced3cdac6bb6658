// The refinement's residuals: small integers, mostly 0 or +-1, whose size
// follows the size of their neighbours'. Each is binarised into a zero flag,
// a sign and an Elias-gamma magnitude (the length of its binary form in
// unary, then the bits below its leading one), every decision coded by the
// adaptive binary coder of binrans in a context of the two residuals before
// it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "corvane/expected.hpp"

namespace corvane::refine {

// Magnitudes below 2^24: the largest residual whose product with the step is
// exact in single precision. Anything larger is an escape.
inline constexpr std::int32_t kLargestResidual = (1 << 24) - 1;

// The coded residuals: the coder's 4-byte state and its words.
std::vector<std::uint8_t> encode_residuals(std::span<const std::int32_t> q);

// What encode_residuals would take, in bits, predicted from the decisions'
// frequencies in each context (without coding them).
double residual_bits(std::span<const std::int32_t> q);

enum class ResidualError : std::uint8_t { Truncated };

// Decodes q.size() residuals from `coded` into q. Refuses coded bytes that
// end early (or lack the coder's state).
expected<void, ResidualError> decode_residuals(std::span<const std::uint8_t> coded, std::span<std::int32_t> q);

}  // namespace corvane::refine
