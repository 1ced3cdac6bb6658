#include "src/entropy/cmodel.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "tests/cpp/entropy/coder_reference.hpp"

namespace corvane {
namespace {

using Bytes = std::vector<uint8_t>;
using Bands = std::vector<std::vector<int16_t>>;

Bytes encode(const Bands& bands) {
    std::vector<std::span<const int16_t>> views(bands.begin(), bands.end());
    return encode_coeffs(views);
}

std::vector<size_t> lengths_of(const Bands& bands) {
    std::vector<size_t> out;
    for (const auto& b : bands) out.push_back(b.size());
    return out;
}

// Checks the fast decoder against the literal one on any stream: same bands
// or the same error.
void expect_decoders_agree(std::span<const uint8_t> stream, std::span<const size_t> lengths) {
    const auto fast = decode_coeffs(stream, lengths);
    const auto [ref_error, ref_bands] = ref::decode_coeffs(stream, lengths);
    ASSERT_EQ(fast.has_value(), !ref_error.has_value());
    if (fast) {
        EXPECT_EQ(*fast, ref_bands);
    } else {
        EXPECT_EQ(static_cast<int>(fast.error()), static_cast<int>(*ref_error));
    }
}

// Band sets shaped like quantised wavelet details: mostly zeros, a few
// values spread over a random width, runs of zeros, the extremes.
Bands random_bands(std::mt19937& rng, size_t band_count, size_t max_len) {
    Bands bands(band_count);
    for (auto& band : bands) {
        const size_t len = std::uniform_int_distribution<size_t>(0, max_len)(rng);
        const int width = std::uniform_int_distribution<int>(0, 16)(rng);
        const double density = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
        std::bernoulli_distribution nonzero(density * density);
        band.resize(len);
        for (auto& v : band) {
            if (!nonzero(rng)) continue;
            const int32_t limit = width == 16 ? 32768 : (1 << width);
            int32_t mag = std::uniform_int_distribution<int32_t>(1, std::max(1, limit))(rng);
            const bool negative = rng() & 1;
            if (mag == 32768 && !negative) mag = 32767;
            v = static_cast<int16_t>(negative ? -mag : mag);
        }
    }
    return bands;
}

TEST(CoeffStreamErrorText, DescribesEachVariant) {
    EXPECT_EQ(describe(CoeffStreamError::Truncated), "Stream truncated");
    EXPECT_EQ(describe(CoeffStreamError::InconsistentLength),
              "Inconsistent length in coefficient stream");
}

TEST(ContextLayout, BandsGetDisjointBlocksOfTwoToTheWidthPlusThree) {
    const std::vector<uint32_t> widths{1, 0, 16, 3};
    const Layout lay = layout(widths);
    EXPECT_EQ(lay.base, (std::vector<uint32_t>{0, 5, 9, 9 + 65539}));
    EXPECT_EQ(lay.bits, widths);
    EXPECT_EQ(lay.total, 9u + 65539 + 11);
    EXPECT_EQ(layout({}).total, 0u);
}

struct KnownStream {
    const char* name;
    Bands bands;
    Bytes stream;
};

class CoeffKnownStreams : public testing::TestWithParam<KnownStream> {};

TEST_P(CoeffKnownStreams, CodeToTheirExactBytesAndBack) {
    const auto& [name, bands, stream] = GetParam();
    EXPECT_EQ(encode(bands), stream);
    const auto lengths = lengths_of(bands);
    const auto decoded = decode_coeffs(stream, lengths);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, bands);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, CoeffKnownStreams,
    testing::Values(KnownStream{"NoBands", {}, {0x00, 0x00, 0x00, 0x01, 0x00}},
                    KnownStream{"EmptyBand", {{}}, {0x01, 0x01, 0x00, 0x00, 0x01, 0x00}},
                    KnownStream{"Zero", {{0}}, {0x01, 0x01, 0x00, 0x00, 0x02, 0x00}},
                    KnownStream{"One", {{1}}, {0x01, 0x01, 0x00, 0x08, 0x08, 0x00}},
                    KnownStream{"MinusOne", {{-1}}, {0x01, 0x01, 0x00, 0x18, 0x08, 0x00}}),
    [](const auto& info) { return info.param.name; });

TEST(CoeffModel, TheMostNegativeValueTakesWidth16AndComesBack) {
    const Bands bands{{0, -32768, 5, 32767, -1}};
    const Bytes stream = encode(bands);
    EXPECT_EQ(stream[1], 16);
    const auto lengths = lengths_of(bands);
    const auto decoded = decode_coeffs(stream, lengths);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, bands);
}

