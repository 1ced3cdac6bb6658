#include <gtest/gtest.h>

#include "src/error.hpp"
#include "tests/cpp/case_name.hpp"

namespace corvane {
namespace {

using Tag = CorvaneError::Tag;

struct Rendered {
    CorvaneError error;
    Tag tag;
    std::string text;
};

class ErrorRendering : public ::testing::TestWithParam<Rendered> {};

TEST_P(ErrorRendering, RendersItsOneLineMessage) {
    const Rendered& r = GetParam();
    EXPECT_EQ(r.error.tag(), r.tag);
    EXPECT_EQ(r.error.message(), r.text);
}

INSTANTIATE_TEST_SUITE_P(
    EveryVariant, ErrorRendering,
    ::testing::Values(
        Rendered{CorvaneError::invalid_method({'c', 'f', '1', '1'}), Tag::InvalidMethod,
                 "Invalid compression method 'cf11'"},
        Rendered{CorvaneError::invalid_magic({'A', 'B', 'C', 'D'}), Tag::InvalidMagic,
                 "Magic should be 'CRVN' but it was 'ABCD'"},
        Rendered{CorvaneError::invalid_magic({0xFF, 0xFF, 0xFF, 0xFF}), Tag::InvalidMagic,
                 "Magic should be 'CRVN' but it was '????'"},
        Rendered{CorvaneError::invalid_format_tag({'x', '3'}), Tag::InvalidFormatTag,
                 "Invalid compression method 'x3'"},
        Rendered{CorvaneError::invalid_format_tag({0xC3, 0x28}), Tag::InvalidFormatTag,
                 "Invalid compression method '??'"},
        Rendered{CorvaneError::invalid_version({0x03, 0x02}), Tag::InvalidVersion,
                 std::string("Invalid header version '\x03\x02'")},
        Rendered{CorvaneError::invalid_version({0x00, 0x00}), Tag::InvalidVersion,
                 std::string("Invalid header version '\0\0'", 27)},
        Rendered{CorvaneError::invalid_version({0x80, 0x41}), Tag::InvalidVersion, "Invalid header version '??'"},
        Rendered{CorvaneError::wavelet("Buffer was too small for provided level"), Tag::Wavelet,
                 "Buffer was too small for provided level"},
        Rendered{CorvaneError::io("disk on fire"), Tag::Io, "disk on fire"},
        Rendered{CorvaneError::out_of_memory(1000), Tag::OutOfMemory, "Out of memory, can't allocate additional 1000"},
        Rendered{CorvaneError::invalid_header(), Tag::InvalidHeader, "Header is invalid"},
        Rendered{CorvaneError::unsupported_configuration("Can't compress empty data"), Tag::UnsupportedConfiguration,
                 "Unsupported compression configuration 'Can't compress empty data'"},
        Rendered{CorvaneError::decompress("Stream truncated"), Tag::Decompress,
                 "Can't decompress data, reason: Stream truncated"},
        Rendered{CorvaneError::unsupported_scale(13), Tag::UnsupportedScale,
                 "Only scaled 6..12 is supported, but it was 13"},
        Rendered{CorvaneError::unknown_coder(7), Tag::UnknownCoder, "Unknown entropy coder 7"}),
    [](const auto& info) { return testing_support::case_name(info.param.text); });

TEST(ErrorTags, FollowTheDeclarationOrder) {
    EXPECT_EQ(static_cast<int>(CorvaneError::invalid_method({}).tag()), 0);
    EXPECT_EQ(static_cast<int>(CorvaneError::unknown_coder(0).tag()), 11);
    EXPECT_EQ(static_cast<int>(CorvaneError::invalid_header().tag()), 7);
}

TEST(RawBytesAsText, AcceptOnlyWellFormedUtf8AsAWhole) {
    // A complete two-byte sequence is text; a lone lead or continuation byte,
    // an overlong form and an encoded surrogate are not.
    const std::uint8_t e_acute[4] = {'a', 0xC3, 0xA9, 'b'};
    EXPECT_EQ(utf8_or(e_acute, 4, "????"), "a\xC3\xA9" "b");
    const std::uint8_t cut[4] = {'a', 'b', 'c', 0xC3};
    EXPECT_EQ(utf8_or(cut, 4, "????"), "????");
    const std::uint8_t overlong[2] = {0xC0, 0x80};
    EXPECT_EQ(utf8_or(overlong, 2, "??"), "??");
    const std::uint8_t surrogate[4] = {0xED, 0xA0, 0x80, 'x'};
    EXPECT_EQ(utf8_or(surrogate, 4, "????"), "????");
    const std::uint8_t four_byte[4] = {0xF0, 0x9F, 0x98, 0x80};
    EXPECT_EQ(utf8_or(four_byte, 4, "????"), "\xF0\x9F\x98\x80");
    const std::uint8_t too_high[4] = {0xF4, 0x90, 0x80, 0x80};
    EXPECT_EQ(utf8_or(too_high, 4, "????"), "????");
}

}  // namespace
}  // namespace corvane
