// Error targets: whatever the signal, method, coder and bound, the stream
// returned decodes within the bound; it is an ordinary stream whose header
// carries the chosen settings; it is about as small as the best of a grid of
// settings that also keep the bound; and a bound out of reach is refused with
// the best error there is.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <variant>
#include <span>
#include <vector>

#include "src/format/header.hpp"
#include "src/target/stages.hpp"
#include "corvane/corvane.hpp"

namespace corvane {
namespace {

std::vector<float> signal_of(int kind, std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    std::vector<float> x(n);
    float walk = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float t = static_cast<float>(i);
        walk += noise(rng);
        switch (kind) {
            case 0: x[i] = 40.0f * std::sin(0.013f * t) + 3.0f * std::sin(0.31f * t) + 0.2f * noise(rng); break;
            case 1: x[i] = walk; break;
            case 2: x[i] = 1e-3f * noise(rng) + 250.0f; break;  // tiny noise on an offset
            default: x[i] = (i / 97) % 2 == 0 ? 1.0f : -4.0f; break;  // steps
        }
    }
    return x;
}

TEST(Tuning, EveryReturnedStreamDecodesWithinItsBound) {
    const Method methods[] = {Method::Cdf97, Method::Cdf53, Method::Db4, Method::Sym4};
    const Coder coders[] = {Coder::Auto, Coder::Deflate, Coder::Arans};
    int checked = 0;
    for (int kind = 0; kind < 4; ++kind) {
        for (const std::size_t n : {std::size_t{5}, std::size_t{333}, std::size_t{5000}}) {
            const std::vector<float> x = signal_of(kind, n, static_cast<unsigned>(kind * 31 + n));
            for (const ErrorMeasure measure : {ErrorMeasure::MaxAbs, ErrorMeasure::Prd}) {
                for (const double bound : measure == ErrorMeasure::Prd ? std::vector<double>{0.3, 2.0, 15.0}
                                                                       : std::vector<double>{1e-3, 0.05, 2.0}) {
                    CompressionConfig config;
                    config.method = methods[(kind + n) % 4];
                    config.coder = coders[(kind + static_cast<int>(measure)) % 3];
                    const auto tuned = compress_to_target(x, config, {measure, bound});
                    if (!tuned) {
                        ASSERT_TRUE(std::holds_alternative<UnreachableTarget>(tuned.error()));
                        const double best = std::get<UnreachableTarget>(tuned.error()).best;
                        EXPECT_GT(best, bound);
                        // the best error named is really reachable: the finest stream keeps it
                        EXPECT_FALSE(compress_to_target(x, config, {measure, best * 0.999}).has_value());
                        EXPECT_TRUE(compress_to_target(x, config, {measure, best}).has_value());
                        continue;
                    }
                    const auto decoded = decompress(tuned->stream);
                    ASSERT_TRUE(decoded.has_value());
                    const double error = measure_error(measure, std::span<const float>(x), *decoded);
                    EXPECT_LE(error, bound) << "kind " << kind << " n " << n << " bound " << bound;
                    EXPECT_EQ(error, tuned->error);
                    const auto header = CorvaneHeader::from_bytes(tuned->stream);
                    ASSERT_TRUE(header.has_value());
                    EXPECT_EQ(header->multiplier, tuned->multiplier);
                    EXPECT_EQ(header->scale, tuned->scale);
                    EXPECT_EQ(header->method_code, method_code_of(config.method));
                    // byte for byte what the compressor writes at the chosen settings
                    CompressionConfig chosen = config;
                    chosen.scale = tuned->scale;
                    chosen.cutoff = tuned->cutoff;
                    chosen.quant_multiplier = tuned->multiplier;
                    EXPECT_EQ(tuned->stream, *compress(x, chosen));
                    ++checked;
                }
            }
        }
    }
    EXPECT_GT(checked, 40);
}

TEST(Tuning, AsSmallAsTheBestOfAGridOfSettings) {
    const std::vector<float> x = signal_of(0, 20000, 7);
    for (const double prd : {0.5, 2.0, 8.0}) {
        CompressionConfig config;
        const auto tuned = compress_to_target(x, config, {ErrorMeasure::Prd, prd});
        ASSERT_TRUE(tuned.has_value());
        std::size_t best = std::numeric_limits<std::size_t>::max();
        for (const Cutoff cutoff : {Cutoff::Low, Cutoff::Medium, Cutoff::High}) {
            for (const std::uint8_t scale : {6, 8, 10, 12}) {
                config.scale = scale;
                config.cutoff = cutoff;
                // the smallest multiplier 2^(k/16) that keeps the bound, by bisection
                auto keeps = [&](int k) {
                    config.quant_multiplier = std::exp2(static_cast<float>(k) / 16.0f);
                    const auto y = decompress(*compress(x, config));
                    return measure_error(ErrorMeasure::Prd, std::span<const float>(x), *y) <= prd;
                };
                int lo = 0, hi = 15 * 16;
                if (!keeps(hi)) continue;
                while (hi - lo > 1) (keeps((lo + hi) / 2) ? hi : lo) = (lo + hi) / 2;
                config.quant_multiplier = std::exp2(static_cast<float>(hi) / 16.0f);
                best = std::min(best, compress(x, config)->size());
            }
        }
        EXPECT_LE(static_cast<double>(tuned->stream.size()), 1.03 * static_cast<double>(best)) << "PRD " << prd;
    }
}

TEST(Tuning, RefusesWhatNoStreamCanKeep) {
    const std::vector<float> x = signal_of(0, 4000, 3);
    // finer than 16-bit coefficients allow
    const auto fine = compress_to_target(x, {}, {ErrorMeasure::MaxAbs, 1e-9});
    ASSERT_FALSE(fine.has_value());
    ASSERT_TRUE(std::holds_alternative<UnreachableTarget>(fine.error()));
    EXPECT_GT(std::get<UnreachableTarget>(fine.error()).best, 1e-6);

    std::vector<float> with_nan = x;
    with_nan[17] = std::numeric_limits<float>::quiet_NaN();
    const auto nan = compress_to_target(with_nan, {}, {ErrorMeasure::MaxAbs, 1.0});
    ASSERT_FALSE(nan.has_value());
    EXPECT_TRUE(std::holds_alternative<CorvaneError>(nan.error()));

    const auto empty = compress_to_target({}, {}, {ErrorMeasure::Prd, 1.0});
    ASSERT_FALSE(empty.has_value());
    EXPECT_EQ(std::get<CorvaneError>(empty.error()).message(), compress({}, {}).error().message());
    CompressionConfig unknown;
    unknown.coder = static_cast<Coder>(9);
    const auto odd = compress_to_target(x, unknown, {ErrorMeasure::Prd, 1.0});
    ASSERT_FALSE(odd.has_value());
    EXPECT_EQ(std::get<CorvaneError>(odd.error()).message(), compress(x, unknown).error().message());

    // A constant signal decodes exactly, so even a zero bound holds.
    const std::vector<float> flat(100, 2.5f);
    for (const ErrorMeasure measure : {ErrorMeasure::MaxAbs, ErrorMeasure::Prd}) {
        const auto exact = compress_to_target(flat, {}, {measure, 0.0});
        ASSERT_TRUE(exact.has_value());
        EXPECT_EQ(exact->error, 0.0);
    }
}

TEST(Tuning, DoublePrecisionReferenceIsWhatTheBoundHoldsAgainst) {
    std::vector<double> x64(3000);
    for (std::size_t i = 0; i < x64.size(); ++i) x64[i] = 1e4 + std::sin(0.01 * static_cast<double>(i)) + 1e-5 * static_cast<double>(i % 7);
    std::vector<float> x32(x64.begin(), x64.end());
    const auto tuned = compress_to_target(x32, {}, {ErrorMeasure::MaxAbs, 2e-3}, x64);
    ASSERT_TRUE(tuned.has_value());
    const auto y = decompress(tuned->stream);
    EXPECT_LE(measure_error(ErrorMeasure::MaxAbs, std::span<const double>(x64), *y), 2e-3);
}


// A base that keeps no coefficient is coded once per set of band lengths and
// not decoded again: what the search takes it to decode to must be, bit for
// bit, what the decoder makes of the stream, whatever the samples' offset,
// spread, length, method and coder (constant signals and zero means too),
// and whatever level the header's mean puts it at.
// Whether two runs of samples agree bit for bit (the first that differs, if not).
::testing::AssertionResult same_bits(std::span<const float> a, std::span<const float> b) {
    if (a.size() != b.size()) return ::testing::AssertionFailure() << a.size() << " samples against " << b.size();
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::bit_cast<std::uint32_t>(a[i]) != std::bit_cast<std::uint32_t>(b[i]))
            return ::testing::AssertionFailure() << "sample " << i << ": " << a[i] << " against " << b[i];
    return ::testing::AssertionSuccess();
}

