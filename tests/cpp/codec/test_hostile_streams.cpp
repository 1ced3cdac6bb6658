// Crafted and damaged streams through the whole decoder: every one decodes to
// exactly its declared length or fails with a Decompress error, and none can
// claim its way into memory its payload does not back.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "src/entropy/arans.hpp"
#include "src/entropy/cmodel.hpp"
#include "src/format/header.hpp"

namespace corvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kLargestCount = 2147483647u;

std::vector<float> wave(std::size_t n) {
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = std::sin(static_cast<float>(i) * 0.11f) + 0.01f * static_cast<float>(i % 7);
    return x;
}

Bytes stream_of(std::size_t n, Method method, Coder coder) {
    const auto s = compress(wave(n), CompressionConfig{method, 10, Cutoff::Low, coder, {}});
    EXPECT_TRUE(s.has_value());
    return s ? *s : Bytes{};
}

Bytes assemble(Method method, std::uint8_t levels, std::uint8_t coder, std::uint32_t samples, const Bytes& payload) {
    const auto h = CorvaneHeader::for_stream(method, levels, 10, coder, samples, -1.0f, 1.0f, 0.0f,
                                             static_cast<std::uint32_t>(payload.size()), 1024.0f);
    Bytes out(kHeaderSize);
    h.write_to(std::span<std::uint8_t, kHeaderSize>(out.data(), kHeaderSize));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes deflate_zeros(std::size_t count, Bytes tail = {}) {
    const Bytes zeros(count, 0);
    z_stream zs{};
    deflateInit2(&zs, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&zs, static_cast<uLong>(count)));
    zs.next_in = const_cast<Bytef*>(zeros.data());
    zs.avail_in = static_cast<uInt>(count);
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

// Decodes and checks the one contract every stream is held to.
void expect_decodes_or_fails(const Bytes& stream, const std::string& label) {
    const auto r = decompress(stream);
    if (r) {
        const auto h = CorvaneHeader::from_bytes(stream);
        ASSERT_TRUE(h.has_value()) << label;
        EXPECT_EQ(r->size(), h->sample_count) << label;
    } else {
        EXPECT_FALSE(r.error().message().empty()) << label;
    }
}

struct Shape {
    Method method;
    Coder coder;
};

class EveryMethodAndCoder : public ::testing::TestWithParam<Shape> {};

std::string shape_name(const ::testing::TestParamInfo<Shape>& info) {
    static const char* const kMethods[] = {"Cdf53", "Cdf97", "Db4", "Sym4"};
    static const char* const kCoders[] = {"Deflate", "Arans", "Cmodel", "Auto"};
    return std::string(kMethods[static_cast<int>(info.param.method)]) + "_" + kCoders[static_cast<int>(info.param.coder)];
}

// The largest count a header may declare, on a stream whose payload holds a
// few hundred coefficients: the decoder must run out of payload, not memory.
TEST_P(EveryMethodAndCoder, TheLargestDeclaredCountFailsOnThePayload) {
    const auto [method, coder] = GetParam();
    // The stream's own level count reaches the coefficient decoder; others
    // may already fail on the band count.
    const std::uint8_t own = stream_of(300, method, coder)[12];
    for (const std::uint8_t levels : {own, std::uint8_t{1}, std::uint8_t{10}}) {
        Bytes s = stream_of(300, method, coder);
        s[12] = levels;
        s[16] = 0xFF, s[17] = 0xFF, s[18] = 0xFF, s[19] = 0x7F;
        const auto r = decompress(s);
        ASSERT_FALSE(r.has_value()) << int{levels};
        EXPECT_EQ(r.error().tag(), CorvaneError::Tag::Decompress) << r.error().message();
    }
}

TEST_P(EveryMethodAndCoder, EveryTruncationAndSingleBitFlipDecodesOrFails) {
    const auto [method, coder] = GetParam();
    const Bytes valid = stream_of(90, method, coder);
    for (std::size_t cut = 0; cut < valid.size(); ++cut) {
        Bytes s(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(cut));
        expect_decodes_or_fails(s, "cut at " + std::to_string(cut));
        // The same bytes with the header's payload length made to fit them.
        if (cut >= kHeaderSize) {
            const auto len = static_cast<std::uint32_t>(cut - kHeaderSize);
            for (int i = 0; i < 4; ++i) s[32 + i] = static_cast<std::uint8_t>(len >> (8 * i));
            expect_decodes_or_fails(s, "cut and relabelled at " + std::to_string(cut));
        }
    }
    for (std::size_t bit = 0; bit < 8 * valid.size(); ++bit) {
        Bytes s = valid;
        s[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        expect_decodes_or_fails(s, "flip of bit " + std::to_string(bit));
    }
}

// Levels up to 10 on signals too short for them: the layout collapses to
// empty bands, which must be reported or decoded, never indexed past.
TEST_P(EveryMethodAndCoder, MaximalLevelsOnShortSignals) {
    const auto [method, coder] = GetParam();
    for (const std::size_t n : {1, 2, 7, 20, 33}) {
        for (const std::uint8_t levels : {8, 9, 10}) {
            Bytes s = stream_of(n, method, coder);
            s[12] = levels;
            expect_decodes_or_fails(s, std::to_string(n) + " samples, levels " + std::to_string(levels));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Hostile, EveryMethodAndCoder,
                         ::testing::Values(Shape{Method::Cdf53, Coder::Deflate}, Shape{Method::Cdf97, Coder::Arans},
                                           Shape{Method::Db4, Coder::Cmodel}, Shape{Method::Sym4, Coder::Deflate},
                                           Shape{Method::Cdf97, Coder::Cmodel}, Shape{Method::Db4, Coder::Arans},
                                           Shape{Method::Cdf53, Coder::Cmodel}, Shape{Method::Sym4, Coder::Arans}),
                         shape_name);

// A payload that inflates to 256 MiB of zeros while the layout needs 256
// bytes: the surplus is inflated and dropped, and the signal decodes.
TEST(DeflateBomb, OnlyTheBytesTheLayoutNeedsAreKept) {
    const Bytes payload = deflate_zeros(std::size_t{256} << 20);
    ASSERT_LT(payload.size(), 300000u);
    const auto r = decompress(assemble(Method::Cdf53, 1, 0, 100, payload));
    ASSERT_TRUE(r.has_value()) << r.error().message();
    ASSERT_EQ(r->size(), 100u);
    for (const float v : *r) EXPECT_EQ(v, -1.0f);  // all-zero coefficients decode to min
}

TEST(DeflateBomb, CorruptionAfterTheKeptPrefixIsStillReported) {
    const Bytes payload = deflate_zeros(std::size_t{16} << 20, Bytes{0xFF, 0xFF, 0xFF});
    // The tail is behind the end of the DEFLATE stream and so ignored; damage
    // inside the stream after the kept bytes is not.
    EXPECT_TRUE(decompress(assemble(Method::Cdf53, 1, 0, 100, payload)).has_value());
    Bytes damaged = deflate_zeros(std::size_t{16} << 20);
    damaged.resize(damaged.size() - 4);
    const auto r = decompress(assemble(Method::Cdf53, 1, 0, 100, damaged));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), "Can't decompress data, reason: unexpected end of deflate stream");
}

TEST(DeflateBomb, AHugeDeclaredCountOverABombFailsOnTheShortfall) {
    const auto r = decompress(assemble(Method::Cdf97, 10, 0, kLargestCount, deflate_zeros(std::size_t{8} << 20)));
    ASSERT_FALSE(r.has_value());
    EXPECT_NE(r.error().message().find("but the layout needs"), std::string::npos) << r.error().message();
}

// Zero bands code to almost nothing: the cheapest claim per payload byte a
// coefficient stream can make. Declaring more than the stream holds fails.
TEST(CoefficientModel, AStreamOfZerosDeclaredLongerThanItHoldsIsTruncated) {
    const std::vector<std::int16_t> zeros(200000, 0);
    const std::vector<std::span<const std::int16_t>> bands{zeros, zeros};
    const Bytes payload = encode_coeffs(bands);
    ASSERT_LT(payload.size(), 1024u);
    const std::vector<std::size_t> fits{200000, 200000};
    const auto ok = decode_coeffs(payload, fits);
    ASSERT_TRUE(ok.has_value());
    const std::vector<std::size_t> claims{kLargestCount, kLargestCount};
    const auto r = decode_coeffs(payload, claims);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), CoeffStreamError::Truncated);
}

