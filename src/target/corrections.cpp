#include "src/target/corrections.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(CORVANE_NARROW_SUMS)
#include <immintrin.h>
#define CORVANE_WIDE_QUOTIENTS 1
#endif

#include "src/refine/container.hpp"
#include "src/refine/residuals.hpp"

namespace corvane::target {

using refine::Kind;
using refine::Refinement;

namespace {

// A float step a little under twice the bound, so the correction's two
// single-precision roundings fit in what is left.
constexpr double kStepShare = 1.0 - 1.0 / 65536.0;
// What an escape costs (its gap and value), and what a container adds to
// its base (its header and the coder's state).
constexpr double kEscapeBits = 48.0;
constexpr double kContainerBits = 8.0 * (refine::kContainerHeaderSize + 4);
// Calls f(reference, start) with the held samples as doubles and a base
// sample as the reader takes it (rounded, for integers), each chosen once
// for the loops f runs rather than once a sample.
template <class F>
auto with_samples(const Held& held, Kind kind, F&& f) {
    auto narrow = [&](std::size_t i) { return static_cast<double>(held.narrow[i]); };
    auto wide = [&](std::size_t i) { return held.wide[i]; };
    auto rounded = [](float y) { return refine::nearest_integer(y); };
    auto as_is = [](float y) { return y; };
    if (held.wide.empty()) return kind == Kind::Integer ? f(narrow, rounded) : f(narrow, as_is);
    return kind == Kind::Integer ? f(wide, rounded) : f(wide, as_is);
}

// The residual that brings y within the bound of x as decoding corrects it:
// the nearest to the exact quotient, or one either side; nothing when none does.
[[gnu::always_inline]] inline std::optional<std::int32_t> residual_for(const Corrector& c, double per_step, double x,
                                                                        float y, double start) {
    const double guess = (x - start) * per_step;
    if (!(std::abs(guess) < refine::kLargestResidual - 1)) return std::nullopt;
    const auto q0 = static_cast<std::int32_t>(guess + (guess < 0.0 ? -0.5 : 0.5));
    if (std::abs(x - static_cast<double>(refine::corrected(c.kind, y, q0, c.step))) <= c.bound) return q0;
    if (per_step == 0.0) return std::nullopt;  // (no step: 0 was the one residual to try)
    for (const std::int32_t q : {q0 - 1, q0 + 1}) {
        if (std::abs(x - static_cast<double>(refine::corrected(c.kind, y, q, c.step))) <= c.bound) return q;
    }
    return std::nullopt;
}

#if defined(__SSE2__)
// Four base samples as the reader takes them: for integers,
// refine::nearest_integer lane by lane.
template <Kind kind>
[[gnu::always_inline]] inline __m128 taken_as_read(__m128 y) {
    if constexpr (kind == Kind::Integer) {
        const __m128 sign = _mm_set1_ps(-0.0f), integral = _mm_set1_ps(8388608.0f);
        const __m128 shift = _mm_or_ps(integral, _mm_and_ps(y, sign));
        const __m128 rounded = _mm_sub_ps(_mm_add_ps(y, shift), shift);
        const __m128 below = _mm_cmplt_ps(_mm_andnot_ps(sign, y), integral);
        return _mm_or_ps(_mm_and_ps(below, rounded), _mm_andnot_ps(below, y));
    }
    return y;
}

// The nearest quotients of samples x[0 .. n) (single precision, n a
// multiple of 4) against the base y, four at a time, as the loops of
// corrections() and correction_bits() form them one at a time: the same
// operations in the same precision, lane by lane, so the same residuals.
// Checked: each corrected sample measured against the bound; returns how
// many miss it. Otherwise: a quotient too large for a residual is refine::kFree;
// returns how many are.
template <Kind kind, bool Checked>
std::size_t nearest_quotients(const float* x, const float* y, std::int32_t* q, std::size_t n, double per_step,
                              float step, double bound) {
    const __m128 steps = _mm_set1_ps(step);
    const __m128d sign_d = _mm_set1_pd(-0.0), half = _mm_set1_pd(0.5), per = _mm_set1_pd(per_step),
                  largest = _mm_set1_pd(refine::kLargestResidual - 1), within = _mm_set1_pd(bound);
    const __m128i free = _mm_set1_epi32(refine::kFree);
    std::size_t counted = 0;
    for (std::size_t i = 0; i < n; i += 4) {
        const __m128 s = taken_as_read<kind>(_mm_loadu_ps(y + i));
        const __m128 xv = _mm_loadu_ps(x + i);
        __m128i quotients[2];
        __m128d xs[2], smalls[2];
        for (int h = 0; h < 2; ++h) {
            const __m128 xh = h == 0 ? xv : _mm_movehl_ps(xv, xv), sh = h == 0 ? s : _mm_movehl_ps(s, s);
            xs[h] = _mm_cvtps_pd(xh);
            const __m128d guess = _mm_mul_pd(_mm_sub_pd(xs[h], _mm_cvtps_pd(sh)), per);
            smalls[h] = _mm_cmplt_pd(_mm_andnot_pd(sign_d, guess), largest);
            const __m128d g = _mm_and_pd(smalls[h], guess);
            quotients[h] = _mm_cvttpd_epi32(_mm_add_pd(g, _mm_or_pd(half, _mm_and_pd(g, sign_d))));
        }
        __m128i qv = _mm_unpacklo_epi64(quotients[0], quotients[1]);
        if constexpr (Checked) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(q + i), qv);
            const __m128 z = _mm_add_ps(s, _mm_mul_ps(_mm_cvtepi32_ps(qv), steps));
            for (int h = 0; h < 2; ++h) {
                const __m128d zh = _mm_cvtps_pd(h == 0 ? z : _mm_movehl_ps(z, z));
                const __m128d kept =
                    _mm_and_pd(smalls[h], _mm_cmple_pd(_mm_andnot_pd(sign_d, _mm_sub_pd(xs[h], zh)), within));
                const auto lanes = static_cast<unsigned>(_mm_movemask_pd(kept));
                counted += 2 - (lanes & 1u) - (lanes >> 1);
            }
        } else {
            // the low halves of the two pairs of lane masks: one mask a lane
            const __m128i small = _mm_castps_si128(
                _mm_shuffle_ps(_mm_castpd_ps(smalls[0]), _mm_castpd_ps(smalls[1]), _MM_SHUFFLE(2, 0, 2, 0)));
            qv = _mm_or_si128(_mm_and_si128(small, qv), _mm_andnot_si128(small, free));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(q + i), qv);
            // (without an instruction to count bits on the baseline processors)
            const auto lanes = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(small)));
            counted += 4 - (lanes & 1u) - ((lanes >> 1) & 1u) - ((lanes >> 2) & 1u) - (lanes >> 3);
        }
    }
    return counted;
}
#endif

