#include "corvane/corvane.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "src/codec/compressor.hpp"
#include "src/format/parameters.hpp"
#include "src/codec/decompressor.hpp"
#include "src/format/header.hpp"
#include "src/target/stages.hpp"

namespace corvane {

namespace {

using namespace tuning;

// The dead zones a stream can carry: the threshold follows from scale and
// cutoff alone, whatever the multiplier.
struct DeadZone {
    int threshold;
    std::uint8_t scale;
    Cutoff cutoff;
};
// (A threshold of 1, scale 8 with the low cutoff, zeroes what truncation
// zeroes anyway: its streams are those of threshold 0 and are not searched.)
constexpr DeadZone kDeadZones[] = {
    {0, 6, Cutoff::Low},     {2, 10, Cutoff::Low},    {3, 12, Cutoff::Low},  {6, 10, Cutoff::Medium},
    {7, 8, Cutoff::High},    {9, 12, Cutoff::Medium}, {14, 10, Cutoff::High}, {21, 12, Cutoff::High},
};

// ------------------------------------------------------------------ the search

constexpr float kSmallestMultiplier = 1.0f / 1024.0f;

// The steps a largest-error target tries below where it settled.
constexpr int kStepsBelow = 3;
constexpr double kStepBelow = 0.98;

// The search's settings. Each trades evaluations (an exact reconstruction
// apiece) against how close the result comes to the smallest stream.
// A PRD moves smoothly with the multiplier and is predicted closely; the
// largest error jumps about, so its settings are looser.
constexpr double kPrdMargin = 1e-9;           // of the bound a PRD keeps back, for sums taken in another order
constexpr double kAcceptPrd = 0.992;          // a PRD this close under the bound settles a candidate
constexpr double kAcceptLargest = 0.95;       // a largest error this close under the bound settles one
constexpr double kPredictionSlopeLow = 0.25;  // log error against log multiplier, as predicted
constexpr double kPredictionSlopeHigh = 4.0;
constexpr double kExactSlopeLow = 0.5;        // ... as measured, from exact errors (noisier)
constexpr double kExactSlopeHigh = 2.0;
constexpr double kSettled = 0.005;            // a prediction step this small ends the prediction
constexpr double kOutOfReach = 1.05;          // predicted error over the bound at the largest multiplier
constexpr double kWalkBehind = 1.04;          // a dead zone this far behind the best counts as worse
constexpr int kWorseInARow = 2;               // ... and this many in a row end the walk
constexpr double kRunnerUpLargest = 1.25;     // a runner-up predicted further behind is not settled
constexpr double kRunnerUpPrd = 1.03;
constexpr double kRecheckLargest = 1.02;      // nor one that, predicted again, no longer promises less
constexpr double kRecheckPrd = 1.005;
constexpr int kFirstEvaluations = 6;          // exact evaluations to settle the best-predicted candidate
constexpr int kRunnerUpEvaluationsPrd = 4;    // ... and the runner-up
constexpr int kRunnerUpEvaluationsLargest = 3;

// Whether an error meets the bound. A PRD keeps a margin of a billionth of
// the bound, which no stream notices, so that the caller's own sums, taken
// in another order, agree.
bool meets(ErrorMeasure measure, double error, double bound) {
    return measure == ErrorMeasure::Prd ? error <= bound * (1.0 - kPrdMargin) : error <= bound;
}

struct Candidate {
    std::size_t zone = 0;  // index into kDeadZones
    float m = 0.0f;
    double bits = 0.0;   // predicted payload
    double slope = 1.0;  // of log error against log multiplier, where predicted
    double raw = 0.0;    // the uncalibrated predicted error there
};

class Search {
public:
    Search(const Transformed& t, std::span<const double> reference64, std::span<const float> reference32,
           ErrorTarget target)
        : t_(t), ref64_(reference64), ref32_(reference32), target_(target), cap_(largest_multiplier(t.peak)) {
        if (target_.measure == ErrorMeasure::Prd) {
            // the reference's spread, as measure_error takes it
            spread_squares_ = ref64_.empty() ? spread_squares(ref32_) : spread_squares(ref64_);
        }
    }

    float cap() const { return cap_; }

    // The error of the stream of multiplier m and dead-zone threshold,
    // reconstructed exactly.
    expected<double, CorvaneError> exact(float m, int threshold) {
        auto y = reconstruct(t_, m, threshold, scratch_);
        if (!y) return unexpected(std::move(y).error());
        return error_of(*y);
    }

    // What measure_error gives for decoded samples y: its sums, with the
    // reference's spread, for a PRD, taken once for the whole search.
    double error_of(std::span<const float> y) const {
        if (target_.measure == ErrorMeasure::Prd && spread_squares_ > 0.0) {
            const double diff = ref64_.empty() ? squared_difference(ref32_, y) : squared_difference(ref64_, y);
            return diff == 0.0 ? 0.0 : 100.0 * std::sqrt(diff / spread_squares_);
        }
        return ref64_.empty() ? measure_error(target_.measure, ref32_, y) : measure_error(target_.measure, ref64_, y);
    }