TEST(CoeffModel, WidthIsTheBitLengthOfTheLargestMagnitude) {
    EXPECT_EQ(encode({{4, -3}})[1], 3);  // 4 - 1 would fit in 2 bits
    EXPECT_EQ(encode({{0, 0}})[1], 1);
    EXPECT_EQ(encode({{-255}})[1], 8);
    EXPECT_EQ(encode({{256}})[1], 9);
}

TEST(CoeffModel, RandomBandSetsMatchTheLiteralCoderAndRoundTrip) {
    std::mt19937 rng(2024);
    for (int round = 0; round < 300; ++round) {
        const size_t band_count = round < 3 ? 255 - round : rng() % 12;
        const size_t max_len = round < 3 ? 100 : round % 10 == 0 ? 20000 : 600;
        const Bands bands = random_bands(rng, band_count, max_len);
        const Bytes stream = encode(bands);
        ASSERT_EQ(stream, ref::encode_coeffs(bands)) << round;
        const auto lengths = lengths_of(bands);
        const auto decoded = decode_coeffs(stream, lengths);
        ASSERT_TRUE(decoded) << round;
        ASSERT_EQ(*decoded, bands) << round;
    }
}

TEST(CoeffModel, LongZeroRunsRoundTrip) {
    Bands bands{std::vector<int16_t>(300000, 0), std::vector<int16_t>(100000, 0), {}};
    bands[1][99999] = -7;
    bands[2] = {0, 0, 1};
    const Bytes stream = encode(bands);
    EXPECT_LT(stream.size(), 400u);
    ASSERT_EQ(stream, ref::encode_coeffs(bands));
    const auto lengths = lengths_of(bands);
    const auto decoded = decode_coeffs(stream, lengths);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, bands);
}

// Streams with widths other than the encoder's choice (0 to 16), as another
// writer could make them; with width 0 every nonzero value reads as +1 or -1.
TEST(CoeffModel, AnyWidthFromZeroToSixteenDecodes) {
    std::mt19937 rng(5);
    for (uint32_t width = 0; width <= 16; ++width) {
        Bands bands(3);
        std::vector<uint32_t> widths{width, 16, width};
        for (auto& band : bands) {
            band.resize(rng() % 500);
            for (auto& v : band) {
                if (rng() % 3) continue;
                const uint32_t m = width == 0 ? 0 : rng() % (1u << std::min(width, 15u));
                v = static_cast<int16_t>(rng() & 1 ? -int32_t(m + 1) : int32_t(m + 1));
            }
        }
        const Bytes stream = ref::encode_coeffs_with(bands, widths);
        const auto lengths = lengths_of(bands);
        const auto decoded = decode_coeffs(stream, lengths);
        ASSERT_TRUE(decoded) << width;
        EXPECT_EQ(*decoded, bands) << width;
    }
}

TEST(CoeffModel, WidthSixteenMagnitudesWrapToSixteenBits) {
    // m = 65535 codes +65536 and -65536, both of which keep 0 in 16 bits;
    // m = 32767 with a plus sign keeps -32768.
    // No encoder writes these, so the one band is coded decision by decision.
    ref::Enc enc((1u << 16) + 3);
    auto code_value = [&](unsigned sign, uint32_t m, uint32_t& prev) {
        enc.encode_bit(prev, 1);
        prev = 1;
        enc.encode_bit(2, sign);
        uint32_t node = 1;
        for (uint32_t k = 16; k-- > 0;) {
            const uint32_t bit = (m >> k) & 1;
            enc.encode_bit(3 + node, bit);
            node = 2 * node + bit;
        }
    };
    uint32_t prev = 0;
    code_value(0, 65535, prev);
    code_value(1, 65535, prev);
    code_value(0, 32767, prev);
    Bytes stream{1, 16};
    const Bytes body = enc.finish();
    stream.insert(stream.end(), body.begin(), body.end());
    const std::vector<size_t> lengths{3};
    const auto decoded = decode_coeffs(stream, lengths);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, (Bands{{0, 0, -32768}}));
}

TEST(CoeffModel, BytesAfterTheStreamAreIgnored) {
    const Bands bands{{3, 0, -2, 0, 0, 9}, {}, {1}};
    Bytes stream = encode(bands);
    stream.insert(stream.end(), {0xFF, 0x00, 0x13});
    const auto lengths = lengths_of(bands);
    const auto decoded = decode_coeffs(stream, lengths);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, bands);
}

struct BadStream {
    const char* name;
    Bytes stream;
    std::vector<size_t> lengths;
    CoeffStreamError error;
};

class CoeffBadStreams : public testing::TestWithParam<BadStream> {};

TEST_P(CoeffBadStreams, GiveTheirError) {
    const auto& [name, stream, lengths, error] = GetParam();
    const auto decoded = decode_coeffs(stream, lengths);
    ASSERT_FALSE(decoded);
    EXPECT_EQ(decoded.error(), error);
}