#if defined(CORVANE_WIDE_QUOTIENTS)
// The same with four lanes of doubles at once, on processors with 256-bit
// vectors: lane by lane the same operations, so the same quotients and count.
// (A build with CORVANE_NARROW_SUMS defined, as the sanitizer build's tests
// are, takes the one above alone.)
template <Kind kind, bool Checked>
[[gnu::target("avx")]] std::size_t nearest_quotients_wide(const float* x, const float* y, std::int32_t* q, std::size_t n,
                                                          double per_step, float step, double bound) {
    const __m128 steps = _mm_set1_ps(step);
    const __m256d sign_d = _mm256_set1_pd(-0.0), half = _mm256_set1_pd(0.5), per = _mm256_set1_pd(per_step),
                  largest = _mm256_set1_pd(refine::kLargestResidual - 1), within = _mm256_set1_pd(bound);
    const __m128i free = _mm_set1_epi32(refine::kFree);
    std::size_t counted = 0;
    for (std::size_t i = 0; i < n; i += 4) {
        const __m128 s = taken_as_read<kind>(_mm_loadu_ps(y + i));
        const __m256d xs = _mm256_cvtps_pd(_mm_loadu_ps(x + i));
        const __m256d guess = _mm256_mul_pd(_mm256_sub_pd(xs, _mm256_cvtps_pd(s)), per);
        const __m256d small = _mm256_cmp_pd(_mm256_andnot_pd(sign_d, guess), largest, _CMP_LT_OQ);
        const __m256d g = _mm256_and_pd(small, guess);
        __m128i qv = _mm256_cvttpd_epi32(_mm256_add_pd(g, _mm256_or_pd(half, _mm256_and_pd(g, sign_d))));
        if constexpr (Checked) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(q + i), qv);
            const __m128 z = _mm_add_ps(s, _mm_mul_ps(_mm_cvtepi32_ps(qv), steps));
            const __m256d kept = _mm256_and_pd(
                small, _mm256_cmp_pd(_mm256_andnot_pd(sign_d, _mm256_sub_pd(xs, _mm256_cvtps_pd(z))), within, _CMP_LE_OQ));
            const auto lanes = static_cast<unsigned>(_mm256_movemask_pd(kept));
            counted += 4 - (lanes & 1u) - ((lanes >> 1) & 1u) - ((lanes >> 2) & 1u) - (lanes >> 3);
        } else {
            // (the low halves of the lane masks: one mask a lane)
            const __m128i small_lanes = _mm_castps_si128(_mm_shuffle_ps(_mm_castpd_ps(_mm256_castpd256_pd128(small)),
                                                                        _mm_castpd_ps(_mm256_extractf128_pd(small, 1)),
                                                                        _MM_SHUFFLE(2, 0, 2, 0)));
            qv = _mm_or_si128(_mm_and_si128(small_lanes, qv), _mm_andnot_si128(small_lanes, free));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(q + i), qv);
            const auto lanes = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(small_lanes)));
            counted += 4 - (lanes & 1u) - ((lanes >> 1) & 1u) - ((lanes >> 2) & 1u) - (lanes >> 3);
        }
    }
    return counted;
}

