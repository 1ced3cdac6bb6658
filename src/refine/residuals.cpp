#include "src/refine/residuals.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numbers>

#include "src/entropy/binrans.hpp"
#include "src/refine/activity.hpp"
#include "src/refine/tabled.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(CORVANE_NARROW_SUMS)
#include <immintrin.h>
#define CORVANE_WIDE_SUMS 1
#endif

namespace corvane::refine {
namespace {

// Context table. The zero flag and the magnitude's unary length are coded
// in the context of the miss's neighbourhood (activity()). The sign is coded
// in the context of the previous miss's sign; the first two bits below the
// leading one in the context of the length; the rest share one context (they
// are close to even).
constexpr std::uint32_t kUnarySteps = 16;  // unary steps past this share the last context
constexpr std::uint32_t kLengths = 25;     // a miss below 2^25 has at most 25 binary digits
constexpr std::uint32_t kZero = 0;
constexpr std::uint32_t kSign = kZero + kActivities;
constexpr std::uint32_t kUnary = kSign + 3;
constexpr std::uint32_t kHigh = kUnary + kActivities * kUnarySteps;
constexpr std::uint32_t kLow = kHigh + 2 * kLengths;
constexpr std::uint32_t kContexts = kLow + 1;

// 0 for no sign, 1 for a positive miss, 2 for a negative one.
std::uint32_t sign_of(std::int32_t v) { return v > 0 ? 1u : v < 0 ? 2u : 0u; }

std::uint32_t unary_context(std::uint32_t act, std::uint32_t step) {
    return kUnary + act * kUnarySteps + std::min(step, kUnarySteps - 1);
}

constexpr std::uint32_t mantissa_context(std::uint32_t length, std::uint32_t bit_below) {
    return bit_below < 2 ? kHigh + 2 * length + bit_below : kLow;
}

std::int32_t predicted(Predictor p, std::int32_t q1, std::int32_t q2) {
    const std::int64_t v = (std::int64_t{p.a} * q1 + std::int64_t{p.b} * q2 + 16) >> 5;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, -kLargestResidual, kLargestResidual));
}

// The residual whose miss is v: predicted(p, q1, q2) + v, kept within
// +-kLargestResidual (an encoder's never leave it; a damaged stream's are
// kept in it). Where neither the prediction nor the sum leaves the range,
// as they hardly ever do, neither clamp applies: a branch that is as good as
// always taken keeps the clamps off the chain from q1, which the next
// residual waits for.
[[gnu::always_inline]] inline std::int32_t following(Predictor p, std::int32_t q1, std::int32_t q2, std::int32_t v) {
    const std::int64_t guess = (std::int64_t{p.a} * q1 + std::int64_t{p.b} * q2 + 16) >> 5;
    const std::int64_t sum = guess + v;
    auto inside = [](std::int64_t x) {
        return static_cast<std::uint64_t>(x + kLargestResidual) <= std::uint64_t{2} * kLargestResidual;
    };
    if (inside(guess) && inside(sum)) [[likely]] return static_cast<std::int32_t>(sum);
    return static_cast<std::int32_t>(
        std::clamp<std::int64_t>(std::int64_t{predicted(p, q1, q2)} + v, -kLargestResidual, kLargestResidual));
}

// The most decisions one residual takes: its zero flag, its sign, a unary
// length of up to kLengths - 1 steps and as many bits below its leading one.
constexpr std::size_t kMostDecisions = 2 + 2 * (kLengths - 1);

// What a magnitude adds to the counts past its zero flag and sign: the
// length of its binary form (0 for 0 and 1), its two leading mantissa bits
// as slots of the counts with how many times each is counted (0 or 1), and
// the ones among the rest and their number; looked up below kTabled.
struct MagnitudeCounts {
    std::uint16_t first = 0, second = 0;
    std::uint8_t length = 0, first_times = 0, second_times = 0, ones = 0, all = 0;
};
constexpr MagnitudeCounts counts_of(std::uint32_t m) {
    MagnitudeCounts c;
    const auto length = static_cast<std::uint32_t>(std::bit_width(m | 1u)) - 1;
    const std::uint32_t l1 = std::max(length, 1u), l2 = std::max(length, 2u);
    c.length = static_cast<std::uint8_t>(length);
    c.first = static_cast<std::uint16_t>(2 * mantissa_context(l1, 0) + ((m >> (l1 - 1)) & 1u));
    c.first_times = length >= 1 ? 1 : 0;
    c.second = static_cast<std::uint16_t>(2 * mantissa_context(l2, 1) + ((m >> (l2 - 2)) & 1u));
    c.second_times = length >= 2 ? 1 : 0;
    c.ones = static_cast<std::uint8_t>(std::popcount(m & ((1u << (l2 - 2)) - 1u)));
    c.all = static_cast<std::uint8_t>(l2 - 2);
    return c;
}
constexpr std::uint32_t kTabled = 256;
struct MagnitudeTable {
    MagnitudeCounts of[kTabled];
    constexpr MagnitudeTable() : of{} {
        for (std::uint32_t m = 0; m < kTabled; ++m) of[m] = counts_of(m);
    }
};
inline constexpr MagnitudeTable kMagnitudes{};

// The decisions encode_residuals() records, counted per context (zeros, ones)
// into `counts` without making them one by one. Every decision but the sign
// follows from a miss's activity and magnitude alone, so the loop only
// tallies each (activity, magnitude) pair, and each pair of the previous
// sign and this one, and the decisions are counted from the tallies after
// it: a pair's zero flag and sign, the length of its magnitude (whose unary
// decisions follow from it), its two leading mantissa bits, and how many of
// the rest are ones. Magnitudes from kTabled on, which are rare, are counted
// as they come. What a miss does not have is counted 0 times, in a context
// left as it was.
void count(std::span<const std::int32_t> q, Predictor p, std::vector<std::uint32_t>& counts, std::size_t warm = 0) {
    // (magnitudes are tallied up to kTallied; larger ones are counted as
    // they come, which keeps the tally small to clear)
    constexpr std::uint32_t kTallied = 64;
    std::uint32_t tally[kActivities][kTallied] = {};
    std::uint32_t signs[3][3] = {};  // [the previous miss's sign][this one's], as sign_of gives them
    std::uint32_t lengths[kActivities][kLengths] = {};
    std::uint32_t low_ones = 0, low_all = 0;
    std::uint32_t* const slots = counts.data();
    auto add = [&](std::uint32_t ctx, std::uint32_t b, std::uint32_t times) { slots[2 * ctx + b] += times; };
    auto magnitude = [&](std::uint32_t act, const MagnitudeCounts& c, std::uint32_t times) {
        lengths[act][c.length] += times;
        slots[c.first] += c.first_times * times;
        slots[c.second] += c.second_times * times;
        low_ones += c.ones * times;
        low_all += c.all * times;
    };
    std::uint32_t a = 0, b = 0, previous = 0, top = 0;
    std::int32_t q1 = 0, q2 = 0;
    auto next = [&](std::int32_t given, auto&& seen) {
        const std::int32_t guess = predicted(p, q1, q2);
        const std::int32_t value = given == kFree ? guess : given;
        const std::int32_t v = value - guess;
        const auto m = static_cast<std::uint32_t>(std::abs(v));
        const std::uint32_t sign = static_cast<std::uint32_t>(v > 0) + 2 * static_cast<std::uint32_t>(v < 0);
        seen(m, sign);
        b = a;
        a = m;
        previous = sign;
        q2 = q1;
        q1 = value;
    };
    warm = std::min(warm, q.size());
    for (const std::int32_t given : q.first(warm)) next(given, [](std::uint32_t, std::uint32_t) {});
    for (const std::int32_t given : q.subspan(warm)) {
        next(given, [&](std::uint32_t m, std::uint32_t sign) {
            const std::uint32_t act = activity(a, b);
            if (m < kTallied) [[likely]] {
                ++tally[act][m];
                top = std::max(top, m);
            } else {
                add(kZero + act, 1, 1);
                magnitude(act, m < kTabled ? kMagnitudes.of[m] : counts_of(m), 1);
            }
            ++signs[previous][sign];
        });
    }
    for (std::uint32_t act = 0; act < kActivities; ++act) {
        add(kZero + act, 0, tally[act][0]);
        for (std::uint32_t m = 1; m <= top; ++m) {
            const std::uint32_t times = tally[act][m];
            if (times == 0) continue;
            add(kZero + act, 1, times);
            magnitude(act, kMagnitudes.of[m], times);
        }
    }
    // (a miss of 0 has no sign decision)
    for (std::uint32_t s = 0; s < 3; ++s) {
        add(kSign + s, 0, signs[s][1]);
        add(kSign + s, 1, signs[s][2]);
    }
    // A magnitude of length L makes L ones in its unary steps, then a zero
    // (none at the longest).
    for (std::uint32_t act = 0; act < kActivities; ++act) {
        for (std::uint32_t length = 0; length < kLengths; ++length) {
            const std::uint32_t times = lengths[act][length];
            if (times == 0) continue;
            for (std::uint32_t j = 0; j < length; ++j) add(unary_context(act, j), 1, times);
            if (length + 1 < kLengths) add(unary_context(act, length), 0, times);
        }
    }
    add(kLow, 1, low_ones);
    add(kLow, 0, low_all - low_ones);
}

