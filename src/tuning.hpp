// Error targets: the smallest stream whose decoded samples stay within a given
// error of the input. The stream is an ordinary one; what the search chooses
// (the multiplier, and the dead zone through scale and cutoff) is all in its
// header. The method and the coder stay the ones configured.
//
// Cost: the signal is normalised and transformed once. Candidates are sized
// and their errors predicted from per-band statistics of the coefficients;
// the few most promising are quantised and reconstructed exactly (the
// decoder's own arithmetic), and the chosen one is encoded once and decoded
// once to check it. A candidate that fails the check is never returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "src/config.hpp"
#include "src/error.hpp"
#include "corvane/expected.hpp"

namespace corvane {

enum class ErrorMeasure : std::uint8_t {
    // The largest |x[i] - y[i]|, in the signal's units.
    MaxAbs = 0,
    // Percent root-mean-square difference with the mean removed:
    // 100 * ||x - y|| / ||x - mean(x)||. A constant signal has a PRD of 0
    // when it decodes to its value in single precision, and none (infinity)
    // otherwise.
    Prd = 1,
};

struct ErrorTarget {
    ErrorMeasure measure = ErrorMeasure::MaxAbs;
    double bound = 0.0;  // finite and >= 0
};

// The error of `decoded` against `reference`, as `measure` defines it, in
// double precision. A PRD without a defined value (reference with no spread,
// decoded differs) is +infinity. Sizes must agree.
double measure_error(ErrorMeasure measure, std::span<const double> reference, std::span<const float> decoded);
double measure_error(ErrorMeasure measure, std::span<const float> reference, std::span<const float> decoded);

struct TunedStream {
    std::vector<std::uint8_t> stream;
    double error = 0.0;  // of the stream as decoded, measured
    float multiplier = 0.0f;
    std::uint8_t scale = 0;
    Cutoff cutoff = Cutoff::Low;
};

// The target is finer than any stream of the configured method can keep:
// `best` is the smallest error reachable (the largest multiplier that keeps
// every coefficient inside 16 bits, no dead zone).
struct UnreachableTarget {
    ErrorMeasure measure = ErrorMeasure::MaxAbs;
    double best = 0.0;
};

using TuningError = std::variant<CorvaneError, UnreachableTarget>;

// Compresses `samples` with `config`'s method and coder into the smallest
// stream the search finds whose decoded samples meet `target` against
// `reference` (the samples as the caller holds them, in double precision),
// or against the samples themselves when `reference` is empty. The
// configuration's scale, cutoff and multiplier are not used. Non-finite
// samples are refused: no decoded value lies within any distance of them.
expected<TunedStream, TuningError> compress_to_target(std::span<const float> samples,
                                                      const CompressionConfig& config, ErrorTarget target,
                                                      std::span<const double> reference = {});

}  // namespace corvane