bool wide_quotients() {
    static const bool wide = __builtin_cpu_supports("avx");
    return wide;
}
#endif

#if defined(__SSE2__)
// Either, with the vectors this processor takes fastest.
template <Kind kind, bool Checked>
std::size_t quotients_in_fours(const float* x, const float* y, std::int32_t* q, std::size_t n, double per_step,
                               float step, double bound) {
#if defined(CORVANE_WIDE_QUOTIENTS)
    if (wide_quotients()) return nearest_quotients_wide<kind, Checked>(x, y, q, n, per_step, step, bound);
#endif
    return nearest_quotients<kind, Checked>(x, y, q, n, per_step, step, bound);
}
#endif

// The first samples of [at, at + n), four at a time, where they are held in
// single precision (see nearest_quotients; unchecked, only with a step):
// their quotients into q, what nearest_quotients counts added to `counted`;
// returns how many it took, a multiple of 4 (none without SSE2).
template <bool Checked>
std::size_t in_fours(const Held& held, const Corrector& c, std::span<const float> y, std::size_t at, std::size_t n,
                     double per_step, std::int32_t* q, std::size_t& counted) {
#if defined(__SSE2__)
    if (held.wide.empty() && (Checked || per_step != 0.0)) {
        const std::size_t four = n & ~std::size_t{3};
        const float* const x = held.narrow.data() + at;
        counted += c.kind == Kind::Integer
                       ? quotients_in_fours<Kind::Integer, Checked>(x, y.data() + at, q, four, per_step, c.step, c.bound)
                       : quotients_in_fours<Kind::Float, Checked>(x, y.data() + at, q, four, per_step, c.step, c.bound);
        return four;
    }
#endif
    (void)held, (void)c, (void)y, (void)at, (void)n, (void)per_step, (void)q, (void)counted;
    return 0;
}

// The bits a block of corrections takes, modelled from the root-mean-square
// of its misses in steps (s): log2(1 + (4.13 s)^2) / 2, which is about
// log2(s) + 2 for large s (a Gaussian's) and falls as s^2 for small ones;
// at least a little for any block, so a ratio of two stays finite.
constexpr std::size_t kModelStride = 8;
double modelled_bits(double squares, std::size_t length, double per_step) {
    constexpr double kSpread = 4.13;  // sqrt(2 pi e): a Gaussian's spread in its entropy
    const auto len = static_cast<double>(length);
    const double spread = kSpread * kSpread * squares / len * per_step * per_step;
    return len * std::max(0.5 * std::log2(1.0 + spread), 0.01);
}

// The largest bound that admits no decoded value but the samples themselves,
// given the bits of the smallest magnitude among them: half the spacing of
// single-precision values just below it (spacings only grow with magnitude).
// Every bound up to it asks for the same, so the search runs at this one and
// gives them one chunk. 0 for a zero sample and for non-finite ones.
double exact_only(std::uint32_t smallest) {
    if (smallest == 0 || smallest >= 0x7F800000u) return 0.0;
    const float magnitude = std::bit_cast<float>(smallest), below = std::bit_cast<float>(smallest - 1);
    return 0.5 * (static_cast<double>(magnitude) - static_cast<double>(below));
}

// The spacing of single-precision values of magnitude m (finite, above 0).
double spacing_at(double m) {
    if (m < static_cast<double>(std::numeric_limits<float>::min())) return std::ldexp(1.0, -149);
    int exponent = 0;
    std::frexp(m, &exponent);  // m in [2^(exponent - 1), 2^exponent)
    return std::ldexp(1.0, exponent - 24);
}

// Bounds up to this many spacings of the samples are taken to the grid below;
// past it the grid's step is wider than the usual one by too little to matter.
constexpr double kGridSpacings = 1024.0;

}  // namespace

