#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numbers>
#include <optional>
#include <random>
#include <vector>

#include "src/entropy/arans.hpp"
#include "src/entropy/cmodel.hpp"
#include "src/codec/compressor.hpp"
#include "src/codec/forward.hpp"
#include "src/entropy/payload.hpp"
#include "src/format/bands.hpp"
#include "src/format/quantiser.hpp"
#include "src/codec/decompressor.hpp"
#include "src/format/header.hpp"

namespace corvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::vector<float> smooth(std::size_t n, float offset = 0.0f) {
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i);
        x[i] = offset + static_cast<float>(std::sin(t * 0.05) + 0.3 * std::sin(t * 0.31) + 0.05 * std::cos(t * 1.7));
    }
    return x;
}

Bytes compress_ok(std::span<const float> x, CompressionConfig cfg = {}) {
    auto r = compress(x, cfg);
    EXPECT_TRUE(r.has_value()) << r.error().message();
    return r ? *r : Bytes{};
}

std::vector<float> decompress_ok(const Bytes& stream) {
    auto r = decompress(stream);
    EXPECT_TRUE(r.has_value()) << r.error().message();
    return r ? *r : std::vector<float>{};
}

std::string decompress_error(const Bytes& stream) {
    auto r = decompress(stream);
    return r ? std::string("<decoded>") : r.error().message();
}

CorvaneHeader header_of(const Bytes& stream) { return *CorvaneHeader::from_bytes(stream); }

void set_header(Bytes& stream, const CorvaneHeader& h) { h.write_to(std::span<std::uint8_t, kHeaderSize>(stream.data(), kHeaderSize)); }

