#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "src/format/header.hpp"

namespace corvane {
namespace {

std::vector<std::uint8_t> valid_header_bytes() {
    const auto h = CorvaneHeader::for_stream(Method::Cdf97, 6, 11, 2, 1000, -1.5f, 2.5f, 0.25f, 0, 2048.0f);
    const auto bytes = h.to_bytes();
    return {bytes.begin(), bytes.end()};
}

void put_f32(std::vector<std::uint8_t>& b, std::size_t at, float v) {
    const auto bits = std::bit_cast<std::uint32_t>(v);
    for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(bits >> (8 * i));
}

std::string parse_error(const std::vector<std::uint8_t>& b) {
    auto r = CorvaneHeader::from_bytes(b);
    return r ? std::string("<parsed>") : r.error().message();
}

TEST(HeaderWriter, LaysOutTheDefaultThousandSampleStream) {
    const auto h = CorvaneHeader::for_stream(Method::Cdf97, 6, 11, 2, 1000, 0.0f, 1.0f, 0.5f, 77, 2048.0f);
    const auto b = h.to_bytes();
    const std::uint8_t expected_start[20] = {0x43, 0x52, 0x56, 0x4E, 0x01, 0x02, 0x66, 0x33, 0x63, 0x66,
                                             0x39, 0x37, 0x06, 0x0B, 0x02, 0x00, 0xE8, 0x03, 0x00, 0x00};
    for (std::size_t i = 0; i < 20; ++i) EXPECT_EQ(b[i], expected_start[i]) << "byte " << i;
    EXPECT_EQ(b[32], 77);
    EXPECT_EQ(b[36], 0x00);
    EXPECT_EQ(b[37], 0x00);
    EXPECT_EQ(b[38], 0x00);
    EXPECT_EQ(b[39], 0x45);
    for (std::size_t i = 40; i < 52; ++i) EXPECT_EQ(b[i], 0) << "reserved byte " << i;
}

TEST(HeaderWriter, WritesEachMethodCode) {
    const std::pair<Method, const char*> cases[] = {
        {Method::Cdf53, "cf53"}, {Method::Cdf97, "cf97"}, {Method::Db4, "db04"}, {Method::Sym4, "sym4"}};
    for (const auto& [method, code] : cases) {
        const auto b = CorvaneHeader::for_stream(method, 1, 6, 0, 1, 0, 0, 0, 0, 64.0f).to_bytes();
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.data()) + 8, 4), code);
        Method back{};
        ASSERT_TRUE(method_from_code(method_code_of(method), back));
        EXPECT_EQ(back, method);
    }
}

TEST(HeaderParser, NeedsFiftyTwoBytes) {
    auto b = valid_header_bytes();
    EXPECT_TRUE(CorvaneHeader::from_bytes(b).has_value());
    b.pop_back();
    EXPECT_EQ(parse_error(b), "Header is invalid");
    EXPECT_EQ(parse_error({}), "Header is invalid");
}

TEST(HeaderParser, KeepsEveryFieldAsRead) {
    auto b = valid_header_bytes();
    b[5] = 9;     // minor version is not checked
    b[15] = 0xAB;  // reserved byte
    b[40] = 1;
    b[47] = 0x80;
    b[51] = 0xFF;
    put_f32(b, 36, std::numeric_limits<float>::quiet_NaN());  // the multiplier is not checked here
    b.insert(b.end(), {1, 2, 3});                              // payload bytes are not looked at
    auto r = CorvaneHeader::from_bytes(b);
    ASSERT_TRUE(r.has_value()) << r.error().message();
    EXPECT_EQ(r->version[1], 9);
    EXPECT_EQ(r->reserved_byte, 0xAB);
    EXPECT_EQ(r->reserved_words[0], 1u);
    EXPECT_EQ(r->reserved_words[1], 0x80000000u);
    EXPECT_EQ(r->reserved_words[2], 0xFF000000u);
    EXPECT_TRUE(std::isnan(r->multiplier));
    EXPECT_EQ(r->levels, 6);
    EXPECT_EQ(r->scale, 11);
    EXPECT_EQ(r->coder, 2);
    EXPECT_EQ(r->sample_count, 1000u);
    EXPECT_EQ(r->min, -1.5f);
    EXPECT_EQ(r->max, 2.5f);
    EXPECT_EQ(r->mean, 0.25f);
    // Writing the parsed header back reproduces the bytes it came from.
    const auto again = r->to_bytes();
    EXPECT_TRUE(std::equal(again.begin(), again.end(), b.begin()));
}

