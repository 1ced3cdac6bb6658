#include "corvane/corvane.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "src/compressor.hpp"
#include "src/decompressor.hpp"
#include "src/tuning.hpp"

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
constexpr DeadZone kDeadZones[] = {
    {0, 6, Cutoff::Low},     {1, 8, Cutoff::Low},     {2, 10, Cutoff::Low},
    {3, 12, Cutoff::Low},    {6, 10, Cutoff::Medium}, {7, 8, Cutoff::High},
    {9, 12, Cutoff::Medium}, {14, 10, Cutoff::High},  {21, 12, Cutoff::High},
};

// ------------------------------------------------------------------ the search

constexpr float kSmallestMultiplier = 1.0f / 1024.0f;

// Whether an error meets the bound. A PRD keeps a margin of a billionth of
// the bound, which no stream notices, so that the caller's own sums, taken
// in another order, agree.
bool meets(ErrorMeasure measure, double error, double bound) {
    return measure == ErrorMeasure::Prd ? error <= bound * (1.0 - 1e-9) : error <= bound;
}

struct Candidate {
    std::size_t zone = 0;  // index into kDeadZones
    float m = 0.0f;
    double bits = 0.0;  // predicted payload
};

class Search {
public:
    Search(const Transformed& t, std::span<const double> reference64, std::span<const float> reference32,
           ErrorTarget target)
        : t_(t), ref64_(reference64), ref32_(reference32), target_(target), cap_(largest_multiplier(t.peak)) {}

    float cap() const { return cap_; }

    expected<double, CorvaneError> exact(float m, int threshold) const {
        auto y = reconstruct(t_, m, threshold);
        if (!y) return unexpected(std::move(y).error());
        return error_of(*y);
    }

    double error_of(std::span<const float> y) const {
        return ref64_.empty() ? measure_error(target_.measure, ref32_, y) : measure_error(target_.measure, ref64_, y);
    }

    // The error the statistics predict, before calibration: PRD from the
    // weighted squared errors, or their root mean square for the largest error.
    double raw_error(float m, int threshold, double* bits = nullptr) const {
        const Estimate e = estimate(stats_, m, threshold, *gains_);
        if (bits != nullptr) *bits = e.bits;
        const double range = static_cast<double>(t_.max) - static_cast<double>(t_.min);
        const double root = range * std::sqrt(std::max(e.squares, 0.0));
        if (target_.measure == ErrorMeasure::Prd) return spread_ > 0.0 ? 100.0 * root / spread_ : root;
        return root / std::sqrt(static_cast<double>(t_.n));
    }

    void prepare(double finest_error) {
        stats_ = gather(t_);
        gains_ = &band_gains(t_.method, t_.levels);
        if (target_.measure == ErrorMeasure::Prd) {
            double mean = 0.0, spread = 0.0;
            const std::size_t n = t_.n;
            for (std::size_t i = 0; i < n; ++i) mean += reference(i);
            mean /= static_cast<double>(n);
            for (std::size_t i = 0; i < n; ++i) spread += (reference(i) - mean) * (reference(i) - mean);
            spread_ = std::sqrt(spread);
        }
        const double raw = raw_error(cap_, 0);
        calibration_ = raw > 0.0 && finest_error > 0.0 ? finest_error / raw : 1.0;
    }

    // The multiplier at which the prediction, times `calibration`, meets
    // `goal` for one dead zone (a secant on log error against log
    // multiplier), and the predicted size there.
    double solve(int threshold, double start, double goal, double calibration, double* bits) const {
        const double aim = goal / calibration;
        double m = std::clamp(start, static_cast<double>(kSmallestMultiplier), static_cast<double>(cap_));
        double previous_m = 0.0, previous_err = 0.0;
        for (int step = 0; step < 6; ++step) {
            const double err = raw_error(static_cast<float>(m), threshold, bits);
            if (!(err > 0.0)) return kSmallestMultiplier;
            double slope = 1.0;
            if (previous_m > 0.0 && previous_m != m && previous_err > 0.0)
                slope = std::clamp(-std::log(err / previous_err) / std::log(m / previous_m), 0.25, 4.0);
            previous_m = m;
            previous_err = err;
            const double next = std::clamp(m * std::pow(err / aim, 1.0 / slope),
                                           static_cast<double>(kSmallestMultiplier), static_cast<double>(cap_));
            const bool settled = std::abs(next / m - 1.0) < 0.002;
            m = next;
            if (settled) break;
        }
        return m;
    }

