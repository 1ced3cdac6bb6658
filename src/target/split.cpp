#include "src/target/split.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "corvane/layer.hpp"
#include "src/refine/container.hpp"
#include "src/refine/residuals.hpp"
#include "src/target/corrections.hpp"
#include "src/target/stages.hpp"

namespace corvane::target {
namespace {

using refine::Refinement;

// Bases are taken from one grid of multipliers, half an octave apart below
// the largest, whatever the bound: close bounds weigh the same bases, so a
// looser bound finds what a tighter one found, with smaller corrections.
constexpr int kGridSize = 48;  // down to 2^-24 of the largest multiplier
double grid_multiplier(float cap, int k) { return static_cast<double>(cap) * std::exp2(-0.5 * k); }
// The first base tried has a predicted root-mean-square error of this share
// of half the correction step: coarser bases cost fewer bits than their
// corrections add back until about there.
constexpr double kFirstAim = 0.35;
// How many octaves the walk from the first base goes on while sizes fall.
constexpr int kWalk = 2;
constexpr double kGolden = 0.6180339887498949;
// Signals this short are cheap to code: a candidate's size is its coded
// chunk's, not a prediction, so the choice among candidates is exact.
constexpr std::size_t kCodedBelow = 512;
// Sizes within this share of each other count as level for the walk.
constexpr double kLevel = 1.02;
// An empty base this much smaller than the first guess sends the search
// straight towards it, and the golden section on its way gives up once its
// points gain nothing on it and a finer one lies this far behind it.
constexpr double kBeyond = 0.9;
constexpr double kBehind = 1.01;
// ... Shorter signals give up there without weighing a finer base: each base
// weighed is a tenth of their encode, and on random signals of up to 3000
// samples the finer ones found chunks 0.003 % smaller in all.
constexpr std::size_t kSectionWeighsFrom = 2048;
// The half octave beside the best is weighed where the sizes about it
// foretell a gain of at least this share there.
constexpr double kHalfGain = 0.015;
// The smallest plain base is coded beside the chosen refined chunk only when
// its predicted size is within what predictions have been seen to miss by.
constexpr double kFinalistShare = 1.25, kFinalistSlack = 8.0 * 64;
// The dead zone of threshold 0 is what scale 6 with the low cutoff gives.
constexpr std::uint8_t kPlainScale = 6;
// The quantiser truncates towards zero, which leaves every coefficient of a
// base up to a step short of its value. Where integer samples are kept to
// within less than 1 (exactly, for an integer type), the corrections are
// most of the chunk, and a base whose coefficients are moved this share of a
// step away from zero first (a smaller dead zone, and bins that reach a
// little below their values) often takes fewer bits with its corrections
// than it adds to the base.
constexpr double kLift = 0.3;
// Integer samples weigh exact storage beside what the search finds at bounds
// below this (see refined_at_largest_error): past it, a step of 2 floor(E) + 1
// takes too many bits fewer for exact storage to be smaller, unless the
// empty base's chunk, all corrections, is about as small as the best found:
// those corrections follow the signal itself (a tone, say), which exact
// storage predicts from up to 32 residuals before each, a wider step from two.
constexpr double kExactBelow = 2.0;
// ... where its predicted size is within this share of the best found (and,
// past kExactBelow, where the empty base's is).
constexpr double kExactWithin = 1.1;
// ... or within this share, where a long predictor fitted to the samples
// foretells fewer bits than the best base found (a tone, say, which exact
// storage's long predictor follows far more closely than a wider step's two
// weights).
constexpr double kExactSmoothWithin = 3.0;

// The residuals the search counted for a base, all of them, and the
// predictor it fitted to them: the chunk of that base takes the fit should
// its residuals be the same.
struct Known {
    std::vector<std::int32_t> residuals;
    refine::Fitted fitted;
};

// A candidate chunk: the base of multiplier m, coded, and the corrections of
// what it decodes to, with the base's decoded samples; not yet checked.
struct Coded {
    std::vector<std::uint8_t> chunk;
    std::vector<float> base;  // the samples the chunk's base decodes to
    bool alone = false;       // the chunk is the base, every sample checked
};

expected<Coded, CorvaneError> coded_at(const Held& held, const Corrector& corrector, const tuning::Transformed& t,
                                       const CompressionConfig& config, float m, const Known* known = nullptr,
                                       std::optional<float> level = std::nullopt) {
    // (`level`: the empty base's, as the mean its header holds)
    auto stream = level ? tuning::encode_empty_stream(t, config, kPlainScale, m, *level)
                        : tuning::encode_stream(t, config, kPlainScale, 0, m);
    if (!stream) return unexpected(std::move(stream).error());
    auto y = tuning::decode_stream(*stream);
    if (!y) return unexpected(std::move(y).error());
    // The base alone when its reader finds every sample within the bound, as
    // the search judged it (every sample checked as its reader sees it): a
    // residual of 0 may not be the nearest one for a sample the base misses
    // by the bound itself, and float samples that are integers are corrected
    // to integers but read as they decode.
    if (keeps_bound(held, corrector, *y)) return Coded{std::move(*stream), std::move(*y), true};
    Refinement r = corrections(held, corrector, *y);
    const refine::Fitted chosen =
        refine::predictor_for(r.residuals, known && known->residuals == r.residuals ? &known->fitted : nullptr,
                              corrector.long_predicted);
    r.predictor = chosen.p;
    r.long_predictor = chosen.lp;
    return Coded{refine::write_container(*stream, r), std::move(*y), false};
}

// The candidate's chunk, once the check passes: its corrections decoded and
// applied to the base's samples, which were decoded from the very bytes the
// chunk holds, and every sample measured against the bound.
expected<std::vector<std::uint8_t>, TuningError> checked(const Held& held, const Corrector& corrector, Coded& c) {
    if (c.alone) return std::move(c.chunk);
    if (auto applied = refine::apply_container(c.chunk, c.base); !applied) {
        return unexpected(TuningError(std::move(applied).error()));
    }
    // (the largest error itself is only taken to say what was missed)
    if (!keeps_bound(held, corrector, c.base)) {
        return unexpected(TuningError(UnreachableTarget{ErrorMeasure::MaxAbs, largest_error(held, c.base)}));
    }
    return std::move(c.chunk);
}

// The coefficients of `t` moved `share` of a step of multiplier m away from
// zero, so that the quantiser's truncation rounds up from 1 - share.
tuning::Transformed lifted(const tuning::Transformed& t, float m, double share) {
    tuning::Transformed out = t;
    out.peak = 0.0f;
    const double by = share / static_cast<double>(m);
    for (std::size_t b = 0; b < out.bands.size(); ++b) {
        // (the band peaks too, which say what quantises to zero)
        out.band_peaks[b] = 0.0f;
        for (float& c : out.bands[b]) {
            if (c != 0.0f) c = static_cast<float>(static_cast<double>(c) + std::copysign(by, static_cast<double>(c)));
            out.band_peaks[b] = std::max(out.band_peaks[b], std::abs(c));
        }
        out.peak = std::max(out.peak, out.band_peaks[b]);
    }
    return out;
}

// The mean the empty base's header holds, so that its samples decode to a
// typical sample (the median of a few hundred spread evenly), moved to where
// no sample lies further than the bound from it when such a level exists.
// (Under the samples' own mean, a signal at rest away from it, as rare large
// spikes leave one, has residuals that flip between two values wherever the
// mean falls about half a step from the rest, which depends on the bound: a
// looser bound could take many more bytes.)
constexpr std::size_t kLevelSamples = 512;
float empty_mean(const Held& held, const tuning::Transformed& t, double bound) {
    const double min = t.min, max = t.max, range = max - min;
    const std::size_t n = held.narrow.size();
    if (!(range > 0.0) || n == 0) return t.mean;
    const std::size_t stride = (n + kLevelSamples - 1) / kLevelSamples;
    std::vector<double> taken;
    taken.reserve(n / stride + 1);
    for (std::size_t i = 0; i < n; i += stride) taken.push_back(held[i]);
    const auto middle = taken.begin() + static_cast<std::ptrdiff_t>(taken.size() / 2);
    std::nth_element(taken.begin(), middle, taken.end());
    double level = *middle;
    if (max - bound <= min + bound) level = std::clamp(level, max - bound, min + bound);
    // The mean whose decoded level (as the decoder forms it, in single
    // precision) comes nearest, from the quotient and its neighbours.
    auto decoded = [&](float mean) {
        const float scaled = (t.max - t.min) * (0.0f + mean);
        return static_cast<double>(t.min + scaled);
    };
    float mean = static_cast<float>((level - min) / range), best = mean;
    for (int step = 0; step < 4 && decoded(mean) != level; ++step) {
        mean = std::nextafter(mean, decoded(mean) < level ? std::numeric_limits<float>::infinity()
                                                          : -std::numeric_limits<float>::infinity());
        if (std::abs(decoded(mean) - level) < std::abs(decoded(best) - level)) best = mean;
    }
    return std::isfinite(best) ? best : t.mean;
}

// Whether every sample is an integer: those of an integer type, and float
// samples that hold counts.
bool integer_samples(const Held& held) {
    if (held.integers) return true;
    for (std::size_t i = 0; i < held.narrow.size(); ++i) {
        const double v = held[i];
        if (!(std::trunc(v) == v)) return false;
    }
    return true;
}

// What exact storage of integer samples foretells, in bits, from a long
// predictor fitted to the samples about their (rounded) mean, over as few
// blocks as a fit takes, spread evenly; none where no long predictor is
// worth fitting (two weights already miss much of them). Signals too short
// for a long predictor foretell 0 (weigh it) where two weights predict them
// closely.
std::optional<double> exact_bits_foretold(const Held& held) {
    const std::size_t n = held.narrow.size();
    const std::size_t block = refine::sampling_for(n).block;
    const std::size_t blocks = std::max<std::size_t>(refine::kLongFrom / std::max<std::size_t>(block, 1), 1);
    const std::size_t stride = std::max(block, n / blocks);
    std::vector<double> taken;
    for (std::size_t at = 0; at < n && taken.size() < blocks * block; at += stride) {
        for (std::size_t i = at; i < std::min(n, at + block); ++i) taken.push_back(held[i]);
    }
    double mean = 0.0;
    for (const double v : taken) mean += v;
    mean = std::nearbyint(mean / static_cast<double>(std::max<std::size_t>(taken.size(), 1)));
    std::vector<std::int32_t> q(taken.size());
    for (std::size_t i = 0; i < taken.size(); ++i) q[i] = static_cast<std::int32_t>(taken[i] - mean);
    if (q.size() < refine::kLongFrom) return refine::two_weights_predict(q, block) ? std::optional(0.0) : std::nullopt;
    double bits = 0.0;
    if (refine::fit_long(q, block, &bits, false).order == 0) return std::nullopt;
    return bits * static_cast<double>(n) / static_cast<double>(q.size());
}

}  // namespace

expected<std::vector<std::uint8_t>, TuningError> refined_at_largest_error(const Held& held,
                                                                          const CompressionConfig& config,
                                                                          double bound) {
    const std::size_t n = held.narrow.size();
    // Escapes store single-precision values, so that is as close as any
    // sample can come back.
    double floor_error = 0.0;
    for (std::size_t i = 0; i < held.wide.size(); ++i)
        floor_error = std::max(floor_error, std::abs(held.wide[i] - static_cast<double>(held.narrow[i])));
    if (floor_error > bound) return unexpected(TuningError(UnreachableTarget{ErrorMeasure::MaxAbs, floor_error}));
    const Prepared prepared = on_grid(held, bound);
    bound = prepared.bound;

    auto t = tuning::transform(held.narrow, config.method);
    if (!t) return unexpected(TuningError(std::move(t).error()));
    const tuning::Statistics stats = tuning::gather(*t);
    const std::vector<double>& gains = tuning::band_gains(t->method, t->levels);
    const float cap = tuning::largest_multiplier(t->peak);
    const double range = static_cast<double>(t->max) - static_cast<double>(t->min);
    Corrector corrector = corrector_for(held, bound);
    if (prepared.step > 0.0f) corrector.step = prepared.step;
    // Exact storage weighs a long predictor for its residuals.
    corrector.long_predicted = corrector.kind == refine::Kind::Integer && corrector.step == 1.0f;
    const double half_step = held.integers ? corrector.bound + 0.5 : prepared.step > 0.0f ? 0.5 * prepared.step : bound;

    // The base bits and the predicted root-mean-square error of a grid point.
    std::vector<std::optional<std::pair<double, double>>> predictions(kGridSize);
    auto predicted = [&](int k) {
        auto& known = predictions[static_cast<std::size_t>(k)];
        if (!known) {
            const tuning::Estimate e = tuning::estimate(stats, static_cast<float>(grid_multiplier(cap, k)), 0, gains);
            known = std::pair{e.bits, range * std::sqrt(std::max(e.squares, 0.0) / static_cast<double>(n))};
        }
        return *known;
    };
    // The predicted root-mean-square error alone (for less, where the bits
    // are not known yet).
    std::vector<std::optional<double>> errors(kGridSize);
    auto predicted_error = [&](int k) {
        const auto slot = static_cast<std::size_t>(k);
        if (predictions[slot]) return predictions[slot]->second;
        if (!errors[slot]) {
            const double squares =
                tuning::estimated_squares(stats, static_cast<float>(grid_multiplier(cap, k)), 0, gains);
            errors[slot] = range * std::sqrt(std::max(squares, 0.0) / static_cast<double>(n));
        }
        return *errors[slot];
    };
    // The first grid point whose predicted error reaches the aim, taken down
    // to an even one (the walk below keeps to even grid points, whatever the
    // bound): found among the even points, and the odd one below the first
    // of them that reaches it.
    int first = 0;
    while (first + 2 < kGridSize && predicted_error(first) < kFirstAim * half_step) first += 2;
    if (first > 0 && predicted_error(first - 1) >= kFirstAim * half_step) first -= 2;

    // Coarser bases cost fewer bits and leave larger corrections. Past the
    // base that keeps no coefficient at all, every base is the same one.
    // That one decodes every sample to a single level, which its header's
    // mean sets: the samples' mean, as compress() writes it, or, where that
    // leaves corrections least squares predicts only weakly (an offset in
    // them then costs bits rather than following through the predictor) or a
    // level exists that keeps the bound alone, a typical sample, should that
    // take fewer bits.
    int empty = first;
    while (empty + 1 < kGridSize && grid_multiplier(cap, empty) * static_cast<double>(t->peak) >= 0.5) ++empty;
    const bool empty_is_zeros = grid_multiplier(cap, empty) * static_cast<double>(t->peak) < 0.5;
    std::optional<float> empty_level;  // the header mean chosen for the empty base, once weighed
    auto level_at = [&](int k) { return k == empty ? empty_level : std::nullopt; };

    tuning::Reconstruction scratch;
    std::vector<std::int32_t> sample;
    std::vector<std::optional<double>> cost(kGridSize);
    std::vector<bool> plain(kGridSize, false);  // the base needs no correction
    std::vector<std::optional<Coded>> coded(kGridSize);  // the chunks made while weighing (short signals)
    std::vector<std::optional<Known>> fits(kGridSize);    // the residuals counted whole, and their fit
    // A base weighed: at grid point k, or as the empty base at a level.
    struct Weighed {
        double cost = 0.0;
        bool plain = false;
        std::optional<Coded> coded;
        std::optional<Known> fit;
        refine::Predictor weights;
    };
    auto weigh = [&](int k, std::optional<float> level) -> expected<Weighed, CorvaneError> {
        const auto m = static_cast<float>(grid_multiplier(cap, k));
        auto y = level ? tuning::reconstruct_empty(*t, *level, scratch) : tuning::reconstruct(*t, m, 0, scratch);
        if (!y) return unexpected(std::move(y).error());
        Weighed w;
        w.plain = keeps_bound(held, corrector, *y);
        if (n <= kCodedBelow) {
            auto made = coded_at(held, corrector, *t, config, m, nullptr, level);
            if (!made) return unexpected(std::move(made).error());
            w.cost = 8.0 * static_cast<double>(made->chunk.size());
            w.coded = std::move(*made);
            return w;
        }
        std::optional<refine::Fitted> fit;
        w.cost = predicted(k).first + (w.plain ? 0.0 : correction_bits(held, corrector, *y, sample, &fit, &w.weights));
        if (fit) w.fit = Known{sample, *fit};
        return w;
    };
    auto size_of = [&](int k) -> expected<double, CorvaneError> {
        const auto slot = static_cast<std::size_t>(k);
        if (cost[slot]) return *cost[slot];
        auto w = weigh(k, std::nullopt);
        if (!w) return unexpected(std::move(w).error());
        if (k == empty && empty_is_zeros && !w->plain &&
            (n <= kCodedBelow || (std::abs(w->weights.a) < 16 && std::abs(w->weights.b) < 16) ||
             t->max - t->min <= 2.0 * bound)) {
            const float level = empty_mean(held, *t, bound);
            if (level != t->mean) {
                auto there = weigh(k, level);
                if (!there) return unexpected(std::move(there).error());
                if (there->cost < w->cost) {
                    w = std::move(there);
                    empty_level = level;
                }
            }
        }
        plain[slot] = w->plain;
        cost[slot] = w->cost;
        coded[slot] = std::move(w->coded);
        fits[slot] = std::move(w->fit);
        return *cost[slot];
    };
    int best = empty;
    auto consider = [&](int k) -> expected<double, CorvaneError> {
        k = std::clamp(k, 0, kGridSize - 1);
        auto here = size_of(k);
        if (!here) return unexpected(std::move(here).error());
        if (k != best && (*here < *cost[static_cast<std::size_t>(best)] ||
                          (*here == *cost[static_cast<std::size_t>(best)] && k < best)))
            best = k;
        return *here;
    };
    if (auto done = consider(empty); !done) return unexpected(TuningError(std::move(done).error()));
    // From the first base, coarser by whole octaves while the sizes fall:
    // where the bound is loose, the best lies a few octaves on. Should they
    // still fall, the best lies between there and the empty base. Where the
    // empty base is already the smaller, the search goes straight there.
    // (A first guess whose base alone takes that much more than the empty
    // base's whole chunk is not weighed at all.)
    int walked = first;
    bool beyond = *cost[static_cast<std::size_t>(empty)] < kBeyond * predicted(first).first;
    if (!beyond) {
        auto at_first = consider(first);
        if (!at_first) return unexpected(TuningError(std::move(at_first).error()));
        beyond = *cost[static_cast<std::size_t>(empty)] < kBeyond * *at_first;
    }
    for (int k = first + 2; !beyond && k <= std::min(first + 2 * kWalk, empty); k += 2) {
        auto here = consider(k);
        if (!here) return unexpected(TuningError(std::move(here).error()));
        if (!(*here < *cost[static_cast<std::size_t>(walked)])) break;
        walked = k;
    }
    // And finer while the sizes do not rise: the first base may lie past the
    // best, or on the level tail, where a finer base the bound keeps alone
    // may be a step beyond bases that are all about as large. (A base whose
    // own bits already come to the best size found is not worth weighing,
    // nor is any finer one.)
    for (int k = first - 2; !beyond && k >= std::max(0, first - 2 * kWalk); k -= 2) {
        if (predicted(k).first >= *cost[static_cast<std::size_t>(best)]) break;
        auto here = consider(k);
        if (!here) return unexpected(TuningError(std::move(here).error()));
        if (*here > *cost[static_cast<std::size_t>(k + 2)] * kLevel) break;
    }
    if ((beyond || walked == std::min(first + 2 * kWalk, empty)) && empty - walked > 2) {
        // A golden-section search over the octaves between (sizes there
        // may fall, rise and level off again).
        int lo = walked / 2, hi = empty / 2;
        auto at = [&](int i) { return consider(2 * i); };
        while (hi - lo > 4) {
            const int c = hi - static_cast<int>(std::lround((hi - lo) * kGolden));
            const int d = lo + static_cast<int>(std::lround((hi - lo) * kGolden));
            auto fc = at(c);
            if (!fc) return unexpected(TuningError(std::move(fc).error()));
            auto fd = at(d);
            if (!fd) return unexpected(TuningError(std::move(fd).error()));
            // (where the empty base was far ahead of the first guess, neither
            // point gains on it and one between the finer end and them lies
            // more than kBehind behind it, the range holds little the section
            // could gain; a short signal does not weigh that one)
            const double level = *cost[static_cast<std::size_t>(empty)];
            const double behind = level * kBehind;
            if (beyond && std::min(*fc, *fd) >= level) {
                if (n <= kSectionWeighsFrom) break;
                auto fm = at((lo + c) / 2);
                if (!fm) return unexpected(TuningError(std::move(fm).error()));
                if (*fm > behind) break;
            }
            if (*fc <= *fd)
                hi = d;
            else
                lo = c;
        }
    }
    // A base the bound keeps alone needs no corrections at all, which the
    // sizes along the walk do not foretell (nor does the predicted error,
    // where a few samples stand out). When none has been weighed, the
    // coarsest is sought by bisection between the finest base alone that
    // could still be smaller than the best and the finest base weighed:
    // finer bases keep the bound, coarser ones stop keeping it.
    if (std::none_of(plain.begin(), plain.end(), [](bool alone) { return alone; })) {
        // the finest base weighed (which needs corrections), or the first
        // guess where that was passed over for its bits
        int hi = 0;
        while (hi < first && !cost[static_cast<std::size_t>(hi)]) ++hi;
        int lo = hi;
        while (lo > 0 && predicted(lo - 1).first < *cost[static_cast<std::size_t>(best)]) --lo;
        if (lo < hi) {
            auto weighed = consider(lo);
            if (!weighed) return unexpected(TuningError(std::move(weighed).error()));
            while (plain[static_cast<std::size_t>(lo)] && hi - lo > 1) {
                const int mid = lo + (hi - lo) / 2;
                auto here = consider(mid);
                if (!here) return unexpected(TuningError(std::move(here).error()));
                (plain[static_cast<std::size_t>(mid)] ? lo : hi) = mid;
            }
        }
    }
    // The half octave beside the best on the side of its smaller neighbour
    // (both, where no neighbours were weighed an octave or two either side),
    // unless its base alone would take what the best chunk takes.
    const int centre = best;
    auto known = [&](int k) { return k >= 0 && k < kGridSize && cost[static_cast<std::size_t>(k)]; };
    for (const int k : {centre - 1, centre + 1}) {
        if (centre == empty || k > empty || k < 0) continue;
        if (predicted(k).first >= *cost[static_cast<std::size_t>(centre)]) continue;
        const int side = k < centre ? -1 : 1;
        int reach = 2;  // the nearest neighbours weighed on both sides, in grid points
        while (reach <= 4 && !(known(centre + side * reach) && known(centre - side * reach))) reach += 2;
        if (reach <= 4) {
            const double here = *cost[static_cast<std::size_t>(centre)],
                         a = *cost[static_cast<std::size_t>(centre + side * reach)],
                         z = *cost[static_cast<std::size_t>(centre - side * reach)];
            if (a > z) continue;
            // the parabola through the three sizes, half an octave towards the smaller
            const double curve = ((a + z) / 2.0 - here) / (reach * reach), slope = (a - z) / (2.0 * reach);
            if (here + slope + curve > here * (1.0 - kHalfGain)) continue;
        }
        if (auto done = consider(k); !done) return unexpected(TuningError(std::move(done).error()));
    }

    // Exact storage keeps every bound too. Integer samples at a bound from
    // 1/2 to 2 weigh it where it could be smaller: a smooth signal whose
    // misses under a long predictor (which only exact storage weighs) are
    // small, or whose residuals, at a step a little over 1, no longer follow
    // it as closely. Past 2, so do those whose empty base takes about as few
    // bits as the best base found (see kExactBelow), or up to three times as
    // many where a long predictor fitted to the samples foretells fewer (a
    // tone, which a wider step's two weights follow far less closely than
    // exact storage's long predictor). When the exact chunk's
    // empty base foretells about as few bits as the best found here, or
    // fewer, that chunk is made as well, and the smaller kept.
    // (whether the samples are integers, asked once for this and the lift)
    const double empty_share = *cost[static_cast<std::size_t>(empty)] / *cost[static_cast<std::size_t>(best)];
    bool integers = (bound < kExactBelow || empty_share <= kExactSmoothWithin) && integer_samples(held);
    if (integers && bound >= kExactBelow && empty_share > kExactWithin) {
        const auto foretold = exact_bits_foretold(held);
        integers = foretold && *foretold < kExactWithin * *cost[static_cast<std::size_t>(best)];
    }
    bool exact_too = false;
    Held counts = held;
    counts.integers = true;
    if (bound >= 0.5 && integers) {
        Corrector exact = corrector_for(counts, 0.0);
        exact.long_predicted = true;
        auto y = tuning::reconstruct(*t, static_cast<float>(grid_multiplier(cap, empty)), 0, scratch);
        if (!y) return unexpected(TuningError(std::move(y).error()));
        exact_too = predicted(empty).first + correction_bits(counts, exact, *y, sample) <
                    kExactWithin * *cost[static_cast<std::size_t>(best)];
    }

    // Predictions miss by a few bytes, which decide between close
    // candidates: the chosen one is coded, and so is the smallest base that
    // needs no correction should the chosen one need some; the smaller wins.
    std::vector<int> finalists{best};
    for (int k = kGridSize; k-- > 0 && !plain[static_cast<std::size_t>(best)];) {
        if (cost[static_cast<std::size_t>(k)] && plain[static_cast<std::size_t>(k)]) {
            if (*cost[static_cast<std::size_t>(k)] > kFinalistShare * *cost[static_cast<std::size_t>(best)] + kFinalistSlack) break;
            finalists.push_back(k);
            break;
        }
    }
    std::vector<Coded> made;
    for (const int k : finalists) {
        if (auto& kept = coded[static_cast<std::size_t>(k)]) {
            made.push_back(std::move(*kept));
            continue;
        }
        const auto& fit = fits[static_cast<std::size_t>(k)];
        auto c = coded_at(held, corrector, *t, config, static_cast<float>(grid_multiplier(cap, k)), fit ? &*fit : nullptr,
                          level_at(k));
        if (!c) return unexpected(TuningError(std::move(c).error()));
        made.push_back(std::move(*c));
    }
    // Integer samples within less than 1: the chosen base lifted too, should
    // it need corrections and keep any coefficient (past the empty base a
    // lift of less than half a step keeps none either). Every bound below 1
    // weighs it, so none gives a larger chunk than a tighter one for want of it.
    if (bound < 1.0 && integers && !plain[static_cast<std::size_t>(best)] && best < empty) {
        const auto m = static_cast<float>(grid_multiplier(cap, best));
        auto c = coded_at(held, corrector, lifted(*t, m, kLift), config, m);
        if (!c) return unexpected(TuningError(std::move(c).error()));
        made.push_back(std::move(*c));
    }
    // The smallest is checked and returned; should the check ever refuse
    // it, the next smallest is.
    std::stable_sort(made.begin(), made.end(),
                     [](const Coded& a, const Coded& b) { return a.chunk.size() < b.chunk.size(); });
    expected<std::vector<std::uint8_t>, TuningError> chunk = checked(held, corrector, made.front());
    for (std::size_t i = 1; i < made.size() && !chunk; ++i) chunk = checked(held, corrector, made[i]);
    if (exact_too && chunk) {
        auto exact = refined_at_largest_error(counts, config, 0.0);
        if (exact && exact->size() < chunk->size()) return exact;
    }
    // On a grid of spacings, a step of (2k + 1) spacings can leave samples on
    // a coarser grid of their own (decimals, say) a rounding away from every
    // value it reaches, where a step of one spacing reaches them all: the
    // samples kept to the grid's finest bound (a step of one spacing) are
    // weighed too, and the smaller chunk kept.
    if (prepared.step > 0.0f && static_cast<double>(prepared.step) > prepared.spacing && chunk) {
        auto finest = refined_at_largest_error(held, config, 0.0);
        if (finest && finest->size() < chunk->size()) return finest;
    }
    return chunk;
}

}  // namespace corvane::target
