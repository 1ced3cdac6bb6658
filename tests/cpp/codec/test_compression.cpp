// Whole streams from the compressor: the road of one request, the stages
// against the stream, refusals, sanitising, padding, the dead zone and the
// multiplier as the stream carries them.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numbers>
#include <optional>
#include <random>
#include <vector>

#include "src/codec/forward.hpp"
#include "src/entropy/arans.hpp"
#include "src/entropy/cmodel.hpp"
#include "src/format/bands.hpp"
#include "src/format/header.hpp"
#include "tests/cpp/codec/streams.hpp"

namespace corvane {
namespace {

using namespace stream_tests;

// Splits a cmodel payload back into its bands by the stream's own layout.
std::vector<std::vector<std::int16_t>> bands_of(const Bytes& stream) {
    const auto h = header_of(stream);
    Method method{};
    method_from_code(h.method_code, method);
    const auto executor = make_executor(method);
    std::size_t length = std::max<std::size_t>(h.sample_count, executor->filter_length());
    std::vector<std::size_t> lengths(h.levels + 1u);
    for (std::size_t k = 0; k < h.levels; ++k) {
        const auto s = executor->dwt_size(length);
        lengths[k + 1] = s.details_length;
        length = s.approx_length;
    }
    lengths[0] = length;
    auto bands = decode_coeffs(std::span(stream).subspan(kHeaderSize), lengths);
    EXPECT_TRUE(bands.has_value());
    return bands ? *bands : std::vector<std::vector<std::int16_t>>{};
}

TEST(DeadZone, ZeroesSmallDetailsButNeverTheApproximation) {
    std::mt19937 rng(5);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    std::vector<float> x = smooth(4000);
    for (float& v : x) v += 0.02f * noise(rng);
    const auto loose = bands_of(compress_ok(x, {Method::Cdf97, 12, Cutoff::Low, Coder::Cmodel, {}}));
    const auto tight = bands_of(compress_ok(x, {Method::Cdf97, 12, Cutoff::High, Coder::Cmodel, {}}));
    ASSERT_EQ(loose.size(), tight.size());
    EXPECT_EQ(loose[0], tight[0]);  // approximation untouched
    bool small_details_existed = false;
    for (std::size_t b = 1; b < tight.size(); ++b) {
        for (std::size_t i = 0; i < tight[b].size(); ++i) {
            const int before = loose[b][i];
            const int after = tight[b][i];
            if (std::abs(before) >= 3 && std::abs(before) < 21) small_details_existed = true;
            EXPECT_EQ(after, std::abs(before) < 21 ? 0 : before);
        }
    }
    EXPECT_TRUE(small_details_existed);
}

TEST(RoadOfOneRequest, ThousandSamplesWithDefaults) {
    std::vector<double> source(1000);
    std::vector<float> x(1000);
    for (std::size_t i = 0; i < 1000; ++i) {
        source[i] = std::sin(static_cast<double>(i) * 0.01) * 3.0 + 1.0;
        x[i] = static_cast<float>(source[i]);
    }
    const auto layout = wavelet::decomposition_layout(*make_executor(Method::Cdf97), 1000, 6);
    const std::vector<wavelet::DwtSize> expected_layout{{500, 500}, {250, 250}, {125, 125},
                                                        {63, 62},   {32, 31},   {16, 16}};
    EXPECT_EQ(layout, expected_layout);

    const Bytes stream = compress_ok(x);
    const std::uint8_t start[20] = {0x43, 0x52, 0x56, 0x4E, 0x01, 0x02, 0x66, 0x33, 0x63, 0x66,
                                    0x39, 0x37, 0x06, 0x0B, 0x02, 0x00, 0xE8, 0x03, 0x00, 0x00};
    ASSERT_GT(stream.size(), kHeaderSize);
    for (std::size_t i = 0; i < 20; ++i) EXPECT_EQ(stream[i], start[i]) << i;
    EXPECT_EQ(Bytes(stream.begin() + 36, stream.begin() + 40), (Bytes{0x00, 0x00, 0x00, 0x45}));
    EXPECT_EQ(header_of(stream).payload_len, stream.size() - kHeaderSize);
    const auto y = decompress_ok(stream);
    ASSERT_EQ(y.size(), 1000u);
    for (std::size_t i = 0; i < y.size(); ++i) EXPECT_NEAR(y[i], x[i], 0.01) << i;
}

TEST(Compression, LongSignalsWriteTheStreamOfTheSeparateStages) {
    // Past the direct limit the coder records in chunks into the memory the
    // transform wrote, in front of the quantised bands that share it: the
    // stream must be the one the stages write with buffers of their own, on
    // both filter families and on the path that quantises twice.
    std::mt19937 rng(17);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    std::vector<float> x = smooth(2'300'001);
    for (float& v : x) v += 0.05f * noise(rng);
    for (const Method method : {Method::Cdf97, Method::Db4}) {
        for (const std::optional<float> multiplier : {std::optional<float>{}, std::optional<float>{1e6f}}) {
            CompressionConfig cfg;
            cfg.method = method;
            cfg.quant_multiplier = multiplier;
            const Bytes stream = compress_ok(x, cfg);
            const CorvaneHeader h = header_of(stream);
            if (multiplier) {
                EXPECT_LT(h.multiplier, *multiplier);  // quantised twice
            }

            const auto executor = make_executor(method);
            auto w = normalise_signal(x, executor->filter_length());
            ASSERT_TRUE(w.has_value());
            const auto q = decompose_and_quantise(*executor, std::move(w->samples), h.levels, h.multiplier,
                                                  dead_zone_threshold(cfg.scale, cfg.cutoff));
            ASSERT_TRUE(q.has_value());
            std::vector<std::span<const std::int16_t>> views;
            std::size_t at = 0, decisions = 0;
            for (const std::size_t len : q->lengths) {
                const std::span<const std::int16_t> band(q->values.data() + at, len);
                int largest = 0;
                for (const std::int16_t v : band) largest = std::max(largest, std::abs(int{v}));
                const auto width = static_cast<std::size_t>(largest == 0 ? 1 : std::bit_width(unsigned(largest)));
                for (const std::int16_t v : band) decisions += v != 0 ? 2 + width : 1;
                views.push_back(band);
                at += len;
            }
            ASSERT_GT(decisions, RecordBudget{}.direct_limit);
            EXPECT_TRUE(std::ranges::equal(std::span(stream).subspan(kHeaderSize), encode_coeffs(views)))
                << static_cast<int>(method) << (multiplier ? " clamped" : "");
        }
    }
}

TEST(Compression, RefusesEmptyAndOverflowingRanges) {
    EXPECT_EQ(compress({}, {}).error().message(), "Unsupported compression configuration 'Can't compress empty data'");
    const std::vector<float> huge{-3e38f, 3e38f};
    EXPECT_EQ(compress(huge, {}).error().message(),
              "Unsupported compression configuration 'Can't compress data whose range exceeds single precision'");
    // The widest range that still fits compresses and decodes.
    const float half = std::numeric_limits<float>::max() / 2;
    const std::vector<float> widest{-half, half, 0.0f, half};
    const auto y = decompress_ok(compress_ok(widest));
    ASSERT_EQ(y.size(), 4u);
    for (float v : y) EXPECT_TRUE(std::isfinite(v));
}

// A C++ caller gets no stream the decoder would refuse or decode to something
// else: what the options class refuses, compress refuses too.
TEST(Compression, RefusesSettingsOutOfRange) {
    const auto x = smooth(200);
    auto with = [](auto change) {
        CompressionConfig c;
        change(c);
        return c;
    };
    for (std::uint8_t scale : {0, 5, 13, 255}) {
        EXPECT_EQ(compress(x, with([&](auto& c) { c.scale = scale; })).error(), CorvaneError::unsupported_scale(scale));
    }
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<CompressionConfig> refused{
        with([](auto& c) { c.method = static_cast<Method>(4); }),
        with([](auto& c) { c.cutoff = static_cast<Cutoff>(3); }),
        with([](auto& c) { c.coder = static_cast<Coder>(4); }),
        with([](auto& c) { c.quant_multiplier = 0.0f; }),
        with([](auto& c) { c.quant_multiplier = -2.0f; }),
        with([&](auto& c) { c.quant_multiplier = inf; }),
        with([](auto& c) { c.quant_multiplier = std::numeric_limits<float>::quiet_NaN(); }),
    };
    for (const auto& c : refused) {
        const auto r = compress(x, c);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().tag(), CorvaneError::Tag::UnsupportedConfiguration) << r.error().message();
    }
    // The edges of every range are accepted and decode.
    for (const auto& c : {with([](auto& c) { c.scale = kMinScale; }), with([](auto& c) { c.scale = kMaxScale; }),
                          with([](auto& c) { c.quant_multiplier = 1e-40f; })}) {
        EXPECT_EQ(decompress_ok(compress_ok(x, c)).size(), x.size());
    }
}

TEST(Compression, SanitisesNanAndInfinities) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> x{nan, inf, -inf, 0.25f};
    x.resize(40, 0.5f);
    const auto h = header_of(compress_ok(x));
    EXPECT_EQ(h.min, 0.0f);
    EXPECT_EQ(h.max, 1.0f);
    // The same signal with the substitutions made by hand codes identically.
    std::vector<float> by_hand = x;
    by_hand[0] = 0.0f, by_hand[1] = 1.0f, by_hand[2] = 0.0f;
    EXPECT_EQ(compress_ok(x), compress_ok(by_hand));
}