    // The prediction for one dead zone; nothing when not even the largest
    // multiplier meets the bound.
    std::optional<Candidate> predict(std::size_t zone, float start) const {
        const int threshold = kDeadZones[zone].threshold;
        double bits = 0.0;
        const auto m = static_cast<float>(solve(threshold, start, target_.bound, calibration_, &bits));
        if (raw_error(m, threshold, &bits) * calibration_ > target_.bound * 1.05) return std::nullopt;
        return Candidate{zone, m, bits};
    }

    // The smallest multiplier near the prediction whose exact error meets the
    // bound. Each exact evaluation recalibrates the prediction where it was
    // taken, and the prediction, so corrected, proposes the next multiplier,
    // inside a bracket that the evaluations narrow.
    expected<std::optional<Candidate>, CorvaneError> refine(Candidate c, int evaluations) const {
        const int threshold = kDeadZones[c.zone].threshold;
        double failing = 0.0;  // largest multiplier known to miss
        double passing = 0.0;  // smallest multiplier known to meet
        double m = c.m;
        for (int step = 0; step < evaluations; ++step) {
            const auto mf = static_cast<float>(m);
            auto err = exact(mf, threshold);
            if (!err) return unexpected(std::move(err).error());
            if (meets(target_.measure, *err, target_.bound)) {
                if (passing == 0.0 || m < passing) passing = m;
                if (*err >= target_.bound * 0.995) break;
            } else {
                failing = std::max(failing, m);
                if (mf >= cap_) break;
            }
            if (passing > 0.0 && failing > 0.0 && passing <= failing * 1.002) break;
            double bits = 0.0;
            const double raw = raw_error(mf, threshold, &bits);
            // after a miss, aim further inside and step at least a little
            const bool missed = passing != m;
            double next = raw > 0.0 && *err > 0.0
                              ? solve(threshold, m, target_.bound * (missed ? 0.996 : 0.998), *err / raw, &bits)
                              : static_cast<double>(kSmallestMultiplier);
            if (missed) next = std::max(next, m * 1.003);
            const double lo = failing > 0.0 ? failing : kSmallestMultiplier;
            const double hi = passing > 0.0 ? passing : static_cast<double>(cap_);
            if (next <= lo || next >= hi) {
                // The prediction points outside what is known: halve the
                // bracket, or without one step as error ~ 1/m would.
                next = failing > 0.0 && passing > 0.0
                           ? std::sqrt(lo * hi)
                           : std::clamp(m * *err / (target_.bound * 0.998), lo * 1.01, hi / 1.003);
            }
            m = std::min(next, static_cast<double>(cap_));
        }
        if (passing == 0.0) return std::optional<Candidate>{};
        double bits = 0.0;
        const auto m_passing = static_cast<float>(passing);
        raw_error(m_passing, threshold, &bits);
        return std::optional<Candidate>{Candidate{c.zone, m_passing, bits}};
    }

private:
    double reference(std::size_t i) const {
        return ref64_.empty() ? static_cast<double>(ref32_[i]) : ref64_[i];
    }

    const Transformed& t_;
    std::span<const double> ref64_;
    std::span<const float> ref32_;
    ErrorTarget target_;
    float cap_;
    Statistics stats_;
    const std::vector<double>* gains_ = nullptr;
    double spread_ = 0.0;
    double calibration_ = 1.0;
};