    // The error the statistics predict, before calibration: PRD from the
    // weighted squared errors, or their root mean square for the largest error.
    // The predicted size too, where asked for (the error alone costs less).
    double raw_error(float m, int threshold, double* bits = nullptr) const {
        double squares = 0.0;
        if (bits != nullptr) {
            const Estimate e = estimate(stats_, m, threshold, *gains_);
            *bits = e.bits;
            squares = e.squares;
        } else {
            squares = estimated_squares(stats_, m, threshold, *gains_);
        }
        const double range = static_cast<double>(t_.max) - static_cast<double>(t_.min);
        const double root = range * std::sqrt(std::max(squares, 0.0));
        if (target_.measure == ErrorMeasure::Prd) {
            return spread_squares_ > 0.0 ? 100.0 * root / std::sqrt(spread_squares_) : root;
        }
        return root / std::sqrt(static_cast<double>(t_.n));
    }

    // The statistics, and the prediction calibrated against the finest stream.
    void prepare(double finest_error) {
        stats_ = gather(t_);
        gains_ = &band_gains(t_.method, t_.levels);
        calibrate(cap_, 0, finest_error);
    }

    // Scales the prediction to meet an exact error where it was taken; the
    // predicted size there.
    double calibrate(float m, int threshold, double exact_error) {
        double bits = 0.0;
        const double raw = raw_error(m, threshold, &bits);
        calibration_ = raw > 0.0 && exact_error > 0.0 ? exact_error / raw : 1.0;
        return bits;
    }

    // The multiplier at which the calibrated prediction meets the bound for
    // one dead zone (a secant on log error against log multiplier, from the
    // slope given), the predicted size there, and the secant's slope; nothing
    // when not even the largest multiplier meets the bound.
    std::optional<Candidate> predict(std::size_t zone, double start, double slope) const {
        const int threshold = kDeadZones[zone].threshold;
        const double aim = target_.bound / calibration_;
        double m = std::clamp(start, static_cast<double>(kSmallestMultiplier), static_cast<double>(cap_));
        double previous_m = 0.0, previous_err = 0.0, bits = 0.0, err = 0.0;
        // (the errors alone steer the secant; the size is that of the last
        // multiplier whose error was taken)
        for (int step = 0; step < 6; ++step) {
            err = raw_error(static_cast<float>(m), threshold);
            if (!(err > 0.0)) {
                raw_error(static_cast<float>(m), threshold, &bits);
                return Candidate{zone, kSmallestMultiplier, bits, slope, 0.0};
            }
            if (previous_m > 0.0 && previous_m != m && previous_err > 0.0)
                slope = std::clamp(-std::log(err / previous_err) / std::log(m / previous_m), kPredictionSlopeLow, kPredictionSlopeHigh);
            previous_m = m;
            previous_err = err;
            const double next = std::clamp(m * std::pow(err / aim, 1.0 / slope),
                                           static_cast<double>(kSmallestMultiplier), static_cast<double>(cap_));
            if (std::abs(next / m - 1.0) < kSettled) break;
            m = next;
        }
        if (m >= cap_ && err > aim * kOutOfReach) return std::nullopt;
        raw_error(static_cast<float>(previous_m), threshold, &bits);
        return Candidate{zone, static_cast<float>(m), bits, slope, err};
    }