Corrector corrector_for(const Held& held, double bound) {
    if (held.integers) {
        // An odd integer step below 2^24: steps of 2E + 1 put every integer
        // within E of a corrected value.
        const double e = std::min(std::floor(bound), double{(1 << 23) - 1});
        return {Kind::Integer, e, static_cast<float>(2.0 * e + 1.0)};
    }
    const double want = 2.0 * bound * kStepShare;
    auto step = static_cast<float>(want);
    if (static_cast<double>(step) > want) step = std::nextafter(step, 0.0f);
    // A step too small for a normal float corrects nothing: such samples escape.
    if (!(step >= std::numeric_limits<float>::min())) step = 0.0f;
    return {Kind::Float, bound, step};
}

Refinement corrections(const Held& held, const Corrector& c, std::span<const float> y) {
    Refinement r;
    r.kind = c.kind;
    r.step = c.step;
    r.residuals.resize(y.size());
    const double per_step = c.step > 0.0f ? 1.0 / static_cast<double>(c.step) : 0.0;
    with_samples(held, c.kind, [&](auto reference, auto start) {
        // The nearest quotient of every sample, checked, in a loop without
        // branches; the few it leaves outside the bound go through
        // residual_for(), whose first try is this one.
        constexpr std::size_t kBlock = 256;
        for (std::size_t at = 0; at < y.size(); at += kBlock) {
            const std::size_t to = std::min(y.size(), at + kBlock);
            std::size_t misses = 0;
            const std::size_t from =
                at + in_fours<true>(held, c, y, at, to - at, per_step, r.residuals.data() + at, misses);
            for (std::size_t i = from; i < to; ++i) {
                const double x = reference(i);
                const float s = start(y[i]);
                const double guess = (x - static_cast<double>(s)) * per_step;
                const bool small = std::abs(guess) < refine::kLargestResidual - 1;
                const double g = small ? guess : 0.0;
                const auto q = static_cast<std::int32_t>(g + std::copysign(0.5, g));
                const float z = s + static_cast<float>(q) * c.step;
                r.residuals[i] = q;
                misses += (small & (std::abs(x - static_cast<double>(z)) <= c.bound)) ? 0u : 1u;
            }
            if (misses == 0) continue;
            for (std::size_t i = at; i < to; ++i) {
                const auto q = residual_for(c, per_step, reference(i), y[i], start(y[i]));
                r.residuals[i] = q.value_or(refine::kFree);
                if (!q) r.escapes.push_back({static_cast<std::uint32_t>(i), held.narrow[i]});
            }
        }
        return 0;
    });
    return r;
}


bool keeps_bound(const Held& held, const Corrector& c, std::span<const float> y) {
    constexpr std::size_t kBlock = 256;
    return with_samples(held, held.reader_rounds ? Kind::Integer : Kind::Float, [&](auto reference, auto start) {
        for (std::size_t at = 0; at < y.size(); at += kBlock) {
            std::size_t misses = 0;
            for (std::size_t i = at; i < std::min(y.size(), at + kBlock); ++i)
                misses += !(std::abs(reference(i) - static_cast<double>(start(y[i]))) <= c.bound) ? 1u : 0u;
            if (misses != 0) return false;
        }
        return true;
    });
}


