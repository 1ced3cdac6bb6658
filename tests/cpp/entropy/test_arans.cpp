#include "src/entropy/arans.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string_view>
#include <vector>

#include "tests/cpp/entropy/coder_reference.hpp"

namespace corvane {
namespace {

using Bytes = std::vector<uint8_t>;
using enum RansStreamError;

using ref::random_bytes;

void expect_decoders_agree(std::span<const uint8_t> stream) {
    const auto fast = decode_stream(stream);
    const auto [ref_error, ref_bytes] = ref::decode_stream(stream);
    ASSERT_EQ(fast.has_value(), !ref_error.has_value());
    if (fast) {
        EXPECT_EQ(*fast, ref_bytes);
    } else {
        EXPECT_EQ(static_cast<int>(fast.error()), static_cast<int>(*ref_error));
    }
}

Bytes varint(uint64_t v) {
    Bytes out;
    ref::put_varint(out, v);
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(RansStreamErrorText, DescribesEachVariant) {
    EXPECT_EQ(describe(Truncated), "Stream truncated");
    EXPECT_EQ(describe(InconsistentOrOversized), "Inconsistent or oversized length in stream");
}

TEST(RansStream, ShortInputsAreStoredAsTheyAre) {
    const Bytes five{0xF0, 0xF1, 0xF2, 0xF3, 0xF4};
    for (size_t n = 0; n <= 5; ++n) {
        const Bytes input(five.begin(), five.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_EQ(encode_stream(input), input);
        const auto decoded = decode_stream(input);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(*decoded, input);
    }
}

TEST(RansStream, SixLettersCodeToTheirKnownBytes) {
    const std::string_view text = "abcdef";
    const Bytes input(text.begin(), text.end());
    const Bytes expected{0x00, 0x03, 0x03, 0x06, 0xe6, 0x34, 0xcc, 0x00,
                         0x00, 0x31, 0x01, 0x37, 0xba, 0x00, 0x80, 0x37};
    EXPECT_EQ(encode_stream(input), expected);
    const auto decoded = decode_stream(expected);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, input);
}

TEST(RansStream, FullByteContextStartsAt16384Bytes) {
    std::mt19937 rng(3);
    for (size_t n : {size_t{16383}, size_t{16384}}) {
        const Bytes input = random_bytes(rng, n);
        const Bytes stream = encode_stream(input);
        EXPECT_EQ(stream[1], n < 16384 ? 3 : 8);
        ASSERT_EQ(stream, ref::encode_stream(input));
        const auto decoded = decode_stream(stream);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(*decoded, input);
    }
}

TEST(RansStream, OddInputsKeepTheirLastByteRawAtTheEnd) {
    const Bytes input{1, 2, 3, 4, 5, 6, 0xAB};
    const Bytes stream = encode_stream(input);
    EXPECT_EQ(stream[0], 1);
    EXPECT_EQ(stream.back(), 0xAB);
    const auto decoded = decode_stream(stream);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, input);
}

TEST(RansStream, RandomInputsMatchTheLiteralCoderAndRoundTrip) {
    std::mt19937 rng(77);
    std::vector<size_t> sizes{6, 7, 8, 9, 255, 256, 257, 1000, 1001, 16385, 100000, 100001, 123457};
    for (int i = 0; i < 60; ++i) sizes.push_back(6 + rng() % 5000);
    for (size_t n : sizes) {
        const Bytes input = random_bytes(rng, n);
        const Bytes stream = encode_stream(input);
        ASSERT_EQ(stream, ref::encode_stream(input)) << n;
        const auto decoded = decode_stream(stream);
        ASSERT_TRUE(decoded) << n;
        ASSERT_EQ(*decoded, input) << n;
    }
}

TEST(RansStream, ConstantAndNoiseInputsRoundTrip) {
    std::mt19937 rng(8);
    Bytes noise(70001);
    for (auto& b : noise) b = static_cast<uint8_t>(rng());
    for (const Bytes& input : {Bytes(200000, 0), Bytes(99999, 0xFF), noise}) {
        const Bytes stream = encode_stream(input);
        const auto decoded = decode_stream(stream);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(*decoded, input);
    }
}

TEST(RansStream, LargeCountsAndPlaneLengthsTakeLongerVarints) {
    std::mt19937 rng(4);
    const Bytes input = random_bytes(rng, 400);  // P = 200, plane A well over 128 bytes
    const Bytes stream = encode_stream(input);
    size_t pos = 2;
    const auto pairs = rv(stream, pos);
    ASSERT_TRUE(pairs);
    EXPECT_EQ(*pairs, 200u);
    EXPECT_EQ(pos, 4u);
    const auto len_a = rv(stream, pos);
    ASSERT_TRUE(len_a);
    EXPECT_GE(*len_a, 128u);
    EXPECT_EQ(pos, 6u);
}

TEST(RansStream, ZeroPairsDecodeWithoutReadingPlanes) {
    // odd flag, k, P = 0, L_A = 0, four arbitrary bytes
    const Bytes even{0, 3, 0, 0, 9, 9, 9, 9};
    const auto decoded = decode_stream(even);
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->empty());

