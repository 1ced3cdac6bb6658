#include "corvane/corvane.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "src/compressor.hpp"
#include "src/decompressor.hpp"
#include "wavelet/dwt_executor.hpp"

namespace corvane {

namespace {

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

// ------------------------------------------------------------------ errors

template <class T>
double error_against(ErrorMeasure measure, std::span<const T> x, std::span<const float> y) {
    if (measure == ErrorMeasure::MaxAbs) {
        double worst = 0.0;
        for (std::size_t i = 0; i < x.size(); ++i) {
            const double d = std::abs(static_cast<double>(x[i]) - static_cast<double>(y[i]));
            if (!(d <= worst)) worst = d;  // a NaN difference is the worst of all
        }
        return worst;
    }
    double mean = 0.0;
    for (const T v : x) mean += static_cast<double>(v);
    mean /= static_cast<double>(x.size());
    double spread = 0.0;
    double diff = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double c = static_cast<double>(x[i]) - mean;
        const double d = static_cast<double>(x[i]) - static_cast<double>(y[i]);
        spread += c * c;
        diff += d * d;
    }
    if (diff == 0.0) return 0.0;
    if (!(spread > 0.0)) {
        // A constant signal: decoded exactly (to single precision, all any
        // stream holds) or not at all.
        const bool exact = std::ranges::equal(x, y, [](T a, float b) { return static_cast<float>(a) == b; });
        return exact ? 0.0 : std::numeric_limits<double>::infinity();
    }
    return 100.0 * std::sqrt(diff / spread);
}

// ------------------------------------------------------------------ the transform, once

struct Transformed {
    Method method = Method::Cdf97;
    std::shared_ptr<wavelet::DwtExecutor> executor;
    std::uint8_t levels = 0;
    std::size_t n = 0;
    float min = 0.0f, max = 0.0f, mean = 0.0f;
    std::vector<std::vector<float>> bands;  // stream order: coarsest approximation, details finest first
    float peak = 0.0f;                      // the largest coefficient magnitude
};

// The compressor's normalisation and the engine's multi-level driver, which
// produce the coefficients the compressor quantises, bit for bit.
expected<Transformed, CorvaneError> transform(std::span<const float> samples, Method method) {
    Transformed t;
    t.method = method;
    t.executor = make_executor(method);
    t.n = samples.size();
    t.levels = pick_levels(t.n, method);
    auto normalised = normalise_signal(samples, t.executor->filter_length());
    if (!normalised) return unexpected(std::move(normalised).error());
    t.min = normalised->min;
    t.max = normalised->max;
    t.mean = normalised->mean;
    auto dwt = t.executor->multi_dwt(normalised->samples, t.levels);
    if (!dwt) return unexpected(CorvaneError::wavelet(dwt.error().message()));
    normalised->samples = {};
    auto& levels = dwt->levels;
    t.bands.reserve(levels.size() + 1);
    t.bands.push_back(std::move(levels.back().approximations));
    for (auto& level : levels) t.bands.push_back(std::move(level.details));
    for (const auto& band : t.bands)
        for (const float v : band) t.peak = std::max(t.peak, std::abs(v));
    return t;
}

// The largest multiplier that keeps every coefficient inside the 16-bit
// range: the compressor's own rule, asked about a multiplier beyond any that
// could fit. (A signal without coefficients takes any; 2^15 will do.)
float largest_multiplier(float peak) {
    constexpr float kBeyond = 65536.0f;
    if (!(peak > 0.0f)) return kBeyond / 2.0f;
    return unsaturated_multiplier(peak, std::min(std::max(kBeyond / peak, kBeyond) * 2.0f, std::numeric_limits<float>::max()));
}

// The samples a stream of the given multiplier and dead zone decodes to:
// the compressor's quantiser, then the decoder's dequantisation, inverse
// transform and denormalisation, in the decoder's order of operations.
expected<std::vector<float>, CorvaneError> reconstruct(const Transformed& t, float m, int threshold) {
    const float inv = 1.0f / m;
    std::vector<std::vector<float>> bands(t.bands.size());
    std::vector<std::int16_t> q;
    for (std::size_t b = 0; b < t.bands.size(); ++b) {
        const std::vector<float>& band = t.bands[b];
        q.resize(band.size());
        quantise_band(band, m, b == 0 ? 0 : threshold, q.data());
        bands[b].resize(band.size());
        for (std::size_t i = 0; i < band.size(); ++i) bands[b][i] = static_cast<float>(q[i]) * inv;
    }
    std::vector<std::span<const float>> details(bands.begin() + 1, bands.end());
    auto y = t.executor->multi_idwt(wavelet::MultiDwtInput{details, bands[0]});
    if (!y) return unexpected(CorvaneError::wavelet(y.error().message()));
    const float range = t.max - t.min;
    for (float& v : *y) {
        const float shifted = v + t.mean;
        const float scaled = range * shifted;
        v = t.min + scaled;
    }
    y->resize(t.n, 0.0f);
    return std::move(*y);
}

// ------------------------------------------------------------------ band gains

// The energy a unit coefficient of each band (stream order) puts into the
// reconstruction: quantisation errors of a band reach the signal with this
// weight. Measured once per method and level count, from an impulse in the
// middle of each band of a signal long enough for borders not to matter.
const std::vector<double>& band_gains(Method method, std::uint8_t levels) {
    static std::mutex lock;
    static std::map<std::pair<Method, std::uint8_t>, std::vector<double>> known;
    const std::scoped_lock hold(lock);
    std::vector<double>& gains = known[{method, levels}];
    if (!gains.empty()) return gains;

    const auto executor = make_executor(method);
    const std::size_t length = executor->filter_length() * (std::size_t{4} << levels);
    const auto layout = wavelet::decomposition_layout(*executor, length, levels);
    std::vector<std::vector<float>> bands;
    bands.emplace_back(layout.back().approx_length, 0.0f);
    for (const auto& level : layout) bands.emplace_back(level.details_length, 0.0f);
    gains.assign(bands.size(), 1.0);
    for (std::size_t b = 0; b < bands.size(); ++b) {
        float& probe = bands[b][bands[b].size() / 2];
        probe = 1.0f;
        std::vector<std::span<const float>> details(bands.begin() + 1, bands.end());
        const auto y = executor->multi_idwt(wavelet::MultiDwtInput{details, bands[0]});
        probe = 0.0f;
        if (!y) continue;
        double energy = 0.0;
        for (const float v : *y) energy += static_cast<double>(v) * static_cast<double>(v);
        gains[b] = energy;
    }
    return gains;
}

// ------------------------------------------------------------------ size and error estimates

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

struct BandStatistics {
    double gain = 1.0;
    bool thresholded = true;
    double size = 0.0;
    float peak = 0.0f;
    double small_count = 0.0, small_squares = 0.0, small_pairs = 0.0;
    std::vector<Bin> bins;
};

struct Statistics {
    int shift = 18;  // a bin is the float's bits above this one
    std::uint32_t first_key = 0;
    std::vector<BandStatistics> bands;