// log2 of the counts most contexts hold, looked up.
struct CountLogs {
    static constexpr std::uint32_t kSize = 4096;
    double of[kSize];
    CountLogs() : of{} {
        for (std::uint32_t c = 1; c < kSize; ++c) of[c] = std::log2(static_cast<double>(c));
    }
};
double log2_of(std::uint32_t count) {
    static const CountLogs logs;
    return count < CountLogs::kSize ? logs.of[count] : std::log2(static_cast<double>(count));
}

// The bits of the decisions counted, from their frequencies in each context.
double bits_of(const std::vector<std::uint32_t>& counts) {
    // A context the coder adapts 1/16 of the way never gives a decision less
    // than about 1/270 of its probability away from certainty: 15/4096.
    static const double kFloorBits = std::log2(15.0 / 4096.0), kCeilingBits = std::log2(4081.0 / 4096.0);
    double bits = 32.0;
    for (std::uint32_t c = 0; c < kContexts; ++c) {
        const std::uint64_t zeros = counts[2 * c], ones = counts[2 * c + 1], all = zeros + ones;
        if (all == 0) continue;
        const double log_all = log2_of(static_cast<std::uint32_t>(std::min<std::uint64_t>(all, UINT32_MAX)));
        for (const std::uint64_t k : {zeros, ones}) {
            if (k == 0) continue;
            // (k / all against 15/4096 and 4081/4096, in integers)
            const double share = 4096 * k < 15 * all     ? kFloorBits
                                 : 4096 * k > 4081 * all ? kCeilingBits
                                                         : log2_of(static_cast<std::uint32_t>(k)) - log_all;
            bits -= static_cast<double>(k) * share;
        }
    }
    return bits;
}

// A sample of blocks lies back to back, so a block's first residuals follow
// another block's last ones rather than their own: the first kWarm of every
// block but the signal's first only set up the contexts and predictions of
// the rest.
constexpr std::size_t kWarm = 4;

// The decisions of the sample's blocks counted per context; returns how many
// residuals were counted.
// The residuals of a block from `at` on that count: all but the first `warm`
// of every block but the signal's first.
std::size_t skipped_in(std::size_t at, std::size_t size, std::size_t warm) { return at == 0 ? 0 : std::min(warm, size); }

std::size_t count_blocks(std::span<const std::int32_t> sample, std::size_t block, Predictor p,
                         std::vector<std::uint32_t>& counts, std::size_t warm = kWarm) {
    std::size_t counted = 0;
    for (std::size_t at = 0; at < sample.size(); at += block) {
        const auto part = sample.subspan(at, std::min(block, sample.size() - at));
        const std::size_t skipped = skipped_in(at, part.size(), warm);
        count(part, p, counts, skipped);
        counted += part.size() - skipped;
    }
    return counted;
}

// The least-squares weights of a[i] q[i-1] + b q[i-2] ~ q[i] over every
// block, each residual's square weighed by weigh(i, miss) (its miss under
// the predictor `now`), its weights rounded to 1/32.
template <class Weigh>
Predictor least_squares(std::span<const std::int32_t> q, std::size_t block, Predictor now, Weigh&& weigh) {
    // The normal equations, summed in order.
    double s11 = 0.0, s12 = 0.0, s22 = 0.0, s01 = 0.0, s02 = 0.0;
    auto at = [&](std::size_t i) { return q[i] == kFree ? 0.0 : static_cast<double>(q[i]); };
    for (std::size_t start = 0; start < q.size(); start += block) {
        const std::size_t end = std::min(q.size(), start + block);
        if (end - start < 3) continue;
        double x1 = at(start + 1), x2 = at(start);
        for (std::size_t i = start + 2; i < end; x2 = x1, x1 = at(i), ++i) {
            const double x0 = at(i);
            const double w = weigh(i - start, x0 - (now.a * x1 + now.b * x2) / 32.0);
            s11 += w * x1 * x1;
            s12 += w * x1 * x2;
            s22 += w * x2 * x2;
            s01 += w * x0 * x1;
            s02 += w * x0 * x2;
        }
    }
    const double det = s11 * s22 - s12 * s12;
    if (!(det > 0.0)) return {};
    auto weight = [](double w) {
        return static_cast<std::int8_t>(std::clamp(std::nearbyint(32.0 * w), -128.0, 127.0));
    };
    return {weight((s01 * s22 - s02 * s12) / det), weight((s02 * s11 - s01 * s12) / det)};
}

// The sum of a[t] b[t] over t < len (a multiple of 4), in two pairs of
// partial sums: exact in any order for a long predictor's terms.
[[gnu::always_inline]] inline double dot(const double* a, const double* b, std::size_t len) {
#if defined(__SSE2__)
    __m128d s0 = _mm_setzero_pd(), s1 = _mm_setzero_pd(), s2 = _mm_setzero_pd(), s3 = _mm_setzero_pd();
    std::size_t t = 0;
    for (; t + 8 <= len; t += 8) {
        s0 = _mm_add_pd(s0, _mm_mul_pd(_mm_loadu_pd(a + t), _mm_loadu_pd(b + t)));
        s1 = _mm_add_pd(s1, _mm_mul_pd(_mm_loadu_pd(a + t + 2), _mm_loadu_pd(b + t + 2)));
        s2 = _mm_add_pd(s2, _mm_mul_pd(_mm_loadu_pd(a + t + 4), _mm_loadu_pd(b + t + 4)));
        s3 = _mm_add_pd(s3, _mm_mul_pd(_mm_loadu_pd(a + t + 6), _mm_loadu_pd(b + t + 6)));
    }
    if (t < len) {
        s0 = _mm_add_pd(s0, _mm_mul_pd(_mm_loadu_pd(a + t), _mm_loadu_pd(b + t)));
        s1 = _mm_add_pd(s1, _mm_mul_pd(_mm_loadu_pd(a + t + 2), _mm_loadu_pd(b + t + 2)));
    }
    s0 = _mm_add_pd(_mm_add_pd(s0, s1), _mm_add_pd(s2, s3));
    return _mm_cvtsd_f64(s0) + _mm_cvtsd_f64(_mm_unpackhi_pd(s0, s0));
#else
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    for (std::size_t t = 0; t < len; t += 4) {
        s0 += a[t] * b[t];
        s1 += a[t + 1] * b[t + 1];
        s2 += a[t + 2] * b[t + 2];
        s3 += a[t + 3] * b[t + 3];
    }
    return (s0 + s1) + (s2 + s3);
#endif
}