TEST(Tuning, StreamsOfZerosDecodeAsTheDecoderDecodesThem) {
    const Method methods[] = {Method::Cdf97, Method::Cdf53, Method::Db4, Method::Sym4};
    const Coder coders[] = {Coder::Auto, Coder::Deflate, Coder::Arans};
    for (const std::size_t n : {1u, 2u, 7u, 100u, 1023u, 4096u}) {
        for (int kind = 0; kind < 4; ++kind) {
            for (const float offset : {0.0f, -300.0f, 1e5f}) {
                std::vector<float> x = signal_of(kind, n, static_cast<unsigned>(n + kind));
                for (float& v : x) v += offset;
                if (kind == 3 && offset == 0.0f) std::fill(x.begin(), x.end(), -0.0f);  // (constant, signed zero)
                for (const Method method : methods) {
                    auto t = tuning::transform(x, method);
                    ASSERT_TRUE(t.has_value());
                    for (const Coder coder : coders) {
                        CompressionConfig config;
                        config.method = method;
                        config.coder = coder;
                        const float m = t->peak > 0.0f ? 0.25f / t->peak : 1.0f;  // every coefficient to zero
                        for (int twice = 0; twice < 2; ++twice) {  // (coded, then known)
                            auto stream = tuning::encode_stream(*t, config, 6, 0, m);
                            ASSERT_TRUE(stream.has_value());
                            auto shortcut = tuning::decode_stream(*stream);
                            auto decoded = decompress(*stream);
                            ASSERT_TRUE(shortcut.has_value() && decoded.has_value());
                            ASSERT_TRUE(same_bits(*shortcut, *decoded)) << "n " << n << " kind " << kind << " offset " << offset;
                        }
                        // The empty base at a level of the encoder's choosing (its header's
                        // mean): the decoder and reconstruct_empty() agree on it too.
                        for (const float mean : {0.37f, -2.5f}) {
                            auto stream = tuning::encode_empty_stream(*t, config, 6, m, mean);
                            ASSERT_TRUE(stream.has_value());
                            tuning::Reconstruction scratch;
                            auto level = tuning::reconstruct_empty(*t, mean, scratch);
                            auto decoded = decompress(*stream);
                            ASSERT_TRUE(level.has_value() && decoded.has_value());
                            ASSERT_TRUE(same_bits(*level, *decoded)) << "n " << n << " kind " << kind << " mean " << mean;
                        }
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace corvane