    const Bytes odd{1, 3, 0, 2, 9, 9, 0x42};
    const auto tail = decode_stream(odd);
    ASSERT_TRUE(tail);
    EXPECT_EQ(*tail, Bytes{0x42});
}

TEST(Varint, ReadsLittleEndianGroupsOfSevenBits) {
    struct Case {
        Bytes bytes;
        uint64_t value;
        size_t end;
    };
    const std::vector<Case> cases{
        {{0x00}, 0, 1},
        {{0x7F, 0xAA}, 127, 1},
        {{0x80, 0x01}, 128, 2},
        {{0xE5, 0x8E, 0x26}, 624485, 3},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, 0xFFFFFFFFu, 5},
        // ten bytes: only bit 0 of the last one counts, as bit 63
        {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, uint64_t{1} << 63, 10},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7E}, ~uint64_t{0} >> 1, 10},
    };
    for (const auto& c : cases) {
        size_t pos = 0;
        const auto value = rv(c.bytes, pos);
        ASSERT_TRUE(value);
        EXPECT_EQ(*value, c.value);
        EXPECT_EQ(pos, c.end);
    }
}

TEST(Varint, RejectsRunningPastTheEndAndAnEleventhByte) {
    size_t pos = 0;
    EXPECT_EQ(rv(Bytes{}, pos).error(), Truncated);
    pos = 1;
    EXPECT_EQ(rv(Bytes{0x05}, pos).error(), Truncated);
    pos = 0;
    EXPECT_EQ(rv(Bytes{0x80, 0xFF}, pos).error(), Truncated);
    pos = 0;
    EXPECT_EQ(rv(Bytes(10, 0x80), pos).error(), InconsistentOrOversized);
    pos = 0;
    EXPECT_EQ(rv(Bytes(9, 0x80), pos).error(), Truncated);
}

TEST(BytePlane, EveryContextWidthRoundTrips) {
    std::mt19937 rng(12);
    for (unsigned k = 0; k <= 8; ++k) {
        const Bytes plane = random_bytes(rng, 3000 + k);
        const Bytes coded = encode_plane(plane, k);
        ASSERT_EQ(coded, ref::encode_plane(plane, k)) << k;
        const auto decoded = decode_plane(coded, plane.size(), k);
        ASSERT_TRUE(decoded) << k;
        EXPECT_EQ(*decoded, plane) << k;
    }
}

TEST(BytePlane, EmptyAndShortInputs) {
    EXPECT_TRUE(encode_plane({}, 3).empty());
    const auto nothing = decode_plane({}, 0, 3);
    ASSERT_TRUE(nothing);
    EXPECT_TRUE(nothing->empty());
    EXPECT_EQ(decode_plane(Bytes{1, 2, 3}, 1, 3).error(), Truncated);
    EXPECT_EQ(decode_plane(Bytes{0, 0, 1, 0}, 1, 9).error(), InconsistentOrOversized);
}

struct BadStream {
    const char* name;
    Bytes stream;
    RansStreamError error;
};

class RansBadStreams : public testing::TestWithParam<BadStream> {};