// Found by fuzzing: coding a set whose bands are all empty recorded into a
// buffer that was never made. Such sets code to the widths and the bare state.
TEST(CoefficientModel, SetsOfOnlyEmptyBandsCodeToTheBareState) {
    for (std::size_t count = 0; count <= 3; ++count) {
        const std::vector<std::span<const std::int16_t>> bands(count);
        Bytes want{static_cast<std::uint8_t>(count)};
        want.insert(want.end(), count, 1);
        want.insert(want.end(), {0, 0, 1, 0});
        EXPECT_EQ(encode_coeffs(bands), want) << count;
        const std::vector<std::size_t> lengths(count, 0);
        const auto back = decode_coeffs(want, lengths);
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(back->size(), count);
    }
}

TEST(RansStream, TheLargestPairCountOverTinyPlanesIsTruncated) {
    // odd 0, k 0, P = 2^28 (varint 80 80 80 80 01), plane A of 4 bytes, plane B
    // of 4 bytes: each plane runs dry long before 2^28 bytes.
    const Bytes s{0, 0, 0x80, 0x80, 0x80, 0x80, 0x01, 4, 0, 0, 1, 0, 0, 0, 1, 0};
    const auto r = decode_stream(s);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), RansStreamError::Truncated);
}

// Streams that decode to non-finite samples are still decoded, not rejected:
// statistics at the ends of the float range.
TEST(Statistics, ExtremeButFiniteHeaderValuesDecode) {
    const float big = std::numeric_limits<float>::max();
    Bytes s = stream_of(64, Method::Cdf97, Coder::Cmodel);
    auto h = *CorvaneHeader::from_bytes(s);
    h.min = -big;
    h.max = big;
    h.mean = big;
    h.multiplier = 1e-40f;
    h.write_to(std::span<std::uint8_t, kHeaderSize>(s.data(), kHeaderSize));
    const auto r = decompress(s);
    ASSERT_TRUE(r.has_value()) << r.error().message();
    EXPECT_EQ(r->size(), 64u);
}

}  // namespace
}  // namespace corvane