// How a long predictor's sums are taken: by dot() above, or, on processors
// with 256-bit vectors, four terms at a time. The sums are exact either way,
// so both give the same integers; the loops that take them are compiled once
// for each (wide_sums() says which runs; a build with CORVANE_NARROW_SUMS
// defined, as the sanitizer build's tests are, takes dot() alone).
struct NarrowSums {
    [[gnu::always_inline]] static double dot(const double* a, const double* b, std::size_t len) {
        return refine::dot(a, b, len);
    }
};
#if defined(CORVANE_WIDE_SUMS)
struct WideSums {
    // (inlined only into the loops compiled for these processors, which are
    // flattened; nothing else calls it)
    [[gnu::target("avx")]] static double dot(const double* a, const double* b, std::size_t len) {
        __m256d s0 = _mm256_setzero_pd(), s1 = _mm256_setzero_pd();
        std::size_t t = 0;
        for (; t + 8 <= len; t += 8) {
            s0 = _mm256_add_pd(s0, _mm256_mul_pd(_mm256_loadu_pd(a + t), _mm256_loadu_pd(b + t)));
            s1 = _mm256_add_pd(s1, _mm256_mul_pd(_mm256_loadu_pd(a + t + 4), _mm256_loadu_pd(b + t + 4)));
        }
        if (t < len) s0 = _mm256_add_pd(s0, _mm256_mul_pd(_mm256_loadu_pd(a + t), _mm256_loadu_pd(b + t)));
        const __m256d s = _mm256_add_pd(s0, s1);
        const __m128d h = _mm_add_pd(_mm256_castpd256_pd128(s), _mm256_extractf128_pd(s, 1));
        return _mm_cvtsd_f64(h) + _mm_cvtsd_f64(_mm_unpackhi_pd(h, h));
    }
};
bool wide_sums() {
    static const bool wide = __builtin_cpu_supports("avx");
    return wide;
}
#endif

// A long predictor's weights, reversed beside the residuals they weigh:
// residual i is predicted from past[-order .. -1], with past = the residuals
// as doubles, from i on, behind kBehind zeros (the residuals before the
// first). The decoder sums the terms of the kApart latest residuals apart,
// in integers, so that the rest of the sum does not wait for them.
class LongWeights {
public:
    static constexpr std::size_t kPad = 4;  // zeros before the weights and the residuals
    static constexpr std::size_t kBehind = kLongestOrder + kPad;
    static constexpr std::size_t kApart = 4;

    explicit LongWeights(const LongPredictor& lp)
        : all_(round4(lp.order)), older_(round4(lp.order > kApart ? lp.order - kApart : 0u)), shift_(lp.shift),
          half_((std::int64_t{1} << lp.shift) >> 1) {
        for (std::size_t j = 0; j < lp.order; ++j) weights_[kPad + kLongestOrder - 1 - j] = lp.weights[j];
        for (std::size_t j = 0; j < kApart && j < lp.order; ++j) latest_[j] = lp.weights[j];
    }
    // The prediction of the residual at `past`.
    template <class Sums = NarrowSums>
    std::int32_t guess(const double* past) const {
        const std::size_t from = kLongestOrder - all_;
        return finish(static_cast<std::int64_t>(Sums::dot(weights_.data() + kPad + from, past - kLongestOrder + from, all_)));
    }
    // The same, given the kApart latest residuals as integers, latest first.
    template <class Sums = NarrowSums>
    std::int32_t guess_apart(const double* past, const std::int64_t* latest) const {
        // (the terms from kApart back, which may reach up to three before
        // the order, where the weights are 0)
        const std::size_t from = kLongestOrder - kApart - older_;
        const auto older = static_cast<std::int64_t>(Sums::dot(weights_.data() + kPad + from, past - kLongestOrder + from, older_));
        return finish(older + (latest_[0] * latest[0] + latest_[1] * latest[1]) +
                      (latest_[2] * latest[2] + latest_[3] * latest[3]));
    }

#if defined(CORVANE_WIDE_SUMS)
    // The sums of the predictions of the sixteen residuals at past[0 .. 16),
    // all before them laid out, into sums[0 .. 16): a term a lane, four
    // lanes at once, four sets of lanes side by side (exact in any order),
    // for finish_sum().
    [[gnu::target("avx")]] void sums_of_sixteen(const double* past, double* sums) const {
        __m256d a = _mm256_setzero_pd(), b = _mm256_setzero_pd(), c = _mm256_setzero_pd(), d = _mm256_setzero_pd();
        for (std::size_t u = kLongestOrder - all_; u < kLongestOrder; ++u) {
            const __m256d weight = _mm256_broadcast_sd(&weights_[kPad + u]);
            const double* const at = past + u - kLongestOrder;
            a = _mm256_add_pd(a, _mm256_mul_pd(weight, _mm256_loadu_pd(at)));
            b = _mm256_add_pd(b, _mm256_mul_pd(weight, _mm256_loadu_pd(at + 4)));
            c = _mm256_add_pd(c, _mm256_mul_pd(weight, _mm256_loadu_pd(at + 8)));
            d = _mm256_add_pd(d, _mm256_mul_pd(weight, _mm256_loadu_pd(at + 12)));
        }
        _mm256_storeu_pd(sums, a);
        _mm256_storeu_pd(sums + 4, b);
        _mm256_storeu_pd(sums + 8, c);
        _mm256_storeu_pd(sums + 12, d);
    }
#endif
    // The prediction whose terms sum to `sum`.
    std::int32_t finish_sum(double sum) const { return finish(static_cast<std::int64_t>(sum)); }

    // Whether the kApart latest residuals are all it weighs (order up to kApart).
    bool latest_only() const { return older_ == 0; }
    // For such a predictor: the prediction from them alone, and the residual
    // a miss v gives (as long_following() forms it from that prediction).
    std::int32_t guess_latest(const std::int64_t* latest) const {
        return finish((latest_[0] * latest[0] + latest_[1] * latest[1]) + (latest_[2] * latest[2] + latest_[3] * latest[3]));
    }
    [[gnu::always_inline]] std::int32_t follow_latest(const std::int64_t* latest, std::int32_t v) const {
        // (as the short predictor's following(): where neither the
        // prediction nor the sum leaves the range, no clamp waits on them)
        const std::int64_t guess =
            ((latest_[0] * latest[0] + latest_[1] * latest[1]) + (latest_[2] * latest[2] + latest_[3] * latest[3]) + half_) >>
            shift_;
        const std::int64_t sum = guess + v;
        auto inside = [](std::int64_t x) {
            return static_cast<std::uint64_t>(x + kLargestResidual) <= std::uint64_t{2} * kLargestResidual;
        };
        if (inside(guess) && inside(sum)) [[likely]] return static_cast<std::int32_t>(sum);
        return static_cast<std::int32_t>(std::clamp<std::int64_t>(
            std::clamp<std::int64_t>(guess, -kLargestResidual, kLargestResidual) + v, -kLargestResidual, kLargestResidual));
    }

private:
    static std::size_t round4(std::size_t v) { return (v + 3u) & ~std::size_t{3}; }
    std::int32_t finish(std::int64_t sum) const {
        const std::int64_t v = (sum + half_) >> shift_;
        return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, -kLargestResidual, kLargestResidual));
    }

    std::size_t all_, older_;  // the terms summed, rounded up to fours (the weights past them are 0)
    unsigned shift_;
    std::int64_t half_;
    std::array<std::int64_t, kApart> latest_{};
    std::array<double, kPad + kLongestOrder> weights_{};
};