    // The smallest multiplier near the prediction whose exact error meets the
    // bound: a secant on the exact errors (log error against log multiplier),
    // from the prediction's slope over a wider step, inside a bracket the
    // evaluations narrow. Errors a little under the bound are accepted; how
    // far under depends on how noisily the measure moves with the
    // multiplier. The prediction is calibrated again where it settles.
    expected<std::optional<Candidate>, CorvaneError> refine(Candidate c, int evaluations) {
        const int threshold = kDeadZones[c.zone].threshold;
        const double accept = target_.measure == ErrorMeasure::Prd ? kAcceptPrd : kAcceptLargest;
        const double raw = c.raw > 0.0 ? c.raw : raw_error(c.m, threshold);
        const double wider = raw_error(c.m * 1.1f, threshold);
        double slope = raw > 0.0 && wider > 0.0 ? std::clamp(-std::log(wider / raw) / std::log(1.1), kExactSlopeLow, kExactSlopeHigh) : 1.0;
        double failing = 0.0;  // largest multiplier known to miss
        double passing = 0.0;  // smallest multiplier known to meet
        double passing_error = 0.0;
        double m = c.m;
        double previous_m = 0.0, previous_err = 0.0;
        for (int step = 0; step < evaluations; ++step) {
            const auto mf = static_cast<float>(m);
            auto err = exact(mf, threshold);
            if (!err) return unexpected(std::move(err).error());
            const bool met = meets(target_.measure, *err, target_.bound);
            if (met) {
                if (passing == 0.0 || m < passing) {
                    passing = m;
                    passing_error = *err;
                }
                if (*err >= target_.bound * accept) break;
            } else {
                failing = std::max(failing, m);
                if (mf >= cap_) break;
            }
            if (passing > 0.0 && failing > 0.0 && passing <= failing * 1.002) break;
            if (!(*err > 0.0)) break;  // exact already: nothing to aim with
            if (previous_m > 0.0 && std::abs(std::log(m / previous_m)) > 1e-3 && previous_err > 0.0)
                slope = std::clamp(-std::log(*err / previous_err) / std::log(m / previous_m), kExactSlopeLow, kExactSlopeHigh);
            previous_m = m;
            previous_err = *err;
            // after a miss, aim further inside and step at least a little
            double next = m * std::pow(*err / (target_.bound * (met ? 0.997 : 0.995)), 1.0 / slope);
            if (!met) next = std::max(next, m * 1.003);
            const double lo = failing > 0.0 ? failing : m / 1.5;
            const double hi = passing > 0.0 ? passing : m * 1.5;
            if (next <= lo || next >= hi) {
                // The secant points outside what is known: halve the
                // bracket, or step at most half as far again.
                next = failing > 0.0 && passing > 0.0 ? std::sqrt(lo * hi) : std::clamp(next, lo, hi);
            }
            m = std::clamp(next, static_cast<double>(kSmallestMultiplier), static_cast<double>(cap_));
        }
        if (passing == 0.0) return std::optional<Candidate>{};
        const auto m_passing = static_cast<float>(passing);
        const double bits = calibrate(m_passing, threshold, passing_error);
        return std::optional<Candidate>{Candidate{c.zone, m_passing, bits, slope, 0.0}};
    }