Bytes replace_payload(const Bytes& stream, const Bytes& payload, std::uint8_t coder) {
    auto h = header_of(stream);
    h.payload_len = static_cast<std::uint32_t>(payload.size());
    h.coder = coder;
    Bytes out(kHeaderSize);
    set_header(out, h);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes inflate_all(std::span<const std::uint8_t> payload) {
    z_stream zs{};
    inflateInit2(&zs, -15);
    Bytes out(1 << 20);
    zs.next_in = const_cast<Bytef*>(payload.data());
    zs.avail_in = static_cast<uInt>(payload.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    inflateEnd(&zs);
    return out;
}

Bytes deflate_all(std::span<const std::uint8_t> bytes) {
    Bytes out(compressBound(static_cast<uLong>(bytes.size())) + 64);
    z_stream zs{};
    deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    zs.next_in = const_cast<Bytef*>(bytes.data());
    zs.avail_in = static_cast<uInt>(bytes.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

TEST(LevelChoice, FollowsLengthAndFilter) {
    struct Case {
        std::size_t n;
        Method method;
        int levels;
    };
    const Case cases[] = {{1, Method::Cdf97, 1},    {19, Method::Cdf97, 1},   {20, Method::Cdf97, 2},
                          {39, Method::Cdf53, 2},   {40, Method::Db4, 3},     {59, Method::Sym4, 3},
                          {60, Method::Cdf97, 4},   {79, Method::Cdf97, 4},   {80, Method::Cdf97, 3},
                          {80, Method::Db4, 3},     {1000, Method::Cdf97, 6}, {1000, Method::Cdf53, 7},
                          {2559, Method::Cdf97, 7}, {2560, Method::Cdf97, 8}, {1u << 24, Method::Cdf53, 8}};
    for (const auto& c : cases) EXPECT_EQ(pick_levels(c.n, c.method), c.levels) << c.n;
}

TEST(Quantiser, ClampsAndTruncatesTowardZero) {
    EXPECT_EQ(quantise(40000.7f, 1.0f), 32767);
    EXPECT_EQ(quantise(-40000.7f, 1.0f), -32768);
    EXPECT_EQ(quantise(-0.9f, 1.0f), 0);
    EXPECT_EQ(quantise(2.99f, 1.0f), 2);
    EXPECT_EQ(quantise(-2.99f, 1.0f), -2);
    EXPECT_EQ(quantise(std::numeric_limits<float>::quiet_NaN(), 1.0f), 32767);
    EXPECT_EQ(quantise(std::numeric_limits<float>::infinity(), 1.0f), 32767);
    EXPECT_EQ(quantise(-std::numeric_limits<float>::infinity(), 1.0f), -32768);
    EXPECT_EQ(quantise(0.5f, 2048.0f), 1024);
}

TEST(Quantiser, UnsaturatedMultiplierIsTheLargestThatStaysInRange) {
    std::mt19937 rng(12);
    const float inf = std::numeric_limits<float>::infinity();
    const float multipliers[] = {1.0f, 2048.0f, 4096.0f, 32768.0f, 1e6f, 3e38f, 1e-45f, 1e-30f};
    for (int i = 0; i < 20000; ++i) {
        // Peaks across many binades, the coarse coefficients' usual 1..20 most often.
        const float peak = i % 2 == 0 ? std::ldexp(static_cast<float>(rng() % 1000000 + 1) / 1e6f, int(rng() % 60) - 30)
                                      : 1.0f + static_cast<float>(rng() % 19000000) / 1e6f;
        const float m = i % 3 == 0 ? multipliers[rng() % 8] : static_cast<float>(rng() % 200000) / 3.0f + 1.0f;
        const float used = unsaturated_multiplier(peak, m);
        if (peak * m < 32768.0f) {
            EXPECT_EQ(std::bit_cast<std::uint32_t>(used), std::bit_cast<std::uint32_t>(m));
            continue;
        }
        ASSERT_GT(used, 0.0f) << peak << " " << m;
        EXPECT_LT(peak * used, 32768.0f) << peak << " " << m;
        EXPECT_GE(peak * std::nextafter(used, inf), 32768.0f) << peak << " " << m;
    }
    // Multipliers that are not finite and positive, and empty or flat signals, pass through.
    for (const float m : {0.0f, -0.0f, -5.0f, inf, -inf, std::numeric_limits<float>::quiet_NaN()}) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(unsaturated_multiplier(10.0f, m)), std::bit_cast<std::uint32_t>(m));
    }
    EXPECT_EQ(unsaturated_multiplier(0.0f, 1e30f), 1e30f);
}

TEST(DeadZone, ThresholdsPerScaleAndCutoff) {
    const int expected[7][3] = {{0, 0, 0}, {0, 0, 0}, {1, 3, 7}, {1, 3, 7}, {2, 6, 14}, {2, 6, 14}, {3, 9, 21}};
    for (std::uint8_t scale = 6; scale <= 12; ++scale) {
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(dead_zone_threshold(scale, static_cast<Cutoff>(c)), expected[scale - 6][c]);
        }
    }
}

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

class Decoding : public ::testing::Test {
protected:
    Bytes stream = compress_ok(smooth(1000), {Method::Cdf97, 11, Cutoff::Low, Coder::Deflate, 2048.0f});
};

TEST_F(Decoding, UnusableMultipliersFallBackToTheScale) {
    const auto reference = decompress_ok(stream);
    for (float m : {0.0f, -0.0f, -1.0f, std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                    std::numeric_limits<float>::quiet_NaN()}) {
        Bytes patched = stream;
        auto h = header_of(patched);
        h.multiplier = m;
        set_header(patched, h);
        EXPECT_EQ(decompress_ok(patched), reference) << m;
    }
    // A positive subnormal is used as it is.
    Bytes patched = stream;
    auto h = header_of(patched);
    h.multiplier = 1e-40f;
    set_header(patched, h);
    EXPECT_NE(decompress_ok(patched), reference);
}

TEST_F(Decoding, ChecksDeclaredSizesInOrder) {
    auto with = [&](auto edit) {
        Bytes s = stream;
        auto h = header_of(s);
        edit(h);
        set_header(s, h);
        return decompress_error(s);
    };
    EXPECT_EQ(with([](CorvaneHeader& h) { h.sample_count = 2147483648u; }),
              "Can't decompress data, reason: Can't decompress data bigger than 2147483647, but data was 2147483648");
    EXPECT_EQ(with([](CorvaneHeader& h) { h.levels = 11; }),
              "Can't decompress data, reason: Max supported level is 10 but it was 11");
    EXPECT_EQ(with([](CorvaneHeader& h) { h.levels = 0; }),
              "Can't decompress data, reason: Min supported level is 1 but it was 0");
    EXPECT_EQ(with([](CorvaneHeader& h) { h.sample_count = 4000000000u, h.levels = 11; }),
              "Can't decompress data, reason: Can't decompress data bigger than 2147483647, but data was 4000000000");
}

TEST_F(Decoding, PayloadMustFitTheInput) {
    auto h = header_of(stream);
    h.payload_len = 100;
    Bytes s(stream.begin(), stream.begin() + 120);
    set_header(s, h);
    EXPECT_EQ(decompress_error(s), "Can't decompress data, reason: Minimum data size is 152, but it was 120");
    h.payload_len = 0xFFFFFFFFu;
    set_header(s, h);
    EXPECT_EQ(decompress_error(s), "Can't decompress data, reason: Minimum data size is 4294967347, but it was 120");
}

TEST_F(Decoding, IgnoresTrailingBytes) {
    Bytes s = stream;
    s.insert(s.end(), {0xDE, 0xAD, 0xBE, 0xEF});
    EXPECT_EQ(decompress_ok(s), decompress_ok(stream));
}

TEST_F(Decoding, DropsAnOddFinalByteOfDeflateAndArans) {
    auto raw = inflate_all(std::span(stream).subspan(kHeaderSize));
    const auto reference = decompress_ok(stream);
    raw.push_back(0x7F);
    EXPECT_EQ(decompress_ok(replace_payload(stream, deflate_all(raw), 0)), reference);
    EXPECT_EQ(decompress_ok(replace_payload(stream, encode_stream(raw), 1)), reference);
}

TEST_F(Decoding, RefusesCoefficientDataShorterThanTheLayout) {
    auto raw = inflate_all(std::span(stream).subspan(kHeaderSize));
    raw.resize(raw.size() - 2);
    const std::string message =
        "Can't decompress data, reason: Coefficient data holds 999 values, but the layout needs 1000";
    EXPECT_EQ(decompress_error(replace_payload(stream, deflate_all(raw), 0)), message);
    EXPECT_EQ(decompress_error(replace_payload(stream, encode_stream(raw), 1)), message);
}

TEST_F(Decoding, ReportsCorruptAndCutDeflateData) {
    const Bytes payload(stream.begin() + kHeaderSize, stream.end());
    Bytes cut(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(payload.size() / 2));
    EXPECT_EQ(decompress_error(replace_payload(stream, cut, 0)),
              "Can't decompress data, reason: unexpected end of deflate stream");
    const Bytes garbage{0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(decompress_error(replace_payload(stream, garbage, 0)),
              "Can't decompress data, reason: corrupt deflate stream");
}

TEST_F(Decoding, PassesCoderErrorsThrough) {
    EXPECT_EQ(decompress_error(replace_payload(stream, {}, 2)), "Can't decompress data, reason: Stream truncated");
    EXPECT_EQ(decompress_error(replace_payload(stream, {0, 9, 1, 1, 0, 0, 0}, 1)),
              "Can't decompress data, reason: Inconsistent or oversized length in stream");
}

}  // namespace
}  // namespace corvane