// The residuals a long predictor weighs, as doubles, in a window that
// slides a stretch at a time: kBehind of them before the stretch, so that
// memory does not grow with the signal.
class LongWindow {
public:
    static constexpr std::size_t kStretch = 4096;
    // Zeros before the stretch: the residuals before a block's first.
    void restart() { std::fill(past_.begin(), past_.begin() + kBehind, 0.0); }
    // The last kBehind residuals of a full stretch moved before the next.
    void slide() { std::copy(past_.end() - kBehind, past_.end(), past_.begin()); }
    double* stretch() { return past_.data() + kBehind; }

private:
    static constexpr std::size_t kBehind = LongWeights::kBehind;
    std::vector<double> past_ = std::vector<double>(kBehind + kStretch, 0.0);
};

// The residual a long predictor's miss v gives: the prediction plus v,
// within +-kLargestResidual (as the short predictor's, see following()).
std::int32_t long_following(std::int32_t guess, std::int32_t v) {
    return static_cast<std::int32_t>(
        std::clamp<std::int64_t>(std::int64_t{guess} + v, -kLargestResidual, kLargestResidual));
}

// The misses of residuals [from, to), all of them laid out at `at` (at[i]:
// residual i): nothing waits for a prediction.
template <class Sums>
[[gnu::always_inline]] inline void misses_laid_out(const LongWeights& w, const double* at, const std::int32_t* q,
                                                   std::int32_t* misses, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) misses[i] = q[i] - w.guess<Sums>(at + i);
}

// n residuals made from their misses and laid out at `at`, after the ones
// before them there; `latest` holds the kApart latest, latest first.
template <class Sums>
[[gnu::always_inline]] inline void follow_misses(const LongWeights& w, double* at, std::int64_t* latest,
                                                 const std::int32_t* misses, std::int32_t* values, std::size_t n) {
    std::int64_t l0 = latest[0], l1 = latest[1], l2 = latest[2], l3 = latest[3];
    static_assert(LongWeights::kApart == 4);
    for (std::size_t j = 0; j < n; ++j) {
        const std::int64_t now[LongWeights::kApart] = {l0, l1, l2, l3};
        const std::int32_t value = long_following(w.guess_apart<Sums>(at + j, now), misses[j]);
        at[j] = static_cast<double>(value);
        values[j] = value;
        l3 = l2, l2 = l1, l1 = l0, l0 = value;
    }
    latest[0] = l0, latest[1] = l1, latest[2] = l2, latest[3] = l3;
}

#if defined(CORVANE_WIDE_SUMS)
// (sixteen residuals at a time, each term of their predictions a lane)
[[gnu::target("avx"), gnu::flatten]] void misses_laid_out_wide(const LongWeights& w, const double* at,
                                                                const std::int32_t* q, std::int32_t* misses,
                                                                std::size_t from, std::size_t to) {
    std::size_t i = from;
    for (; i + 16 <= to; i += 16) {
        double sums[16];
        w.sums_of_sixteen(at + i, sums);
        for (std::size_t k = 0; k < 16; ++k) misses[i + k] = q[i + k] - w.finish_sum(sums[k]);
    }
    misses_laid_out<WideSums>(w, at, q, misses, i, to);
}
[[gnu::target("avx"), gnu::flatten]] void follow_misses_wide(const LongWeights& w, double* at, std::int64_t* latest,
                                                              const std::int32_t* misses, std::int32_t* values,
                                                              std::size_t n) {
    follow_misses<WideSums>(w, at, latest, misses, values, n);
}
#endif

// Either, with the sums this processor takes fastest.
void misses_laid_out(const LongWeights& w, const double* at, const std::int32_t* q, std::int32_t* misses,
                     std::size_t from, std::size_t to) {
#if defined(CORVANE_WIDE_SUMS)
    if (wide_sums()) return misses_laid_out_wide(w, at, q, misses, from, to);
#endif
    misses_laid_out<NarrowSums>(w, at, q, misses, from, to);
}
void follow_misses(const LongWeights& w, double* at, std::int64_t* latest, const std::int32_t* misses,
                   std::int32_t* values, std::size_t n) {
#if defined(CORVANE_WIDE_SUMS)
    if (wide_sums()) return follow_misses_wide(w, at, latest, misses, values, n);
#endif
    follow_misses<NarrowSums>(w, at, latest, misses, values, n);
}

// A long predictor is weighed only for residuals that two weights already
// predict to within this share of their energy: residuals of a base that
// takes in most of the signal are close to noise, which no longer predictor
// helps.
constexpr double kSmooth = 0.25;
// The order is chosen among the fits by the bits their misses foretell,
// half the log of their energy per residual, and two bytes per weight.
constexpr double kBitsPerWeight = 16.0;

}  // namespace

double sample_bits(std::span<const std::int32_t> sample, std::size_t block, Predictor p, std::size_t warm,
                   std::size_t* counted) {
    std::vector<std::uint32_t> counts(2 * kContexts, 0);
    const std::size_t n = count_blocks(sample, std::max<std::size_t>(block, 1), p, counts, warm);
    if (counted) *counted = n;
    return bits_of(counts);
}

void long_misses(std::span<const std::int32_t> q, std::size_t block, const LongPredictor& lp,
                 std::span<std::int32_t> misses) {
    block = std::max<std::size_t>(block, 1);
    const LongWeights w(lp);
    if (w.latest_only()) {
        // Predicted from the kApart residuals before each (as decoding has
        // them, taking its prediction for a kFree one), in integers.
        for (std::size_t start = 0; start < q.size(); start += block) {
            const std::size_t end = std::min(q.size(), start + block);
            std::int64_t l[LongWeights::kApart] = {};
            const auto first = q.begin() + static_cast<std::ptrdiff_t>(start), last = q.begin() + static_cast<std::ptrdiff_t>(end);
            if (std::find(first, last, kFree) == last) {
                // (no residual waits for a prediction)
                for (std::size_t i = start; i < end; ++i) {
                    misses[i] = q[i] - w.guess_latest(l);
                    l[3] = l[2], l[2] = l[1], l[1] = l[0], l[0] = q[i];
                }
                continue;
            }
            for (std::size_t i = start; i < end; ++i) {
                const std::int32_t guess = w.guess_latest(l);
                const std::int32_t value = q[i] == kFree ? guess : q[i];
                misses[i] = value - guess;
                l[3] = l[2], l[2] = l[1], l[1] = l[0], l[0] = value;
            }
        }
        return;
    }
    LongWindow window;
    for (std::size_t start = 0; start < q.size(); start += block) {
        const std::size_t end = std::min(q.size(), start + block);
        window.restart();
        for (std::size_t from = start; from < end; from += LongWindow::kStretch) {
            if (from > start) window.slide();
            const std::size_t to = std::min(end, from + LongWindow::kStretch);
            double* const at = window.stretch() - from;  // at[i]: residual i
            const auto first = q.begin() + static_cast<std::ptrdiff_t>(from), last = q.begin() + static_cast<std::ptrdiff_t>(to);
            if (std::find(first, last, kFree) == last) {
                // (no residual waits for a prediction: all are laid out first)
                for (std::size_t i = from; i < to; ++i) at[i] = static_cast<double>(q[i]);
                misses_laid_out(w, at, q.data(), misses.data(), from, to);
                continue;
            }
            for (std::size_t i = from; i < to; ++i) {
                const std::int32_t guess = w.guess(at + i);
                const std::int32_t value = q[i] == kFree ? guess : q[i];
                misses[i] = value - guess;
                at[i] = static_cast<double>(value);
            }
        }
    }
}

