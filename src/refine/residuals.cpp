#include "src/refine/residuals.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "src/entropy/binrans.hpp"

namespace corvane::refine {
namespace {

// Context table. The neighbourhood of miss i is 2|e[i-1]| + |e[i-2]|,
// taken as 0 or the length of its binary form, at most kActivities - 1: the
// zero flag and the magnitude's unary length are coded in that context. The
// sign is coded in the context of the previous miss's sign; the first
// two bits below the leading one in the context of the length; the rest share
// one context (they are close to even).
constexpr std::uint32_t kActivities = 12;
constexpr std::uint32_t kUnarySteps = 16;  // unary steps past this share the last context
constexpr std::uint32_t kLengths = 25;     // a miss below 2^25 has at most 25 binary digits
constexpr std::uint32_t kZero = 0;
constexpr std::uint32_t kSign = kZero + kActivities;
constexpr std::uint32_t kUnary = kSign + 3;
constexpr std::uint32_t kHigh = kUnary + kActivities * kUnarySteps;
constexpr std::uint32_t kLow = kHigh + 2 * kLengths;
constexpr std::uint32_t kContexts = kLow + 1;

// The length of the binary form of every neighbourhood up to the last one
// told apart, looked up (fewer instructions in the decoder's loop than
// counting the digits).
struct Activities {
    static constexpr std::uint32_t kCount = 1u << (kActivities - 1);
    std::uint8_t of[kCount];
    constexpr Activities() : of{} {
        for (std::uint32_t v = 0; v < kCount; ++v) of[v] = static_cast<std::uint8_t>(std::bit_width(v));
    }
};
inline constexpr Activities kActivityOf{};

std::uint32_t activity(std::uint32_t a, std::uint32_t b) {
    return kActivityOf.of[std::min<std::uint32_t>(2 * a + b, Activities::kCount - 1)];
}

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

// The bits of the decisions counted, from their frequencies in each context.
double bits_of(const std::vector<std::uint32_t>& counts) {
    // A context the coder adapts 1/16 of the way never gives a decision less
    // than about 1/270 of its probability away from certainty.
    constexpr double kFloor = 15.0 / 4096.0;
    double bits = 32.0;
    for (std::uint32_t c = 0; c < kContexts; ++c) {
        const double zeros = counts[2 * c], ones = counts[2 * c + 1], all = zeros + ones;
        for (const double k : {zeros, ones}) {
            if (k > 0.0) bits -= k * std::log2(std::clamp(k / all, kFloor, 1.0 - kFloor));
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
std::size_t count_blocks(std::span<const std::int32_t> sample, std::size_t block, Predictor p,
                         std::vector<std::uint32_t>& counts) {
    std::size_t counted = 0;
    for (std::size_t at = 0; at < sample.size(); at += block) {
        const auto part = sample.subspan(at, std::min(block, sample.size() - at));
        const std::size_t warm = at == 0 ? 0 : std::min(kWarm, part.size());
        count(part, p, counts, warm);
        counted += part.size() - warm;
    }
    return counted;
}

double sample_bits(std::span<const std::int32_t> sample, std::size_t block, Predictor p) {
    std::vector<std::uint32_t> counts(2 * kContexts, 0);
    count_blocks(sample, block, p, counts);
    return bits_of(counts);
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

}  // namespace

Predictor fit_predictor(std::span<const std::int32_t> q, std::size_t block) {
    return least_squares(q, std::max<std::size_t>(block, 1), {}, [](std::size_t, double) { return 1.0; });
}

Predictor fit_predictor(std::span<const std::int32_t> q) { return fit_predictor(q, q.size()); }

Predictor predictor_for(std::span<const std::int32_t> q, const Fitted* known) {
    const Sampling s = sampling_for(q.size());
    std::vector<std::int32_t> sample;
    for (std::size_t at = 0; at < q.size(); at += s.stride) {
        const auto block = q.subspan(at, std::min(s.block, q.size() - at));
        sample.insert(sample.end(), block.begin(), block.end());
    }
    if (s.block < q.size()) known = nullptr;  // (a fit is known of one whole block only)
    const Predictor fitted = known ? known->p : fit_predictor(sample, s.block);
    const double unpredicted = sample_bits(sample, s.block, {});
    const double fitted_bits = known ? known->bits : sample_bits(sample, s.block, fitted);
    if (!(fitted_bits < unpredicted)) return {};
    // The coder weighs a miss against the size of the two before it (its
    // context), so a miss costs about the log of its ratio to them: squares
    // weighed by the inverse of that neighbourhood fit the quiet stretches
    // that most residuals lie in, rather than the few large misses of the
    // busy ones that least squares follows. Tried where a prediction pays
    // at all; the fewer bits win (the fit's, when equal).
    double e1 = 0.0, e2 = 0.0;
    const Predictor refitted = least_squares(sample, s.block, fitted, [&](std::size_t in_block, double miss) {
        if (in_block == 2) e1 = e2 = 0.0;
        const double w = 1.0 / (2.0 * std::abs(e1) + std::abs(e2) + 1.0);
        e2 = e1;
        e1 = miss;
        return w;
    });
    if (refitted.a == fitted.a && refitted.b == fitted.b) return fitted;
    return sample_bits(sample, s.block, refitted) < fitted_bits ? refitted : fitted;
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
    // Without a prediction (Predicting false, p zero) a residual is its miss.
    template <bool Fast, bool Predicting, class Put>
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
            const std::int32_t q =
                Predicting ? following(p, d.q1, d.q2, v) : std::clamp(v, -kLargestResidual, kLargestResidual);
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
    template <bool Predicting, class Put>
    expected<void, ResidualError> all(std::size_t count, Predictor p, Put& put) {
        const std::size_t i = run<true, Predicting>(0, count, p, put);
        if (run<false, Predicting>(i, count, p, put) == kTruncated) return unexpected(ResidualError::Truncated);
        return {};
    }
};

// Every residual of `coded` handed to put(i, q), in order.
template <class Put>
expected<void, ResidualError> decode_each(std::span<const std::uint8_t> coded, Predictor p, std::size_t count,
                                          Put&& put) {
    if (coded.size() < 4) return unexpected(ResidualError::Truncated);
    BinDec dec(kContexts, coded);
    Decoder d{dec.reader(), dec.probs()};
    if (p.a == 0 && p.b == 0) return d.all<false>(count, p, put);
    return d.all<true>(count, p, put);
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

}  // namespace corvane::refine