TEST(Compression, FlatSignalDecodesToItsValue) {
    const std::vector<float> x(1000, 3.5f);
    const Bytes stream = compress_ok(x);
    const auto h = header_of(stream);
    EXPECT_EQ(h.min, 3.5f);
    EXPECT_EQ(h.max, 3.5f);
    EXPECT_EQ(h.mean, 0.0f);
    for (float v : decompress_ok(stream)) ASSERT_EQ(v, 3.5f);
}

TEST(Compression, ShortSignalsArePaddedButKeepTheirCount) {
    for (Method method : {Method::Cdf53, Method::Cdf97, Method::Db4, Method::Sym4}) {
        for (std::size_t n = 1; n <= 12; ++n) {
            const auto x = smooth(n, 2.0f);
            const Bytes stream = compress_ok(x, {method, 12, Cutoff::Low, Coder::Auto, {}});
            EXPECT_EQ(header_of(stream).sample_count, n);
            EXPECT_EQ(header_of(stream).levels, 1);
            const auto y = decompress_ok(stream);
            ASSERT_EQ(y.size(), n);
            for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(y[i], x[i], 0.01) << n;
        }
    }
}

TEST(Compression, OddLengthsRoundTripOnEveryMethod) {
    for (Method method : {Method::Cdf53, Method::Cdf97, Method::Db4, Method::Sym4}) {
        for (std::size_t n : {99u, 101u, 1001u}) {
            const auto x = smooth(n);
            const auto y = decompress_ok(compress_ok(x, {method, 12, Cutoff::Low, Coder::Cmodel, {}}));
            ASSERT_EQ(y.size(), n);
            for (std::size_t i = 0; i < n; ++i) ASSERT_NEAR(y[i], x[i], 0.01) << n << " " << i;
        }
    }
}