bool two_weights_predict(std::span<const std::int32_t> q, std::size_t block) {
    // From three lags of every block (escapes count as 0)
    block = std::max<std::size_t>(block, 1);
    auto at = [&](std::size_t i) { return q[i] == kFree ? 0.0 : static_cast<double>(q[i]); };
    double r0 = 0.0, r1 = 0.0, r2 = 0.0;
    for (std::size_t start = 0; start < q.size(); start += block) {
        const std::size_t end = std::min(q.size(), start + block);
        for (std::size_t i = start; i < end; ++i) {
            r0 += at(i) * at(i);
            if (i >= start + 1) r1 += at(i) * at(i - 1);
            if (i >= start + 2) r2 += at(i) * at(i - 2);
        }
    }
    if (!(r0 > 0.0)) return false;
    // Levinson's recursion to two weights: the share of the energy they miss
    const double k1 = r1 / r0, e1 = r0 * (1.0 - k1 * k1);
    const double k2 = e1 > 0.0 ? (r2 - k1 * r1) / e1 : 0.0;
    return e1 * (1.0 - k2 * k2) < kSmooth * r0;
}

LongPredictor fit_long(std::span<const std::int32_t> sample, std::size_t block, double* bits, bool count_misses) {
    constexpr std::size_t K = kLongestOrder;
    block = std::max<std::size_t>(block, 1);
    if (sample.size() < kLongFrom) return {};
    // (first, whether the rest is worth finding)
    if (!two_weights_predict(sample, block)) return {};
    std::vector<double> x(sample.size());
    for (std::size_t i = 0; i < sample.size(); ++i) x[i] = sample[i] == kFree ? 0.0 : static_cast<double>(sample[i]);
    const std::vector<double> reversed(x.rbegin(), x.rend());
    // Least squares over every block on its own, each predicting its
    // residuals from the (K+1)-th on from the K before: the normal equations
    // c w = g, and the sum of squares y. Within a block, c[j+1][k+1] is
    // c[j][k] with one product taken in at the start and one let go at the
    // end, so only the first row is summed in full.
    std::array<std::array<double, K>, K> c{};
    std::array<double, K> g{};
    double y = 0.0;
    for (std::size_t start = 0; start < sample.size(); start += block) {
        const std::size_t end = std::min(sample.size(), start + block);
        if (end - start <= K) continue;
        std::array<std::array<double, K>, K> part{};
        // (each sum runs over i in order; the loop over k between them is
        // what the compiler may take several at a time, the residuals
        // reversed so that k runs forwards)
        double row[K] = {}, cross[K] = {};
        for (std::size_t i = start + K; i < end; ++i) {
            const double latest = x[i - 1], now = x[i];
            const double* const back = reversed.data() + (x.size() - i);  // back[k] = x[i - 1 - k]
            for (std::size_t k = 0; k < K; ++k) {
                row[k] += latest * back[k];
                cross[k] += now * back[k];
            }
        }
        for (std::size_t k = 0; k < K; ++k) {
            part[0][k] = row[k];
            g[k] += cross[k];
        }
        for (std::size_t i = start + K; i < end; ++i) y += x[i] * x[i];
        for (std::size_t j = 0; j + 1 < K; ++j) {
            for (std::size_t k = j; k + 1 < K; ++k) {
                part[j + 1][k + 1] = part[j][k] + x[start + K - 2 - j] * x[start + K - 2 - k] -
                                     x[end - 2 - j] * x[end - 2 - k];
            }
        }
        for (std::size_t j = 0; j < K; ++j)
            for (std::size_t k = j; k < K; ++k) c[j][k] += part[j][k];
    }
    if (!(y > 0.0)) return {};
    // Cholesky, c = L L^T (a little more on the diagonal keeps it positive),
    // and z = L^-1 g: the misses of the first m weights alone have the
    // energy y - (z[0]^2 + ... + z[m-1]^2).
    std::array<std::array<double, K>, K> l{};
    std::array<double, K> z{};
    std::array<double, K + 1> energy{};
    energy[0] = y;
    std::size_t fitted = 0;  // the orders the factorisation reaches
    for (std::size_t j = 0; j < K; ++j) {
        double d = c[j][j] * (1.0 + 1e-9);
        for (std::size_t t = 0; t < j; ++t) d -= l[j][t] * l[j][t];
        if (!(d > 0.0)) break;
        l[j][j] = std::sqrt(d);
        for (std::size_t i = j + 1; i < K; ++i) {
            double v = c[j][i];
            for (std::size_t t = 0; t < j; ++t) v -= l[i][t] * l[j][t];
            l[i][j] = v / l[j][j];
        }
        double v = g[j];
        for (std::size_t t = 0; t < j; ++t) v -= l[j][t] * z[t];
        z[j] = v / l[j][j];
        energy[j + 1] = std::max(energy[j] - z[j] * z[j], 0.0);
        fitted = j + 1;
    }
    if (fitted < 3 || !(energy[2] < kSmooth * energy[0])) return {};
    // The order whose misses foretell fewest bits, weights included.
    const double residuals = static_cast<double>(sample.size());
    std::size_t order = 0;
    double best = 0.0;
    for (std::size_t m = 3; m <= fitted; ++m) {
        if (!(energy[m] > 0.0)) break;
        const double foretold =
            0.5 * residuals * std::log2(energy[m] / energy[2]) + kBitsPerWeight * static_cast<double>(m);
        if (foretold < best) {
            best = foretold;
            order = m;
        }
    }
    if (order == 0) return {};
    // Its weights: L^T w = z over the first `order` rows.
    std::array<double, K> w{};
    for (std::size_t j = order; j-- > 0;) {
        double v = z[j];
        for (std::size_t t = j + 1; t < order; ++t) v -= l[t][j] * w[t];
        w[j] = v / l[j][j];
    }
    // The weights to 2^-shift, the finest shift at which they fit 16 bits.
    double largest = 0.0;
    for (std::size_t j = 0; j < order; ++j) largest = std::max(largest, std::abs(w[j]));
    int shift = kLargestShift;
    while (shift > 0 && std::nearbyint(largest * std::ldexp(1.0, shift)) > 32767.0) --shift;
    if (!(std::nearbyint(largest * std::ldexp(1.0, shift)) <= 32767.0)) return {};
    LongPredictor lp;
    lp.order = static_cast<std::uint8_t>(order);
    lp.shift = static_cast<std::uint8_t>(shift);
    for (std::size_t j = 0; j < order; ++j)
        lp.weights[j] = static_cast<std::int16_t>(std::nearbyint(w[j] * std::ldexp(1.0, shift)));
    std::size_t short_counted = 0;
    for (std::size_t start = 0; start < sample.size(); start += block) {
        const std::size_t size = std::min(block, sample.size() - start);
        short_counted += size - skipped_in(start, size, kWarm);
    }
    if (!count_misses) {
        // Foretold from the misses' energy alone: about half the log of
        // 2 pi e times their variance per residual.
        std::size_t fitted_residuals = 0;
        for (std::size_t start = 0; start < sample.size(); start += block) {
            const std::size_t size = std::min(block, sample.size() - start);
            fitted_residuals += size > K ? size - K : 0;
        }
        const double variance = energy[order] / static_cast<double>(std::max<std::size_t>(fitted_residuals, 1));
        if (bits) {
            *bits = 0.5 * std::log2(2.0 * std::numbers::pi * std::numbers::e * variance + 1.0) *
                        static_cast<double>(short_counted) +
                    kBitsPerWeight * static_cast<double>(order);
        }
        return lp;
    }
    // Its misses counted (each block's first `order` only set up the rest),
    // scaled to the residuals the short predictor's count takes.
    std::vector<std::int32_t> misses(sample.size());
    long_misses(sample, block, lp, misses);
    std::size_t counted = 0;
    const double counted_bits = sample_bits(misses, block, {}, std::max<std::size_t>(order, kWarm), &counted);
    if (bits) {
        *bits = counted_bits * static_cast<double>(short_counted) / static_cast<double>(std::max<std::size_t>(counted, 1)) +
                kBitsPerWeight * static_cast<double>(order);
    }
    return lp;
}