using enum CoeffStreamError;
INSTANTIATE_TEST_SUITE_P(
    Streams, CoeffBadStreams,
    testing::Values(
        BadStream{"Empty", {}, {}, Truncated},
        BadStream{"BandCountAboveExpected", {2, 1, 1, 0, 0, 1, 0}, {4}, InconsistentLength},
        BadStream{"BandCountBelowExpected", {0, 0, 0, 1, 0}, {0}, InconsistentLength},
        BadStream{"CountCheckedBeforeLength", {3}, {1}, InconsistentLength},
        BadStream{"OnlyTheCount", {1}, {1}, Truncated},
        BadStream{"NotLongerThanTheCount", {3, 1, 1}, {1, 1, 1}, Truncated},
        BadStream{"WidthSeventeen", {2, 1, 17, 0, 0, 1, 0}, {1, 1}, InconsistentLength},
        BadStream{"WidthCheckedBeforeCodedLength", {1, 200}, {0}, InconsistentLength},
        BadStream{"ThreeCodedBytes", {1, 1, 0, 0, 1}, {0}, Truncated},
        BadStream{"ThreeCodedBytesNoBands", {0, 0, 0, 1}, {}, Truncated},
        BadStream{"WordsMissing", {1, 1, 0, 0, 1, 0}, {1000}, Truncated}),
    [](const auto& info) { return info.param.name; });

TEST(CoeffModel, EveryTruncationOfValidStreamsIsReportedAsTheLiteralDecoderDoes) {
    std::mt19937 rng(99);
    for (int round = 0; round < 30; ++round) {
        const Bands bands = random_bands(rng, 1 + rng() % 6, 300);
        const Bytes stream = encode(bands);
        const auto lengths = lengths_of(bands);
        bool decoded_before = false;
        for (size_t cut = 0; cut <= stream.size(); ++cut) {
            const std::span<const uint8_t> prefix(stream.data(), cut);
            expect_decoders_agree(prefix, lengths);
            const auto decoded = decode_coeffs(prefix, lengths);
            // Once a prefix holds every word the decoder needs, longer ones
            // decode the same; shorter ones are truncated.
            if (decoded_before) {
                ASSERT_TRUE(decoded) << cut;
            }
            if (decoded) {
                ASSERT_EQ(*decoded, bands);
                decoded_before = true;
            } else {
                ASSERT_EQ(decoded.error(), Truncated) << cut;
            }
        }
        ASSERT_TRUE(decoded_before);
    }
}

TEST(CoeffModel, RandomGarbageDecodesAsTheLiteralDecoderDoes) {
    std::mt19937 rng(31337);
    for (int round = 0; round < 3000; ++round) {
        const size_t n = rng() % 5;
        Bytes stream(rng() % 80);
        for (auto& b : stream) b = static_cast<uint8_t>(rng());
        if (!stream.empty()) stream[0] = static_cast<uint8_t>(n);
        // widths mostly valid so that decoding gets going
        for (size_t i = 1; i <= n && i < stream.size(); ++i)
            if (rng() % 8) stream[i] %= 17;
        std::vector<size_t> lengths(n);
        for (auto& len : lengths) len = rng() % 3000;
        expect_decoders_agree(stream, lengths);
    }
}

// A few dozen bytes claiming bands of a billion coefficients each must fail
// as truncated without the decoder first setting aside the claimed room.
TEST(CoeffModel, HugeClaimedLengthsFromATinyStreamFailWithoutHugeAllocations) {
    Bytes stream{11};
    for (int i = 0; i < 11; ++i) stream.push_back(16);
    for (int i = 0; i < 48; ++i) stream.push_back(static_cast<uint8_t>(0x5A + 13 * i));
    const std::vector<size_t> lengths(11, size_t{1} << 30);
    const auto decoded = decode_coeffs(stream, lengths);
    ASSERT_FALSE(decoded);
    EXPECT_EQ(decoded.error(), Truncated);
}

// The reservation cap relies on an upper bound on how many decisions a coded
// stream can yield; the most compressible content (a run of zeros, each
// coded at probability 4081/4096) must stay under it.
TEST(CoeffModel, TheLongestZeroRunAStreamCanHoldIsWithinTheDecisionBound) {
    for (size_t len : {size_t{1000}, size_t{100000}, size_t{2000000}}) {
        const Bands bands{std::vector<int16_t>(len, 0)};
        const Bytes stream = encode(bands);
        EXPECT_LE(len, rans::max_decisions(stream.size() - 2)) << len;
    }
}

}  // namespace
}  // namespace corvane
