// The refinement's residuals: small integers, mostly 0 or +-1, whose size
// follows the size of their neighbours' and whose values often follow their
// values. Each residual is predicted from the two before it (a fixed linear
// predictor the encoder fits), and what the prediction misses is binarised
// into a zero flag, a sign and an Elias-gamma magnitude (the length of its
// binary form in unary, then the bits below its leading one), every decision
// coded by the adaptive binary coder of binrans in a context of the two
// misses before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <climits>
#include <span>
#include <vector>

#include "corvane/expected.hpp"
#include "src/refine/correction.hpp"

namespace corvane::refine {

// Magnitudes below 2^24: the largest residual whose product with the step is
// exact in single precision. Anything larger is an escape.
inline constexpr std::int32_t kLargestResidual = (1 << 24) - 1;

// A residual whose value does not matter (its sample is escaped): it is
// coded as whatever its prediction is.
inline constexpr std::int32_t kFree = INT32_MIN;

// q[i] is predicted as floor((a * q[i-1] + b * q[i-2] + 16) / 32), within
// +-kLargestResidual (earlier residuals taken as 0).
struct Predictor {
    std::int8_t a = 0, b = 0;
};

// The predictor of least squared misses over q, its weights rounded to 1/32;
// q may be blocks of `block` residuals back to back, each fitted on its own.
Predictor fit_predictor(std::span<const std::int32_t> q, std::size_t block);
Predictor fit_predictor(std::span<const std::int32_t> q);

// A predictor fitted to residuals that sampling_for() takes whole, as one
// block, and the bits they take with it (what residual_bits() counts before
// it scales).
struct Fitted {
    Predictor p;
    double bits = 0.0;
};

// The predictor a chunk codes q with: none, unless the one fitted to the
// blocks of q that sampling_for() takes codes them in fewer bits; then that
// one, or it refitted with each square weighed against the misses before it
// should that take fewer still. `known`, when given, is that fit of these
// very residuals, which is then not made again.
Predictor predictor_for(std::span<const std::int32_t> q, const Fitted* known = nullptr);

// The coded residuals: the coder's 4-byte state and its words.
std::vector<std::uint8_t> encode_residuals(std::span<const std::int32_t> q, Predictor p);

// A long signal's residuals are judged from a regular sample of them: one
// block of `block` residuals at the start of every `stride` (a short
// signal's block is the whole signal).
struct Sampling {
    std::size_t block = 0, stride = 0;
};
Sampling sampling_for(std::size_t n);

// What encode_residuals would take for n residuals, in bits, predicted from
// the decisions' frequencies in each context over `sample`: the blocks that
// sampling_for(n) takes, back to back (without coding them). `unscaled`,
// when given, receives the bits of the sample itself.
double residual_bits(std::span<const std::int32_t> sample, std::size_t n, Predictor p, double* unscaled = nullptr);

enum class ResidualError : std::uint8_t { Truncated };

// Decodes q.size() residuals from `coded` into q. Refuses coded bytes that
// end early (or lack the coder's state).
expected<void, ResidualError> decode_residuals(std::span<const std::uint8_t> coded, Predictor p,
                                               std::span<std::int32_t> q);

// The same residuals applied as they are decoded: samples[i] becomes
// corrected(c.kind, samples[i], q[i], c.step), with no residual kept. Refuses
// what decode_residuals refuses, leaving the samples partly corrected.
expected<void, ResidualError> correct_samples(std::span<const std::uint8_t> coded, Predictor p, Correction c,
                                              std::span<float> samples);

}  // namespace corvane::refine