double correction_bits(const Held& held, const Corrector& c, std::span<const float> y,
                       std::vector<std::int32_t>& sample, std::optional<refine::Fitted>* fitted,
                       refine::Predictor* weights) {
    const std::size_t n = y.size();
    const refine::Sampling s = refine::sampling_for(n);
    const double per_step = c.step > 0.0f ? 1.0 / static_cast<double>(c.step) : 0.0;
    // (every block taken: what the sample holds is all there is to scale by)
    const bool whole = s.stride == s.block;
    std::size_t taken_residuals = 0;
    for (std::size_t at = 0; at < n; at += s.stride) taken_residuals += std::min(s.block, n - at);
    sample.resize(taken_residuals);
    std::size_t escapes = 0, put = 0;
    double modelled = 0.0, modelled_taken = 0.0;
    with_samples(held, c.kind, [&](auto reference, auto start) {
        auto miss = [&](std::size_t i) { return reference(i) - static_cast<double>(start(y[i])); };
        for (std::size_t at = 0; at < n; at += s.block) {
            const std::size_t to = std::min(n, at + s.block);
            if (!whole) {
                // (every kModelStride-th miss of the block gives its spread)
                double squares = 0.0;
                std::size_t taken = 0;
                for (std::size_t i = at; i < to; i += kModelStride, ++taken) {
                    const double d = miss(i);
                    squares += d * d;
                }
                const double bits =
                    modelled_bits(squares * static_cast<double>(to - at) / static_cast<double>(taken), to - at, per_step);
                modelled += bits;
                if (at % s.stride != 0) continue;
                modelled_taken += bits;
            }
            const std::size_t four = in_fours<false>(held, c, y, at, to - at, per_step, sample.data() + put, escapes);
            const std::size_t from = at + four;
            put += four;
            for (std::size_t i = from; i < to; ++i) {
                const double d = miss(i), guess = d * per_step;
                std::int32_t q = refine::kFree;
                if (per_step == 0.0 ? std::abs(d) <= c.bound : std::abs(guess) < refine::kLargestResidual - 1)
                    q = static_cast<std::int32_t>(guess + (guess < 0.0 ? -0.5 : 0.5));
                escapes += q == refine::kFree ? 1u : 0u;
                sample[put++] = q;
            }
        }
        return 0;
    });
    refine::Predictor p = refine::fit_predictor(sample, s.block);
    if (weights) *weights = p;
    const double taken = static_cast<double>(std::max<std::size_t>(sample.size(), 1));
    double unscaled = 0.0;
    double counted = refine::residual_bits(sample, n, p, &unscaled) * taken / static_cast<double>(n);
    if (refine::weighs_previous(p, sample, s.block)) {
        double previous = 0.0;
        const double bits = refine::residual_bits(sample, n, refine::kPrevious, &previous) * taken / static_cast<double>(n);
        if (previous < unscaled) p = refine::kPrevious, unscaled = previous, counted = bits;
    }
    double long_bits = 0.0;
    const refine::LongPredictor lp = c.long_predicted ? refine::fit_long(sample, s.block, &long_bits) : refine::LongPredictor{};
    if (lp.order > 0 && long_bits < unscaled) counted *= long_bits / unscaled;
    if (fitted) *fitted = s.block >= n ? std::optional(refine::Fitted{p, unscaled, lp, long_bits}) : std::nullopt;
    return kContainerBits + counted * (whole ? 1.0 : modelled / modelled_taken) +
           kEscapeBits * static_cast<double>(escapes) * static_cast<double>(n) / taken;
}


double largest_error(const Held& held, std::span<const float> decoded) {
    // Four running maxima, so that each sample's does not wait for the one
    // before (the largest of them is the same, whatever the order); any NaN
    // makes the error infinite.
    double worst[4] = {};
    bool nan = false;
    for (std::size_t i = 0; i < decoded.size(); ++i) {
        const double y = held.reader_rounds ? refine::nearest_integer(decoded[i]) : decoded[i];
        const double d = std::abs(held[i] - y);
        nan |= std::isnan(d);
        worst[i % 4] = std::max(worst[i % 4], d);
    }
    if (nan) return std::numeric_limits<double>::infinity();
    return std::max(std::max(worst[0], worst[1]), std::max(worst[2], worst[3]));
}


Prepared on_grid(const Held& held, double bound) {
    if (held.integers || !held.wide.empty() || held.narrow.empty()) return {bound, 0.0f};
    std::uint32_t smallest = 0x7F800000u, largest = 0;  // (the bits of infinity: above every finite magnitude)
    for (const float v : held.narrow) {
        const std::uint32_t magnitude = std::bit_cast<std::uint32_t>(v) & 0x7FFFFFFFu;
        smallest = std::min(smallest, magnitude);
        largest = std::max(largest, magnitude);
    }
    const double exact = exact_only(smallest);
    bound = std::max(bound, exact);
    if (exact == 0.0 || largest >= 0x7F800000u) return {bound, 0.0f};
    // (the smallest magnitude taken a little lower, so that a rounding of the
    // difference never lands on a coarser spacing than the values have)
    const double low = (static_cast<double>(std::bit_cast<float>(smallest)) - bound) * (1.0 - 0x1p-40);
    if (!(low > 0.0)) return {bound, 0.0f};
    const double u = spacing_at(low), k = std::floor(bound / u);
    if (!(k < kGridSpacings)) return {bound, 0.0f};
    const double snapped = k == 0.0 ? exact : k * u;
    const double high = (static_cast<double>(std::bit_cast<float>(largest)) + snapped) * (1.0 + 0x1p-40);
    const double step = (2.0 * k + 1.0) * u;
    // (a step too small for a normal float is left to corrector_for())
    if (!(high < static_cast<double>(std::numeric_limits<float>::max())) || spacing_at(high) != u ||
        step < static_cast<double>(std::numeric_limits<float>::min()))
        return {snapped, 0.0f};
    return {snapped, static_cast<float>(step), u};
}

}  // namespace corvane::target
