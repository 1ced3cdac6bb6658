// The stages of the error-target search that compress_to_target() drives:
// the signal transformed once, a candidate reconstructed exactly as the
// decoder would (exact.cpp), and a candidate's size and error
// predicted from per-band statistics of the coefficients
// (estimate.cpp).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "corvane/corvane.hpp"
#include "src/codec/compressor.hpp"
#include "src/codec/forward.hpp"
#include "src/codec/inverse.hpp"
#include "src/entropy/payload.hpp"
#include "src/format/bands.hpp"
#include "src/format/quantiser.hpp"
#include "wavelet/dwt_executor.hpp"

namespace corvane::tuning {

// What a target search refuses before it starts: what compress() refuses of
// the samples, method and coder (with its texts), a bound that is negative or
// not finite, a reference of another length, and non-finite samples (no
// decoded value lies within any distance of them).
expected<void, CorvaneError> check_arguments(std::span<const float> samples, const CompressionConfig& config,
                                             ErrorTarget target, std::span<const double> reference);

// The sum of squared deviations from the mean that a PRD divides by: 0 for
// samples that are all equal (a constant signal), whatever the rounding of
// their mean.
double spread_squares(std::span<const double> x);
double spread_squares(std::span<const float> x);

// The sum of squared differences a PRD takes, x[i] - y[i] in double
// precision; every measure of it sums in this one order.
double squared_difference(std::span<const double> x, std::span<const float> y);
double squared_difference(std::span<const float> x, std::span<const float> y);

// ------------------------------------------------------------------ the transform, once

struct Transformed {
    Method method = Method::Cdf97;
    std::shared_ptr<wavelet::DwtExecutor> executor;
    std::uint8_t levels = 0;
    std::size_t n = 0;
    float min = 0.0f, max = 0.0f, mean = 0.0f;
    std::vector<std::vector<float>> bands;  // stream order: coarsest approximation, details finest first
    std::vector<float> band_peaks;          // each band's largest coefficient magnitude
    float peak = 0.0f;                      // the largest of them
};

// The compressor's own forward pipeline, its bands kept unquantised.
expected<Transformed, CorvaneError> transform(std::span<const float> samples, Method method);

// The largest multiplier that keeps every coefficient inside the 16-bit
// range: the compressor's own rule, asked about a multiplier beyond any that
// could fit. (A signal without coefficients takes any; 2^15 will do.)
float largest_multiplier(float peak);

// Every band quantised with the given multiplier and dead zone, as the
// compressor quantises them for its coder.
QuantisedBands quantise_bands(const Transformed& t, float m, int threshold);

// The samples a stream decodes to, as decompress() gives them: a stream
// encode_stream() wrote with every band zeros (whose payload was decoded and
// checked when it was first coded) is not decoded again, as its bands are
// zeros and so is all the inverse transform makes of them.
expected<std::vector<float>, CorvaneError> decode_stream(std::span<const std::uint8_t> stream);

// Working memory that one reconstruction leaves to the next.
struct Reconstruction {
    std::vector<std::size_t> lengths;
    std::vector<std::int16_t> quantised;
    InverseWork work;
    std::vector<float> samples;  // the last reconstruction's
};

// The samples a stream of the given multiplier and dead zone decodes to:
// the compressor's quantiser, then the decoder's own inverse pipeline
// (held in `scratch` until its next reconstruction).
expected<std::span<const float>, CorvaneError> reconstruct(const Transformed& t, float m, int threshold,
                                                           Reconstruction& scratch);

// The stream compress() writes for the samples at the given multiplier and
// dead zone (`threshold`, which `scale` and the configuration's cutoff give),
// from the coefficients at hand.
expected<std::vector<std::uint8_t>, CorvaneError> encode_stream(const Transformed& t, const CompressionConfig& config,
                                                                std::uint8_t scale, int threshold, float m);

// The empty base: the stream of multiplier m (one at which every coefficient
// quantises to zero) whose header holds `mean` in place of the samples' own.
// Its samples all decode to min + range * mean, whatever finite mean that
// is, so an encoder may place them at any level; reconstruct_empty() gives
// them as the decoder does.
expected<std::vector<std::uint8_t>, CorvaneError> encode_empty_stream(const Transformed& t,
                                                                      const CompressionConfig& config,
                                                                      std::uint8_t scale, float m, float mean);
expected<std::span<const float>, CorvaneError> reconstruct_empty(const Transformed& t, float mean,
                                                                 Reconstruction& scratch);

// ------------------------------------------------------------------ predictions

// The energy a unit coefficient of each band (stream order) puts into the
// reconstruction: quantisation errors of a band reach the signal with this
// weight. Measured once per method and level count.
const std::vector<double>& band_gains(Method method, std::uint8_t levels);

// Coefficient magnitudes of each band in bins of 1/32 octave (the top bits of
// their float representation), with the count, sum and sum of squares of
// each bin; and, for the coefficient model's zero flag, which is coded in the
// context of the previous flag, the larger magnitude of each coefficient and
// its predecessor in the same bins: a pair is zero, zero exactly when that
// larger magnitude quantises to zero. Everything far below the largest
// coefficient quantises to zero at any usable multiplier and is only counted.
// Bins are 1/32 octave wide for long signals and coarser for short ones,
// whose estimates would otherwise cost more than their coding.
constexpr int kOctavesBelowPeak = 17;

struct Bin {
    double count = 0.0, sum = 0.0, squares = 0.0, pairs = 0.0;
    std::uint32_t key = 0;
};

// Running totals over a band's bins, from its first bin up to one.
struct BinTotals {
    double count = 0.0, squares = 0.0, pairs = 0.0;
    double spread = 0.0;  // sum of count * log2(bin width / count): the magnitude bits at unit multiplier
};

struct BandStatistics {
    double gain = 1.0;
    bool thresholded = true;
    double size = 0.0;
    float peak = 0.0f;
    double small_count = 0.0, small_squares = 0.0, small_pairs = 0.0;
    std::vector<Bin> bins;          // the occupied bins, smallest magnitudes first
    std::vector<double> lo, hi;     // their bounds at unit multiplier
    std::vector<BinTotals> before;  // totals of bins [0, j), one more than there are bins
};

struct Statistics {
    int shift = 18;  // a bin is the float's bits above this one
    std::uint32_t first_key = 0;
    std::vector<BandStatistics> bands;

    std::uint32_t key_of(float magnitude) const { return std::bit_cast<std::uint32_t>(magnitude) >> shift; }
    float bin_start(std::uint32_t key) const { return std::bit_cast<float>(key << shift); }
};

Statistics gather(const Transformed& t);

struct Estimate {
    double squares = 0.0;  // sum of the band-weighted squared coefficient errors
    double bits = 0.0;     // payload size
};

// The predicted size and weighted squared error of the stream of multiplier
// `m` and dead-zone `threshold`, weighting each band by `gains`.
Estimate estimate(const Statistics& s, float m, int threshold, std::span<const double> gains);

// Its squares alone, for less.
double estimated_squares(const Statistics& s, float m, int threshold, std::span<const double> gains);

}  // namespace corvane::tuning