TEST(Compression, DeflatePayloadHoldsTwoBytesPerCoefficient) {
    const auto x = smooth(1000);
    const Bytes stream = compress_ok(x, {Method::Cdf97, 11, Cutoff::Low, Coder::Deflate, {}});
    EXPECT_EQ(header_of(stream).coder, 0);
    const auto raw = inflate_all(std::span(stream).subspan(kHeaderSize));
    EXPECT_EQ(raw.size(), 2u * (16 + 500 + 250 + 125 + 62 + 31 + 16));
    // The arans payload carries the same bytes.
    const Bytes arans = compress_ok(x, {Method::Cdf97, 11, Cutoff::Low, Coder::Arans, {}});
    EXPECT_EQ(header_of(arans).coder, 1);
    EXPECT_EQ(*decode_stream(std::span(arans).subspan(kHeaderSize)), raw);
    // And both decode to what the coefficient model decodes to.
    const Bytes cmodel = compress_ok(x, {Method::Cdf97, 11, Cutoff::Low, Coder::Cmodel, {}});
    EXPECT_EQ(decompress_ok(stream), decompress_ok(cmodel));
    EXPECT_EQ(decompress_ok(arans), decompress_ok(cmodel));
}

TEST(Compression, ExplicitMultiplierKeepsTheScalesDeadZone) {
    const auto x = smooth(1000);
    const Bytes stream = compress_ok(x, {Method::Cdf97, 11, Cutoff::Low, Coder::Auto, 100.0f});
    EXPECT_EQ(header_of(stream).multiplier, 100.0f);
    const auto bands = bands_of(stream);
    for (std::size_t b = 1; b < bands.size(); ++b) {
        for (std::int16_t v : bands[b]) EXPECT_TRUE(v == 0 || std::abs(v) >= 2);
    }
}

TEST(Compression, FineScalesUseAMultiplierThatDoesNotSaturate) {
    // A step over 100 000 samples: eight levels grow the coarse coefficients
    // far past the unit range, so 2^12 would clamp them.
    std::vector<float> x(100000);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = i < x.size() / 2 ? 0.0f : 1.0f;
    for (const Method method : {Method::Cdf53, Method::Cdf97, Method::Db4, Method::Sym4}) {
        for (const std::optional<float> given : {std::optional<float>{}, std::optional<float>{1e6f}}) {
            const Bytes stream = compress_ok(x, {method, 12, Cutoff::Low, Coder::Auto, given});
            const float used = header_of(stream).multiplier;
            EXPECT_LE(used, given.value_or(4096.0f));
            if (given) {
                EXPECT_LT(used, 1e5f);
            }
            for (const auto& band : bands_of(stream)) {
                for (const std::int16_t v : band) ASSERT_GT(v, -32768);  // only a clamp reaches it
            }
            const auto y = decompress_ok(stream);
            float err = 0.0f;
            for (std::size_t i = 0; i < x.size(); ++i) err = std::max(err, std::abs(y[i] - x[i]));
            EXPECT_LT(err, 12.0f / used) << static_cast<int>(method);
        }
    }
    // Where nothing saturates the stream keeps the scale's multiplier.
    EXPECT_EQ(header_of(compress_ok(smooth(1000), {Method::Cdf97, 12, Cutoff::Low, Coder::Auto, std::nullopt})).multiplier, 4096.0f);
}
}  // namespace
}  // namespace corvane