namespace {

// How many residuals lie closer to the one before than to 0, how many equal
// it, and how many were judged (escapes and block starts are not).
struct Following {
    std::size_t closer = 0, same = 0, judged = 0;
};
Following following(std::span<const std::int32_t> q, std::size_t block) {
    block = std::max<std::size_t>(block, 1);
    Following f;
    for (std::size_t start = 0; start < q.size(); start += block) {
        const std::size_t end = std::min(q.size(), start + block);
        for (std::size_t i = start + 1; i < end; ++i) {
            if (q[i] == kFree || q[i - 1] == kFree) continue;
            const std::int64_t v = q[i], step = v - q[i - 1];
            f.closer += static_cast<std::size_t>((step < 0 ? -step : step) < (v < 0 ? -v : v));
            f.same += static_cast<std::size_t>(step == 0 && v != 0);
            ++f.judged;
        }
    }
    return f;
}

}  // namespace

bool weighs_previous(Predictor fitted, std::span<const std::int32_t> q, std::size_t block) {
    // A fit that predicts at all, as smooth residuals' fits do, is not
    // second-guessed, unless it lies next to the previous residual itself
    // and most residuals repeat the one before (nonzero): residuals that
    // hold their value for long runs between jumps fit a little short of it,
    // and would miss by a little on every one of them.
    if (std::abs(fitted.a) >= 16 || std::abs(fitted.b) >= 16) {
        if (std::abs(fitted.a - kPrevious.a) > 2 || std::abs(fitted.b - kPrevious.b) > 2) return false;
        const Following f = following(q, block);
        return 4 * f.same > 3 * f.judged;
    }
    return follows_previous(q, block);
}

bool follows_previous(std::span<const std::int32_t> q, std::size_t block) {
    // (three in four: residuals of noise about 0 are closer to 0 about as
    // often as not)
    const Following f = following(q, block);
    return f.judged > 0 && 4 * f.closer > 3 * f.judged;
}

Predictor fit_predictor(std::span<const std::int32_t> q, std::size_t block) {
    return least_squares(q, std::max<std::size_t>(block, 1), {}, [](std::size_t, double) { return 1.0; });
}

Predictor fit_predictor(std::span<const std::int32_t> q) { return fit_predictor(q, q.size()); }

namespace {

// The blocks of q that sampling_for() takes, back to back.
std::vector<std::int32_t> sample_of(std::span<const std::int32_t> q) {
    const Sampling s = sampling_for(q.size());
    std::vector<std::int32_t> sample;
    for (std::size_t at = 0; at < q.size(); at += s.stride) {
        const auto block = q.subspan(at, std::min(s.block, q.size() - at));
        sample.insert(sample.end(), block.begin(), block.end());
    }
    return sample;
}

}  // namespace

double foretold_bits(std::span<const std::int32_t> q, Predictor p) { return residual_bits(sample_of(q), q.size(), p); }

Fitted predictor_for(std::span<const std::int32_t> q, const Fitted* known, bool long_too) {
    const Sampling s = sampling_for(q.size());
    const std::vector<std::int32_t> sample = sample_of(q);
    if (s.block < q.size()) known = nullptr;  // (fits are known of one whole block only)
    Fitted out;
    out.p = known ? known->p : fit_predictor(sample, s.block);
    out.bits = known ? known->bits : sample_bits(sample, s.block, out.p, kWarm);
    if (!known && weighs_previous(out.p, sample, s.block)) {
        const double previous = sample_bits(sample, s.block, kPrevious, kWarm);
        if (previous < out.bits) out.p = kPrevious, out.bits = previous;
    }
    const double unpredicted = sample_bits(sample, s.block, {}, kWarm);
    if (!(out.bits < unpredicted)) {
        out.p = {};
        out.bits = unpredicted;
    } else {
        // The coder weighs a miss against the size of the two before it (its
        // context), so a miss costs about the log of its ratio to them:
        // squares weighed by the inverse of that neighbourhood fit the quiet
        // stretches that most residuals lie in, rather than the few large
        // misses of the busy ones that least squares follows. Tried where a
        // prediction pays at all; the fewer bits win (the fit's, when equal).
        double e1 = 0.0, e2 = 0.0;
        const Predictor refitted = least_squares(sample, s.block, out.p, [&](std::size_t in_block, double miss) {
            if (in_block == 2) e1 = e2 = 0.0;
            const double w = 1.0 / (2.0 * std::abs(e1) + std::abs(e2) + 1.0);
            e2 = e1;
            e1 = miss;
            return w;
        });
        if (refitted.a != out.p.a || refitted.b != out.p.b) {
            const double refitted_bits = sample_bits(sample, s.block, refitted, kWarm);
            if (refitted_bits < out.bits) {
                out.p = refitted;
                out.bits = refitted_bits;
            }
        }
    }
    if (!long_too) return out;
    double long_bits = 0.0;
    const LongPredictor lp = known ? known->lp : fit_long(sample, s.block, &long_bits);
    if (known) long_bits = known->long_bits;
    if (lp.order > 0 && long_bits < out.bits) return Fitted{{}, long_bits, lp, long_bits};
    return out;
}