    // The largest error moves unevenly with the multiplier, and smaller
    // multipliers a little below where a candidate settled often keep the
    // bound too: a few steps down, until two in a row miss; the smallest
    // that keeps it.
    expected<float, CorvaneError> lower(const Candidate& c) {
        const int threshold = kDeadZones[c.zone].threshold;
        double below = c.m, lowest = c.m;
        for (int step = 0, misses = 0; step < kStepsBelow && misses < 2; ++step) {
            below *= kStepBelow;
            auto err = exact(static_cast<float>(below), threshold);
            if (!err) return unexpected(std::move(err).error());
            if (meets(target_.measure, *err, target_.bound)) {
                lowest = below;
                misses = 0;
            } else {
                ++misses;
            }
        }
        return static_cast<float>(lowest);
    }

private:
    const Transformed& t_;
    std::span<const double> ref64_;
    std::span<const float> ref32_;
    ErrorTarget target_;
    float cap_;
    Statistics stats_;
    const std::vector<double>* gains_ = nullptr;
    double spread_squares_ = 0.0;
    double calibration_ = 1.0;
    Reconstruction scratch_;
};

bool all_finite(std::span<const float> x) {
    return std::all_of(x.begin(), x.end(), [](float v) { return std::isfinite(v); });
}

}  // namespace

namespace tuning {

expected<void, CorvaneError> check_arguments(std::span<const float> samples, const CompressionConfig& config,
                                             ErrorTarget target, std::span<const double> reference) {
    const std::size_t n = samples.size();
    // the texts compress() gives for the same faults
    if (n == 0) return unexpected(CorvaneError::unsupported_configuration("Can't compress empty data"));
    if (n > kMaxSamples) {
        return unexpected(CorvaneError::unsupported_configuration("Can't compress more than " +
                                                                  std::to_string(kMaxSamples) + " samples"));
    }
    // (scale, cutoff and multiplier are the search's own choice)
    if (!is_valid(config.method) || !is_valid(config.coder)) {
        return unexpected(CorvaneError::unsupported_configuration("Unknown method, cutoff or coder value"));
    }
    if (!(target.bound >= 0.0) || !std::isfinite(target.bound)) {
        return unexpected(CorvaneError::unsupported_configuration("Can't aim for an error that is negative or not finite"));
    }
    if (!reference.empty() && reference.size() != n) {
        return unexpected(CorvaneError::unsupported_configuration("Reference and samples differ in length"));
    }
    const bool finite = reference.empty() ? all_finite(samples)
                                          : std::all_of(reference.begin(), reference.end(),
                                                        [](double v) { return std::isfinite(v); });
    if (!finite) return unexpected(CorvaneError::unsupported_configuration("Can't keep an error bound on NaN or infinite samples"));
    return {};
}

}  // namespace tuning

expected<TunedStream, TuningError> compress_to_target(std::span<const float> samples,
                                                      const CompressionConfig& config, ErrorTarget target,
                                                      std::span<const double> reference) {
    if (auto refused = check_arguments(samples, config, target, reference); !refused) {
        return unexpected(TuningError(std::move(refused).error()));
    }
    auto t = transform(samples, config.method);
    if (!t) return unexpected(TuningError(std::move(t).error()));
    Search search(*t, reference, samples, target);

    // The finest stream there is: the largest multiplier, no dead zone.
    auto finest = search.exact(search.cap(), 0);
    if (!finest) return unexpected(TuningError(std::move(finest).error()));
    if (!meets(target.measure, *finest, target.bound)) {
        // (a PRD bound keeps its margin: the figure named is one that holds)
        const double best = target.measure == ErrorMeasure::Prd ? *finest * (1.0 + 2e-9) : *finest;
        return unexpected(TuningError(UnreachableTarget{target.measure, best}));
    }

    Candidate chosen{0, search.cap(), 0.0, 1.0, 0.0};
    if (*finest > 0.0 && target.bound > 0.0) {
        search.prepare(*finest);
        // Every dead zone at the multiplier the statistics predict, smallest
        // predicted stream first; the best two are then settled exactly.
        const auto start = static_cast<float>(static_cast<double>(search.cap()) * *finest / target.bound);
        std::vector<Candidate> predicted;
        double fewest = std::numeric_limits<double>::infinity();
        int worse = 0;
        for (std::size_t zone = 0; zone < std::size(kDeadZones); ++zone) {
            const auto c = predicted.empty() ? search.predict(zone, start, 1.0)
                                             : search.predict(zone, predicted.back().m, predicted.back().slope);
            if (!c) continue;
            predicted.push_back(*c);
            // Sizes grow steadily once the dead zone is wider than suits the
            // signal: two in a row well behind the best end the walk.
            worse = c->bits > fewest * kWalkBehind ? worse + 1 : 0;
            fewest = std::min(fewest, c->bits);
            if (worse == kWorseInARow) break;
        }
        std::sort(predicted.begin(), predicted.end(),
                  [](const Candidate& a, const Candidate& b) { return a.bits < b.bits; });
        double best_bits = std::numeric_limits<double>::infinity();
        for (std::size_t i = 0; i < std::min<std::size_t>(predicted.size(), 2); ++i) {
            // A runner-up well behind is not worth settling; how far behind
            // depends on how well the measure is predicted (a PRD closely).
            const double behind = target.measure == ErrorMeasure::Prd ? kRunnerUpPrd : kRunnerUpLargest;
            if (i > 0 && predicted[i].bits > predicted[0].bits * behind) break;
            // The runner-up is predicted again with the calibration the
            // first settled at, and settled only if it still promises a
            // smaller stream.
            const std::optional<Candidate> c =
                i == 0 ? predicted[0] : search.predict(predicted[i].zone, predicted[i].m, predicted[i].slope);
            if (!c || (i > 0 && c->bits >= best_bits * (target.measure == ErrorMeasure::Prd ? kRecheckPrd : kRecheckLargest))) continue;
            auto settled = search.refine(*c, i == 0                                  ? kFirstEvaluations
                                              : target.measure == ErrorMeasure::Prd ? kRunnerUpEvaluationsPrd
                                                                                    : kRunnerUpEvaluationsLargest);
            if (!settled) return unexpected(TuningError(std::move(settled).error()));
            if (*settled && (*settled)->bits < best_bits) {
                best_bits = (*settled)->bits;
                chosen = **settled;
            }
        }
        if (target.measure == ErrorMeasure::MaxAbs && chosen.m < search.cap()) {
            auto lowest = search.lower(chosen);
            if (!lowest) return unexpected(TuningError(std::move(lowest).error()));
            chosen.m = *lowest;
        }
    }

    // One encode, one decode, and the error measured on what was decoded.
    // Should the check ever fail, the finest stream is the safe step back.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DeadZone& zone = kDeadZones[chosen.zone];
        auto stream = encode_stream(*t, config, zone.scale, zone.threshold, chosen.m);
        if (!stream) return unexpected(TuningError(std::move(stream).error()));
        auto decoded = decompress(*stream);
        if (!decoded) return unexpected(TuningError(std::move(decoded).error()));
        const double error = search.error_of(*decoded);
        if (meets(target.measure, error, target.bound)) {
            return TunedStream{std::move(*stream), error, chosen.m, zone.scale, zone.cutoff};
        }
        if (attempt == 1) return unexpected(TuningError(UnreachableTarget{target.measure, error}));
        chosen = Candidate{0, search.cap(), 0.0, 1.0, 0.0};
    }
    return unexpected(TuningError(UnreachableTarget{target.measure, *finest}));
}

}  // namespace corvane
