// The refinement's residuals: small integers, mostly 0 or +-1, whose size
// follows the size of their neighbours' and whose values often follow their
// values. Each residual is predicted from the two before it (a fixed linear
// predictor the encoder fits), or from up to 32 before it where they follow
// a smooth signal, and what the prediction misses is binarised
// into a zero flag, a sign and an Elias-gamma magnitude (the length of its
// binary form in unary, then the bits below its leading one), every decision
// coded by the adaptive binary coder of binrans in a context of the two
// misses before it.
#pragma once

#include <array>
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

// A long predictor, for residuals that follow a smooth signal (those of an
// empty or a coarse base): q[i] is predicted as
// floor((w[0] q[i-1] + ... + w[order-1] q[i-order] + h) / 2^shift), with
// h = floor(2^shift / 2), within +-kLargestResidual (earlier residuals taken
// as 0). The weights are below 2^15 in magnitude and the residuals below
// 2^24, so every partial sum of up to 32 products is an integer below 2^44,
// exact in double precision in any order. Order 0: none (the short predictor
// applies).
inline constexpr std::size_t kLongestOrder = 32;
inline constexpr std::uint8_t kLargestShift = 15;
struct LongPredictor {
    std::uint8_t order = 0, shift = 0;
    std::array<std::int16_t, kLongestOrder> weights{};
};

// The misses of q under lp, blocks of `block` residuals each on its own (the
// first block's as decoding has them): what is coded with no short
// predictor. A kFree residual takes its prediction and misses by 0.
void long_misses(std::span<const std::int32_t> q, std::size_t block, const LongPredictor& lp,
                 std::span<std::int32_t> misses);

// Residuals that sit about an offset the base leaves (most of them closer to
// the one before than to 0; blocks of `block` each on its own) may code in
// fewer bits predicted by the one before than by the least-squares fit, which
// a few large residuals sway towards none: kPrevious is weighed beside the
// fit where this holds.
inline constexpr Predictor kPrevious{32, 0};
bool follows_previous(std::span<const std::int32_t> q, std::size_t block);
// ... where the fit predicts next to nothing (weights below 1/2).
bool weighs_previous(Predictor fitted, std::span<const std::int32_t> q, std::size_t block);

// The predictor of least squared misses over q, its weights rounded to 1/32;
// q may be blocks of `block` residuals back to back, each fitted on its own.
Predictor fit_predictor(std::span<const std::int32_t> q, std::size_t block);
Predictor fit_predictor(std::span<const std::int32_t> q);

// A predictor fitted to residuals that sampling_for() takes whole, as one
// block, and the bits they take with it (what residual_bits() counts before
// it scales); and the long predictor weighed beside it, if any, with its
// bits on the same scale.
struct Fitted {
    Predictor p;
    double bits = 0.0;
    LongPredictor lp;
    double long_bits = 0.0;
};

// A long predictor is not fitted to fewer residuals than this: a short
// signal's gain hardly pays for the weights and the fit.
inline constexpr std::size_t kLongFrom = 2048;

// Whether two weights predict the blocks of `block` residuals of q closely
// (miss less than a quarter of their energy): where a long predictor may be
// worth fitting.
bool two_weights_predict(std::span<const std::int32_t> q, std::size_t block);

// A long predictor for the blocks of `block` residuals of `sample` (see
// sampling_for()), when one is worth weighing (the residuals follow their
// neighbours closely): of the order a fit foretells to take fewest bits,
// with the bits of its misses and of its weights, scaled to the residuals
// that sample_bits() counts with the short predictor. Order 0: none.
// `count_misses` false: the bits are foretold from the misses' energy instead of
// counted (a quick guess, for less).
LongPredictor fit_long(std::span<const std::int32_t> sample, std::size_t block, double* bits, bool count_misses = true);

// The predictor a chunk codes q with: none, unless the one fitted to the
// blocks of q that sampling_for() takes codes them in fewer bits; then that
// one, or it refitted with each square weighed against the misses before it
// should that take fewer still; and a long predictor instead where
// fit_long() finds one that takes fewer bits than the short one chosen.
// `known`, when given, is the fits of these very residuals (a short one and
// a long one), which are then not made again. The bits of the choice are
// those of the sample. `long_too`: a long predictor is weighed at all.
Fitted predictor_for(std::span<const std::int32_t> q, const Fitted* known = nullptr, bool long_too = false);

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

// The same for all of q, from the blocks of it that sampling_for() takes.
double foretold_bits(std::span<const std::int32_t> q, Predictor p);

// The bits of the sample's blocks of `block` residuals (without scaling),
// the first `warm` residuals of every block but the first only setting up
// the contexts of the rest; those counted go to `counted`.
double sample_bits(std::span<const std::int32_t> sample, std::size_t block, Predictor p, std::size_t warm,
                   std::size_t* counted = nullptr);

// Truncated: the coded bytes end early. Damaged: they are not what an
// encoder writes.
enum class ResidualError : std::uint8_t { Truncated, Damaged };

// Decodes q.size() residuals from `coded` into q. Refuses coded bytes that
// end early (or lack the coder's state).
expected<void, ResidualError> decode_residuals(std::span<const std::uint8_t> coded, Predictor p,
                                               std::span<std::int32_t> q);

// The same residuals applied as they are decoded: samples[i] becomes
// corrected(c.kind, samples[i], q[i], c.step), with no residual kept. Refuses
// what decode_residuals refuses, leaving the samples partly corrected.
expected<void, ResidualError> correct_samples(std::span<const std::uint8_t> coded, Predictor p, Correction c,
                                              std::span<float> samples);

// How a long predictor's misses are coded: as residuals without a
// prediction (encode_residuals), or tabled (encode_tabled, in tabled.hpp).
enum class MissCode : std::uint8_t { Adaptive, Tabled };

// The same for residuals coded as their misses under a long predictor.
expected<void, ResidualError> decode_residuals(std::span<const std::uint8_t> coded, const LongPredictor& lp,
                                               MissCode code, std::span<std::int32_t> q);
expected<void, ResidualError> correct_samples(std::span<const std::uint8_t> coded, const LongPredictor& lp,
                                              MissCode code, Correction c, std::span<float> samples);

}  // namespace corvane::refine