namespace {

// What the next prediction and contexts are made of, carried from one
// stretch of residuals to the next.
struct Encoding {
    std::uint32_t a = 0, b = 0;  // the last two misses' magnitudes
    std::uint32_t sign = 0;      // the last miss's sign (sign_of)
    std::int32_t q1 = 0, q2 = 0;
};

// Records the decisions of residuals [from, to) at `out` and returns the
// cursor past them: per miss, its zero flag in the context of its activity,
// then its sign in the context of the previous miss's, its length (0 for 1)
// in unary, one 1 per digit past the first and a 0 to end it, and the bits
// below its leading one. Without a prediction (Predicting false, p zero) a
// residual is its miss.
template <bool Predicting>
std::uint16_t* record_residuals(std::span<const std::int32_t> q, std::size_t from, std::size_t to, Predictor p,
                                std::uint16_t* probs, std::uint16_t* out, Encoding& e) {
    Encoding d = e;  // a value, so the loop keeps it in registers
    // The zero flag of activity 0 decides back to back all through a run of
    // zero misses: its probability is held in a register, not in the table,
    // so the next flag does not wait for a store and a load.
    std::uint16_t quiet = probs[kZero];
    for (std::size_t i = from; i < to; ++i) {
        const std::int32_t given = q[i];
        const std::int32_t guess = Predicting ? predicted(p, d.q1, d.q2) : 0;
        const std::int32_t value = given == kFree ? guess : given;
        const std::int32_t v = value - guess;
        const auto m = static_cast<std::uint32_t>(std::abs(v));
        const std::uint32_t act = activity(d.a, d.b);
        rans::record(act == 0 ? quiet : probs[kZero + act], out, m != 0 ? 1u : 0u);
        if (m != 0) {
            rans::record(probs[kSign + d.sign], out, v < 0 ? 1u : 0u);
            const auto length = static_cast<std::uint32_t>(std::bit_width(m)) - 1;
            std::uint16_t* const unary = probs + unary_context(act, 0);  // this activity's steps
            for (std::uint32_t j = 0; j < length; ++j) rans::record(unary[std::min(j, kUnarySteps - 1)], out, 1u);
            if (length + 1 < kLengths) rans::record(unary[std::min(length, kUnarySteps - 1)], out, 0u);
            // the two bits below the leading one in contexts of their own; the
            // rest share one, whose probability a register holds meanwhile
            std::uint16_t* const leading = probs + mantissa_context(length, 0);
            std::uint32_t j = length;
            for (std::uint32_t k = 0; k < 2 && j > 0; ++k) rans::record(leading[k], out, (m >> --j) & 1u);
            if (j > 0) {
                std::uint16_t low = probs[kLow];
                while (j > 0) rans::record(low, out, (m >> --j) & 1u);
                probs[kLow] = low;
            }
        }
        d.b = d.a;
        d.a = m;
        d.sign = sign_of(v);
        d.q2 = d.q1;
        d.q1 = value;
    }
    probs[kZero] = quiet;
    e = d;
    return out;
}

}  // namespace

std::vector<std::uint8_t> encode_residuals(std::span<const std::int32_t> q, Predictor p) {
    // Decisions are recorded through a cursor, with room made for a stretch
    // of residuals at a time (each takes at most kMostDecisions), so the
    // loop neither checks for room nor counts decision by decision.
    constexpr std::size_t kStretch = 1024;
    BinEnc enc(kContexts);
    std::uint16_t* const probs = enc.probs();
    // (room that is reserved but not reached is never touched)
    enc.reserve(8 * q.size() + kStretch * kMostDecisions);
    const bool predicting = p.a != 0 || p.b != 0;
    Encoding e;
    for (std::size_t at = 0; at < q.size(); at += kStretch) {
        const std::size_t to = std::min(q.size(), at + kStretch);
        std::uint16_t* const out = enc.room_for(kStretch * kMostDecisions);
        enc.commit(predicting ? record_residuals<true>(q, at, to, p, probs, out, e)
                              : record_residuals<false>(q, at, to, p, probs, out, e));
    }
    return enc.finish();
}

Sampling sampling_for(std::size_t n) {
    // One block in sixteen, but never fewer than kLeast residuals: all of a
    // short signal, and a larger share of a middling one.
    constexpr std::size_t kBlock = 512, kStride = 16 * kBlock, kLeast = 2048;
    if (n <= kLeast) return {n, n};
    return {kBlock, std::clamp(n / kLeast * kBlock, kBlock, kStride)};
}

double residual_bits(std::span<const std::int32_t> sample, std::size_t n, Predictor p, double* unscaled) {
    std::vector<std::uint32_t> counts(2 * kContexts, 0);
    const std::size_t counted = count_blocks(sample, std::max<std::size_t>(sampling_for(n).block, 1), p, counts);
    const double bits = bits_of(counts);
    if (unscaled) *unscaled = bits;
    return bits * static_cast<double>(n) / static_cast<double>(std::max<std::size_t>(counted, 1));
}

namespace {

// One decision whose probability the loop holds in a register: its next
// value is picked before the decision resolves, so the decision after it in
// the same context does not wait for a store and a load.
template <bool Fast>
[[gnu::always_inline]] inline unsigned decide_held(rans::Reader& reader, std::uint32_t& p) {
    const std::uint32_t next = reader.pick(p, rans::kAdapted.next[0][p], rans::kAdapted.next[1][p]);
    const unsigned bit = reader.decide_with<Fast>(p);
    p = next;
    return bit;
}

// One decision in a context of the table, its probability adapted through
// rans::kAdapted: one load in place of the sums, which leaves the loop
// fewer instructions to issue between its decisions.
template <bool Fast>
[[gnu::always_inline]] inline unsigned decide_in(rans::Reader& reader, std::uint16_t& prob) {
    const std::uint32_t p = prob;
    const unsigned bit = reader.decide_with<Fast>(p);
    prob = rans::kAdapted.next[bit][p];
    return bit;
}

// The decoder between residuals: the coded stream's reader, the contexts'
// probabilities and what the next prediction and contexts are made of. The
// zero flag of activity 0 is the one context that decides back to back, all
// through a run of zero misses, so its probability is held apart from the
// table, in a register.
struct Decoder {
    rans::Reader reader;
    std::uint16_t* probs;
    std::uint32_t quiet_zero = rans::kProbInit;
    std::uint32_t a = 0, b = 0;  // the last two misses' magnitudes
    std::uint32_t sign = 0;      // the last miss's sign (sign_of)
    std::int32_t q1 = 0, q2 = 0;

    // Residuals from `i` on handed to put(i, q), up to `count`. Fast: up to
    // the first residual for which fewer words are left than kMostDecisions
    // decisions can need, from a state of at least 2^16; returns where it
    // stopped. Checked: to the end, or kTruncated once a residual needed a
    // word past the end.
    static constexpr std::size_t kTruncated = SIZE_MAX;
    // Short: through the short predictor p. Plain: a residual is its miss
    // (p zero), within +-kLargestResidual. Misses: the misses themselves, as
    // a long predictor takes them.
    enum class Mode { Short, Plain, Misses };
    template <bool Fast, Mode mode, class Put>
    std::size_t run(std::size_t i, std::size_t count, Predictor p, Put& put) {
        Decoder d = *this;  // a value, so the loop keeps it in registers
        auto bit = [&](std::uint32_t ctx) { return decide_in<Fast>(d.reader, d.probs[ctx]); };
        if (Fast && d.reader.x < rans::kStateLow) return i;
        for (; i < count; ++i) {
            if (Fast && static_cast<std::size_t>(d.reader.end - d.reader.cur) < 2 * kMostDecisions) break;
            const std::uint32_t act = activity(d.a, d.b);
            const bool nonzero = act == 0 ? decide_held<Fast>(d.reader, d.quiet_zero) != 0 : bit(kZero + act) != 0;
            std::uint32_t m = 0;
            std::int32_t v = 0;
            // (laid out as the path that falls through: a zero miss skips it
            // whichever way it is laid out, and the dense misses gain)
            if (nonzero) [[likely]] {
                const bool negative = bit(kSign + d.sign) != 0;
                std::uint16_t* const unary = d.probs + unary_context(act, 0);  // this activity's steps
                std::uint32_t length = 0;
                while (length + 1 < kLengths &&
                       decide_in<Fast>(d.reader, unary[std::min(length, kUnarySteps - 1)]) != 0) {
                    ++length;
                }
                m = 1;
                // the two bits below the leading one in contexts of their own, the rest in one
                std::uint16_t* const leading = d.probs + mantissa_context(length, 0);
                std::uint32_t j = 0;
                for (; j < length && j < 2; ++j) m = (m << 1) | decide_in<Fast>(d.reader, leading[j]);
                if (j < length) {
                    // (the rest share one context, held in a register meanwhile)
                    std::uint16_t low = d.probs[kLow];
                    for (; j < length; ++j) m = (m << 1) | decide_in<Fast>(d.reader, low);
                    d.probs[kLow] = low;
                }
                v = negative ? -static_cast<std::int32_t>(m) : static_cast<std::int32_t>(m);
            }
            if (!Fast && d.reader.truncated) return kTruncated;
            const std::int32_t q = mode == Mode::Short   ? following(p, d.q1, d.q2, v)
                                   : mode == Mode::Plain ? std::clamp(v, -kLargestResidual, kLargestResidual)
                                                         : v;
            put(i, q);
            d.b = d.a;
            d.a = m;
            d.sign = sign_of(v);
            d.q2 = d.q1;
            d.q1 = q;
        }
        *this = d;
        return i;
    }