    std::uint32_t key_of(float magnitude) const { return std::bit_cast<std::uint32_t>(magnitude) >> shift; }
    float bin_start(std::uint32_t key) const { return std::bit_cast<float>(key << shift); }
};

Statistics gather(const Transformed& t) {
    Statistics s;
    s.shift = t.n >= 8192 ? 18 : 20;
    const std::uint32_t top = s.key_of(t.peak);
    const std::uint32_t below = static_cast<std::uint32_t>(kOctavesBelowPeak) << (23 - s.shift);
    s.first_key = top > below ? top - below : 0;
    const std::size_t count = top - s.first_key + 1;
    s.bands.resize(t.bands.size());
    std::vector<Bin> dense(count);
    for (std::size_t b = 0; b < t.bands.size(); ++b) {
        BandStatistics& out = s.bands[b];
        out.thresholded = b != 0;
        out.size = static_cast<double>(t.bands[b].size());
        out.bins.swap(dense);
        float previous = 0.0f;
        for (const float v : t.bands[b]) {
            const float a = std::abs(v);
            out.peak = std::max(out.peak, a);
            const std::uint32_t key = s.key_of(a);
            const double ad = a;
            if (key < s.first_key) {
                out.small_count += 1.0;
                out.small_squares += ad * ad;
            } else {
                Bin& bin = out.bins[key - s.first_key];
                bin.count += 1.0;
                bin.sum += ad;
                bin.squares += ad * ad;
            }
            const std::uint32_t pair = s.key_of(std::max(a, previous));
            if (pair < s.first_key) out.small_pairs += 1.0;
            else out.bins[pair - s.first_key].pairs += 1.0;
            previous = a;
        }
        // Only the occupied bins are kept, each with its key; the dense
        // table goes back to the next band cleared.
        std::vector<Bin> occupied;
        for (std::size_t j = 0; j < out.bins.size(); ++j) {
            Bin& bin = out.bins[j];
            if (bin.count == 0.0 && bin.pairs == 0.0) continue;
            bin.key = static_cast<std::uint32_t>(s.first_key + j);
            occupied.push_back(bin);
            bin = Bin{};
        }
        dense.swap(out.bins);
        out.bins = std::move(occupied);
    }
    return s;
}

struct Estimate {
    double squares = 0.0;  // sum of the band-weighted squared coefficient errors
    double bits = 0.0;     // payload size
};

// Cost of a binary decision of probability p in the adaptive model, which
// never believes a decision more certain than 4081 in 4096.
double decision_bits(double p) {
    constexpr double kFloor = 15.0 / 4096.0;
    const double q = std::clamp(p, kFloor, 1.0 - kFloor);
    return -(p * std::log2(q) + (1.0 - p) * std::log2(1.0 - q));
}

Estimate estimate(const Statistics& s, float m, int threshold, std::span<const double> gains) {
    constexpr std::size_t kCells = 48;
    Estimate e;
    std::array<double, kCells> cells{};
    std::size_t cells_touched = 0;
    const double md = m;
    for (std::size_t b = 0; b < s.bands.size(); ++b) {
        const BandStatistics& band = s.bands[b];
        if (band.size == 0.0) continue;
        const double zero_below = std::max(band.thresholded ? threshold : 0, 1);
        double zeros = band.small_count, zero_pairs = band.small_pairs, squares = band.small_squares;
        double spread_count = 0.0, spread_bits = 0.0;
        std::fill_n(cells.begin(), cells_touched, 0.0);
        std::size_t cells_used = 0;
        for (const Bin& bin : band.bins) {
            const std::uint32_t key = bin.key;
            const double lo = static_cast<double>(s.bin_start(key)) * md;
            const double hi = static_cast<double>(s.bin_start(key + 1)) * md;
            if (hi <= zero_below) {
                zeros += bin.count;
                zero_pairs += bin.pairs;
                squares += bin.squares;
                continue;
            }
            const double zero_share = lo >= zero_below ? 0.0 : (zero_below - lo) / (hi - lo);
            zeros += zero_share * bin.count;
            zero_pairs += zero_share * bin.pairs;
            squares += zero_share * bin.squares;
            const double kept = (1.0 - zero_share) * bin.count;
            if (kept == 0.0) continue;
            const double from = std::max(lo, zero_below);
            const double cell = std::floor(from);
            if (std::floor(hi) == cell || hi - from < 1.0) {
                // One quantisation cell: truncation to `cell` exactly.
                const double step = cell / md;
                squares += (1.0 - zero_share) * (bin.squares - 2.0 * step * bin.sum + bin.count * step * step);
            } else {
                squares += kept / (3.0 * md * md);
            }
            if (hi <= static_cast<double>(kCells)) {
                for (double k = cell; k < hi; k += 1.0) {
                    const double overlap = std::min(k + 1.0, hi) - std::max(k, from);
                    if (overlap > 0.0) cells[static_cast<std::size_t>(k)] += kept * overlap / (hi - from);
                }
                cells_used = std::max(cells_used, static_cast<std::size_t>(hi) + 1);
            } else {
                const double width = std::max(hi - from, 1.0);
                spread_count += kept;
                spread_bits += kept * std::log2(width / kept);
            }
        }
        e.squares += gains[b] * squares;
        cells_touched = std::min(cells_used, kCells);

        const double nonzero = std::max(band.size - zeros, 0.0);
        if (zeros > 0.0 && zeros < band.size) {
            // zero flags in the context of the previous one
            const double after_zero = zero_pairs / zeros;
            const double after_nonzero = std::clamp((zeros - zero_pairs) / nonzero, 0.0, 1.0);
            e.bits += zeros * decision_bits(std::min(after_zero, 1.0)) + nonzero * decision_bits(after_nonzero);
        } else {
            e.bits += band.size * decision_bits(zeros > 0.0 ? 1.0 : 0.0);
        }
        if (nonzero > 0.0) {
            double magnitude_bits = spread_bits + spread_count * std::log2(nonzero);
            for (std::size_t k = 0; k < std::min(cells_used, kCells); ++k)
                if (cells[k] > 0.0) magnitude_bits += cells[k] * std::log2(nonzero / cells[k]);
            const double top = std::floor(static_cast<double>(band.peak) * md);
            const double width = top >= 1.0 ? std::floor(std::log2(top)) + 1.0 : 1.0;
            // signs, the magnitude distribution, and the near-certain upper
            // magnitude bits the adaptive model still pays for
            e.bits += nonzero * (1.0 + width * 0.0053) + std::max(magnitude_bits, 0.0);
        }
    }
    return e;
}


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
        return ref64_.empty() ? error_against(target_.measure, ref32_, y) : error_against(target_.measure, ref64_, y);
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

double measure_error(ErrorMeasure measure, std::span<const double> reference, std::span<const float> decoded) {
    return error_against(measure, reference, decoded);
}

double measure_error(ErrorMeasure measure, std::span<const float> reference, std::span<const float> decoded) {
    return error_against(measure, reference, decoded);
}


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