bool all_finite(std::span<const float> x) {
    return std::all_of(x.begin(), x.end(), [](float v) { return std::isfinite(v); });
}

}  // namespace


expected<TunedStream, TuningError> compress_to_target(std::span<const float> samples,
                                                      const CompressionConfig& config, ErrorTarget target,
                                                      std::span<const double> reference) {
    const std::size_t n = samples.size();
    if (n == 0 || n > kMaxSamples) {
        // the compressor's own refusal
        auto refused = compress(samples, config);
        if (!refused) return unexpected(TuningError(std::move(refused).error()));
    }
    if (!(target.bound >= 0.0) || !std::isfinite(target.bound)) {
        return unexpected(TuningError(CorvaneError::unsupported_configuration(
            "Can't aim for an error that is negative or not finite")));
    }
    if (!reference.empty() && reference.size() != n) {
        return unexpected(TuningError(CorvaneError::unsupported_configuration(
            "Reference and samples differ in length")));
    }
    const bool finite = reference.empty() ? all_finite(samples)
                                          : std::all_of(reference.begin(), reference.end(),
                                                        [](double v) { return std::isfinite(v); });
    if (!finite) {
        return unexpected(TuningError(CorvaneError::unsupported_configuration(
            "Can't keep an error bound on NaN or infinite samples")));
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

    Candidate chosen{0, search.cap(), 0.0};
    if (*finest > 0.0 && target.bound > 0.0) {
        search.prepare(*finest);
        // Every dead zone at the multiplier the statistics predict, smallest
        // predicted stream first; the best two are then settled exactly.
        const auto start = static_cast<float>(static_cast<double>(search.cap()) * *finest / target.bound);
        std::vector<Candidate> predicted;
        for (std::size_t zone = 0; zone < std::size(kDeadZones); ++zone) {
            if (auto c = search.predict(zone, predicted.empty() ? start : predicted.back().m)) predicted.push_back(*c);
        }
        std::sort(predicted.begin(), predicted.end(),
                  [](const Candidate& a, const Candidate& b) { return a.bits < b.bits; });
        double best_bits = std::numeric_limits<double>::infinity();
        for (std::size_t i = 0; i < std::min<std::size_t>(predicted.size(), 2); ++i) {
            // A runner-up well behind is not worth settling; how far behind
            // depends on how well the measure is predicted (a PRD closely).
            const double behind = target.measure == ErrorMeasure::Prd ? 1.03 : 1.25;
            if (i > 0 && predicted[i].bits > predicted[0].bits * behind) break;
            auto settled = search.refine(predicted[i], 6);
            if (!settled) return unexpected(TuningError(std::move(settled).error()));
            if (*settled && (*settled)->bits < best_bits) {
                best_bits = (*settled)->bits;
                chosen = **settled;
            }
        }
    }

    // One encode, one decode, and the error measured on what was decoded.
    // Should the check ever fail, the finest stream is the safe step back.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DeadZone& zone = kDeadZones[chosen.zone];
        CompressionConfig tuned = config;
        tuned.scale = zone.scale;
        tuned.cutoff = zone.cutoff;
        tuned.quant_multiplier = chosen.m;
        auto stream = compress(samples, tuned);
        if (!stream) return unexpected(TuningError(std::move(stream).error()));
        auto decoded = decompress(*stream);
        if (!decoded) return unexpected(TuningError(std::move(decoded).error()));
        const double error = search.error_of(*decoded);
        if (meets(target.measure, error, target.bound)) {
            return TunedStream{std::move(*stream), error, chosen.m, zone.scale, zone.cutoff};
        }
        if (attempt == 1) return unexpected(TuningError(UnreachableTarget{target.measure, error}));
        chosen = Candidate{0, search.cap(), 0.0};
    }
    return unexpected(TuningError(UnreachableTarget{target.measure, *finest}));
}

}  // namespace corvane