    // Every residual, unchecked while the words left cover any residual, the
    // last ones checked.
    template <Mode mode, class Put>
    // The coder must then be back where the encoder began (the state 2^16),
    // with every word read: anything else is not what an encoder wrote.
    expected<void, ResidualError> all(std::size_t count, Predictor p, Put& put) {
        const std::size_t i = run<true, mode>(0, count, p, put);
        if (run<false, mode>(i, count, p, put) == kTruncated) return unexpected(ResidualError::Truncated);
        if (reader.x != rans::kStateLow || reader.cur != reader.end) return unexpected(ResidualError::Damaged);
        return {};
    }
};

// Every residual of `coded` handed to put(i, q), in order (every miss, for
// Misses).
template <bool Misses = false, class Put>
expected<void, ResidualError> decode_each(std::span<const std::uint8_t> coded, Predictor p, std::size_t count,
                                          Put&& put) {
    if (coded.size() < 4) return unexpected(ResidualError::Truncated);
    BinDec dec(kContexts, coded);
    Decoder d{dec.reader(), dec.probs()};
    if constexpr (Misses) return d.all<Decoder::Mode::Misses>(count, {}, put);
    if (p.a == 0 && p.b == 0) return d.all<Decoder::Mode::Plain>(count, p, put);
    return d.all<Decoder::Mode::Short>(count, p, put);
}

// A long predictor's residuals made from their misses, one after the other.
class LongFollower {
public:
    explicit LongFollower(const LongPredictor& lp) : w_(lp), at_(window_.stretch()) {}
    LongFollower(const LongFollower&) = delete;  // (at_ points into its own window)
    LongFollower& operator=(const LongFollower&) = delete;
    // n residuals from their misses at once.
    void operator()(const std::int32_t* misses, std::int32_t* values, std::size_t n) {
        if (w_.latest_only()) {
            // (the window holds nothing such a predictor weighs)
            std::int64_t l[LongWeights::kApart];
            std::copy_n(latest_, LongWeights::kApart, l);
            for (std::size_t j = 0; j < n; ++j) {
                const std::int32_t value = w_.follow_latest(l, misses[j]);
                values[j] = value;
                l[3] = l[2], l[2] = l[1], l[1] = l[0], l[0] = value;
            }
            std::copy_n(l, LongWeights::kApart, latest_);
            return;
        }
        while (n > 0) {
            if (k_ == LongWindow::kStretch) {
                window_.slide();
                k_ = 0;
            }
            const std::size_t now = std::min(n, LongWindow::kStretch - k_);
            follow_misses(w_, at_ + k_, latest_, misses, values, now);
            k_ += now, misses += now, values += now, n -= now;
        }
    }
    std::int32_t operator()(std::int32_t miss) {
        if (k_ == LongWindow::kStretch) {
            window_.slide();
            k_ = 0;
        }
        const std::int32_t value = long_following(w_.guess_apart(at_ + k_, latest_), miss);
        at_[k_++] = static_cast<double>(value);
        for (std::size_t j = LongWeights::kApart - 1; j > 0; --j) latest_[j] = latest_[j - 1];
        latest_[0] = value;
        return value;
    }

private:
    LongWeights w_;
    LongWindow window_;
    double* at_;
    std::int64_t latest_[LongWeights::kApart] = {};
    std::size_t k_ = 0;  // where the next residual lies in the stretch
};

// The residuals of misses under a long predictor handed to put(i, q), in
// order. Misses of the adaptive code are turned into residuals as they are
// decoded (the misses' contexts never wait for the residuals); those of the
// tabled code a stretch at a time, and the coder must end where the encoder
// began.
template <class Put>
expected<void, ResidualError> decode_long(std::span<const std::uint8_t> coded, const LongPredictor& lp, MissCode code,
                                          std::size_t count, Put&& put) {
    LongFollower follow(lp);
    if (code == MissCode::Adaptive) {
        return decode_each<true>(coded, {}, count, [&](std::size_t i, std::int32_t miss) { put(i, follow(miss)); });
    }
    auto reader = TabledReader::open(coded);
    if (!reader) return unexpected(reader.error());
    constexpr std::size_t kRead = 1024;
    std::array<std::int32_t, kRead> misses, values;
    for (std::size_t from = 0; from < count; from += kRead) {
        const std::size_t n = std::min(kRead, count - from);
        if (auto read = reader->read(std::span(misses.data(), n)); !read) return read;
        follow(misses.data(), values.data(), n);
        for (std::size_t j = 0; j < n; ++j) put(from + j, values[j]);
    }
    if (!reader->finished()) return unexpected(ResidualError::Damaged);
    return {};
}

template <Kind kind>
expected<void, ResidualError> correct_each(std::span<const std::uint8_t> coded, Predictor p, float step,
                                           std::span<float> samples) {
    return decode_each(coded, p, samples.size(), [samples, step](std::size_t i, std::int32_t q) {
        samples[i] = corrected(kind, samples[i], q, step);
    });
}

}  // namespace

expected<void, ResidualError> decode_residuals(std::span<const std::uint8_t> coded, Predictor p,
                                               std::span<std::int32_t> q) {
    return decode_each(coded, p, q.size(), [q](std::size_t i, std::int32_t value) { q[i] = value; });
}

expected<void, ResidualError> correct_samples(std::span<const std::uint8_t> coded, Predictor p, Correction c,
                                              std::span<float> samples) {
    if (c.kind == Kind::Integer) return correct_each<Kind::Integer>(coded, p, c.step, samples);
    return correct_each<Kind::Float>(coded, p, c.step, samples);
}

expected<void, ResidualError> decode_residuals(std::span<const std::uint8_t> coded, const LongPredictor& lp,
                                               MissCode code, std::span<std::int32_t> q) {
    return decode_long(coded, lp, code, q.size(), [q](std::size_t i, std::int32_t value) { q[i] = value; });
}

expected<void, ResidualError> correct_samples(std::span<const std::uint8_t> coded, const LongPredictor& lp,
                                              MissCode code, Correction c, std::span<float> samples) {
    if (c.kind == Kind::Integer) {
        return decode_long(coded, lp, code, samples.size(), [samples, step = c.step](std::size_t i, std::int32_t value) {
            samples[i] = corrected(Kind::Integer, samples[i], value, step);
        });
    }
    return decode_long(coded, lp, code, samples.size(), [samples, step = c.step](std::size_t i, std::int32_t value) {
        samples[i] = corrected(Kind::Float, samples[i], value, step);
    });
}

}  // namespace corvane::refine