TEST_P(RansBadStreams, GiveTheirError) {
    const auto& [name, stream, error] = GetParam();
    const auto decoded = decode_stream(stream);
    ASSERT_FALSE(decoded);
    EXPECT_EQ(decoded.error(), error);
    expect_decoders_agree(stream);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, RansBadStreams,
    testing::Values(
        BadStream{"ContextBitsNine", {0, 9, 3, 6, 0, 0, 0, 0}, InconsistentOrOversized},
        BadStream{"PairCountRunsPastTheEnd", {0, 3, 0x80, 0x80, 0x80, 0x80}, Truncated},
        BadStream{"PlaneLengthRunsPastTheEnd", {0, 3, 0x01, 0x80, 0x80, 0x80}, Truncated},
        BadStream{"PairCountOfElevenBytes", concat({{0, 3}, Bytes(10, 0x80), {0}}),
                  InconsistentOrOversized},
        BadStream{"PlaneLengthOfElevenBytes", concat({{0, 3, 1}, Bytes(10, 0xFF)}),
                  InconsistentOrOversized},
        BadStream{"PairCountAbove2To28", concat({{0, 3}, varint((1u << 28) + 1), {0, 0, 0}}),
                  InconsistentOrOversized},
        BadStream{"PairCountOf2To28IsAcceptedThenTruncated",
                  concat({{0, 3}, varint(1u << 28), {4, 0, 0, 1, 0, 0, 0, 1, 0}}), Truncated},
        BadStream{"PlaneLengthPastTheEnd", {0, 3, 3, 20, 0, 0, 1, 0, 0, 0, 1, 0}, Truncated},
        BadStream{"PlaneLengthPastTheTail", {1, 3, 3, 9, 0, 0, 1, 0, 0, 0, 1, 0, 7}, Truncated},
        BadStream{"PlaneEndOverflows32Bits", concat({{0, 3, 3}, varint(0xFFFFFFFFu), {0, 0}}),
                  InconsistentOrOversized},
        BadStream{"PlaneAShorterThanFourBytes", {0, 3, 3, 3, 0, 0, 1, 0, 0, 1, 0}, Truncated},
        // the six-letter stream with plane B cut to three bytes
        BadStream{"PlaneBShorterThanFourBytes",
                  {0x00, 0x03, 0x03, 0x06, 0xe6, 0x34, 0xcc, 0x00, 0x00, 0x31, 0x01, 0x37, 0xba},
                  Truncated}),
    [](const auto& info) { return info.param.name; });

TEST(RansStream, OnlyTheLow32BitsOfCountsAndLengthsAreUsed) {
    // P = 2^32 + 1 counts as 1, L_A = 2^32 + 4 as 4
    const Bytes input{'x', 'y', 'z', 'w', 'v', 'u'};
    const Bytes good = encode_stream(input);
    size_t pos = 2;
    const uint64_t pairs = *rv(good, pos);
    const uint64_t len_a = *rv(good, pos);
    const Bytes body(good.begin() + static_cast<std::ptrdiff_t>(pos), good.end());
    const Bytes padded = concat({{0, 3}, varint(pairs + (uint64_t{1} << 32)),
                                 varint(len_a + (uint64_t{1} << 32)), body});
    const auto decoded = decode_stream(padded);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, input);
}

TEST(RansStream, EveryTruncationOfValidStreamsIsReportedAsTheLiteralDecoderDoes) {
    std::mt19937 rng(5);
    for (size_t n : {size_t{6}, size_t{7}, size_t{40}, size_t{41}, size_t{700}, size_t{1501}}) {
        const Bytes input = random_bytes(rng, n);
        const Bytes stream = encode_stream(input);
        for (size_t cut = 0; cut < stream.size(); ++cut) {
            const std::span<const uint8_t> prefix(stream.data(), cut);
            expect_decoders_agree(prefix);
            const auto decoded = decode_stream(prefix);
            if (cut <= 5) continue;  // read as a raw stream
            // The decoder reads every word the encoder wrote, and a cut always
            // takes bytes from plane B (the tail's place shifts into it).
            ASSERT_FALSE(decoded) << "cut " << cut;
            EXPECT_EQ(decoded.error(), Truncated) << "cut " << cut;
        }
    }
}

TEST(RansStream, RandomGarbageDecodesAsTheLiteralDecoderDoes) {
    std::mt19937 rng(4242);
    for (int round = 0; round < 5000; ++round) {
        Bytes stream(rng() % 120);
        for (auto& b : stream) b = static_cast<uint8_t>(rng());
        if (stream.size() > 3) {
            // keep the header plausible most of the time so planes get decoded
            if (rng() % 4) stream[1] %= 9;
            if (rng() % 4) stream[2] &= 0x7F;
            if (rng() % 4) stream[3] = static_cast<uint8_t>(rng() % stream.size());
        }
        expect_decoders_agree(stream);
    }
}

// Forty bytes that claim 2^28 pairs must fail as truncated without the
// decoder first setting aside room for the claimed planes.
TEST(RansStream, AHugeClaimedPairCountFromATinyStreamFailsAsTruncated) {
    Bytes stream = concat({{0, 8}, varint(1u << 28), {16}});
    for (int i = 0; i < 36; ++i) stream.push_back(static_cast<uint8_t>(0x33 * i + 1));
    const auto decoded = decode_stream(stream);
    ASSERT_FALSE(decoded);
    EXPECT_EQ(decoded.error(), Truncated);
}

}  // namespace
}  // namespace corvane
