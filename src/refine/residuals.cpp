#include "src/refine/residuals.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>

#include "src/binrans.hpp"

namespace corvane::refine {
namespace {

// Context table. The neighbourhood of residual i is 2|q[i-1]| + |q[i-2]|,
// taken as 0 or the length of its binary form, at most kActivities - 1: the
// zero flag and the magnitude's unary length are coded in that context. The
// sign is coded in the context of the previous residual's sign; the first
// two bits below the leading one in the context of the length; the rest share
// one context (they are close to even).
constexpr std::uint32_t kActivities = 12;
constexpr std::uint32_t kUnarySteps = 16;  // unary steps past this share the last context
constexpr std::uint32_t kLengths = 24;     // a magnitude below 2^24 has at most 24 binary digits
constexpr std::uint32_t kZero = 0;
constexpr std::uint32_t kSign = kZero + kActivities;
constexpr std::uint32_t kUnary = kSign + 3;
constexpr std::uint32_t kHigh = kUnary + kActivities * kUnarySteps;
constexpr std::uint32_t kLow = kHigh + 2 * kLengths;
constexpr std::uint32_t kContexts = kLow + 1;

std::uint32_t activity(std::uint32_t a, std::uint32_t b) {
    const std::uint32_t v = std::min<std::uint32_t>(2 * a + b, (1u << (kActivities - 1)) - 1);
    return static_cast<std::uint32_t>(std::bit_width(v));
}

std::uint32_t sign_context(std::int32_t previous) { return kSign + (previous > 0 ? 1u : previous < 0 ? 2u : 0u); }

std::uint32_t unary_context(std::uint32_t act, std::uint32_t step) {
    return kUnary + act * kUnarySteps + std::min(step, kUnarySteps - 1);
}

std::uint32_t mantissa_context(std::uint32_t length, std::uint32_t bit_below) {
    return bit_below < 2 ? kHigh + 2 * length + bit_below : kLow;
}

// The decisions of every residual, in coding order, handed to bit(ctx, b).
template <class Bit>
void binarise(std::span<const std::int32_t> q, Bit&& bit) {
    std::uint32_t a = 0, b = 0;
    std::int32_t previous = 0;
    for (const std::int32_t v : q) {
        const std::uint32_t act = activity(a, b);
        const auto m = static_cast<std::uint32_t>(std::abs(v));
        bit(kZero + act, m != 0);
        if (m != 0) {
            bit(sign_context(previous), v < 0);
            // the length (0 for 1) in unary: one 1 per digit past the first, a 0 to end it
            const auto length = static_cast<std::uint32_t>(std::bit_width(m)) - 1;
            for (std::uint32_t j = 0; j < length; ++j) bit(unary_context(act, j), 1);
            if (length + 1 < kLengths) bit(unary_context(act, length), 0);
            for (std::uint32_t j = length; j-- > 0;) bit(mantissa_context(length, length - 1 - j), (m >> j) & 1u);
        }
        b = a;
        a = m;
        previous = v;
    }
}

}  // namespace

std::vector<std::uint8_t> encode_residuals(std::span<const std::int32_t> q) {
    BinEnc enc(kContexts);
    enc.reserve(q.size() + q.size() / 4);
    binarise(q, [&](std::uint32_t ctx, bool b) { enc.encode_bit(ctx, b ? 1u : 0u); });
    return enc.finish();
}

double residual_bits(std::span<const std::int32_t> q) {
    std::vector<std::uint32_t> counts(2 * kContexts, 0);
    binarise(q, [&](std::uint32_t ctx, bool b) { ++counts[2 * ctx + (b ? 1 : 0)]; });
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

expected<void, ResidualError> decode_residuals(std::span<const std::uint8_t> coded, std::span<std::int32_t> q) {
    if (coded.size() < 4) return unexpected(ResidualError::Truncated);
    BinDec dec(kContexts, coded);
    std::uint32_t a = 0, b = 0;
    std::int32_t previous = 0;
    bool truncated = false;
    auto bit = [&](std::uint32_t ctx) {
        const auto d = dec.decode_bit(ctx);
        truncated = truncated || !d;
        return d.value_or(0u);
    };
    for (std::int32_t& v : q) {
        const std::uint32_t act = activity(a, b);
        std::uint32_t m = 0;
        if (bit(kZero + act) != 0) {
            const bool negative = bit(sign_context(previous)) != 0;
            std::uint32_t length = 0;
            while (length + 1 < kLengths && bit(unary_context(act, length)) != 0) ++length;
            m = 1;
            for (std::uint32_t j = 0; j < length; ++j) m = (m << 1) | bit(mantissa_context(length, j));
            v = negative ? -static_cast<std::int32_t>(m) : static_cast<std::int32_t>(m);
        } else {
            v = 0;
        }
        if (truncated) return unexpected(ResidualError::Truncated);
        b = a;
        a = m;
        previous = v;
    }
    return {};
}

}  // namespace corvane::refine
