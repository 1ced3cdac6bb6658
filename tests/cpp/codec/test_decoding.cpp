// Decoding whole streams: declared sizes checked in order, payloads that do
// not fit, trailing and odd bytes, corrupt coder data, and multipliers a
// stream cannot be dequantised with.
#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <vector>

#include "src/entropy/arans.hpp"
#include "src/format/header.hpp"
#include "tests/cpp/codec/streams.hpp"

namespace corvane {
namespace {

using namespace stream_tests;


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