TEST(HeaderParser, AcceptsZeroMultiplierAndExtremeLevels) {
    auto b = valid_header_bytes();
    put_f32(b, 36, 0.0f);
    b[12] = 255;
    EXPECT_TRUE(CorvaneHeader::from_bytes(b).has_value());
}

struct Fault {
    const char* name;
    void (*apply)(std::vector<std::uint8_t>&);
    std::string message;
};

class HeaderFaults : public ::testing::TestWithParam<Fault> {};

TEST_P(HeaderFaults, ReportsTheFault) {
    auto b = valid_header_bytes();
    GetParam().apply(b);
    EXPECT_EQ(parse_error(b), GetParam().message);
}

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    InCheckOrder, HeaderFaults,
    ::testing::Values(
        Fault{"magic", [](auto& b) { b[0] = 'A', b[1] = 'B', b[2] = 'C', b[3] = 'D'; },
              "Magic should be 'CRVN' but it was 'ABCD'"},
        Fault{"magic_binary", [](auto& b) { b[0] = b[1] = b[2] = b[3] = 0xFF; },
              "Magic should be 'CRVN' but it was '????'"},
        Fault{"version", [](auto& b) { b[4] = 3; }, std::string("Invalid header version '\x03\x02'")},
        Fault{"format_tag", [](auto& b) { b[6] = 'x'; }, "Invalid compression method 'x3'"},
        Fault{"method", [](auto& b) { b[8] = 'C'; }, "Invalid compression method 'Cf97'"},
        Fault{"scale_5", [](auto& b) { b[13] = 5; }, "Only scaled 6..12 is supported, but it was 5"},
        Fault{"scale_13", [](auto& b) { b[13] = 13; }, "Only scaled 6..12 is supported, but it was 13"},
        Fault{"coder_3", [](auto& b) { b[14] = 3; }, "Unknown entropy coder 3"},
        Fault{"min_nan", [](auto& b) { put_f32(b, 20, kNaN); }, "Header is invalid"},
        Fault{"max_inf", [](auto& b) { put_f32(b, 24, kInf); }, "Header is invalid"},
        Fault{"mean_neg_inf", [](auto& b) { put_f32(b, 28, -kInf); }, "Header is invalid"},
        // Several faults at once: the earliest check wins.
        Fault{"magic_and_version", [](auto& b) { b[0] = 'X', b[4] = 0; }, "Magic should be 'CRVN' but it was 'XRVN'"},
        Fault{"version_and_tag", [](auto& b) { b[4] = '2', b[5] = '!', b[6] = 0; }, "Invalid header version '2!'"},
        Fault{"tag_and_method", [](auto& b) { b[7] = '4', b[8] = 0; }, "Invalid compression method 'f4'"},
        Fault{"method_and_scale", [](auto& b) { b[11] = '8', b[13] = 0; }, "Invalid compression method 'cf98'"},
        Fault{"scale_and_coder", [](auto& b) { b[13] = 200, b[14] = 9; }, "Only scaled 6..12 is supported, but it was 200"},
        Fault{"coder_and_min", [](auto& b) { b[14] = 3, put_f32(b, 20, kNaN); }, "Unknown entropy coder 3"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HeaderParser, AcceptsTheScaleAndCoderBounds) {
    for (std::uint8_t scale : {6, 12}) {
        for (std::uint8_t coder : {0, 1, 2}) {
            auto b = valid_header_bytes();
            b[13] = scale;
            b[14] = coder;
            EXPECT_TRUE(CorvaneHeader::from_bytes(b).has_value()) << int{scale} << " " << int{coder};
        }
    }
}

}  // namespace
}  // namespace corvane
