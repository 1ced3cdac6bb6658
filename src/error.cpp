#include "src/error.hpp"

#include <utility>

namespace corvane {

namespace {

// Strict UTF-8 validation: shortest forms only, no surrogates, nothing above
// U+10FFFF.
bool is_valid_utf8(const std::uint8_t* s, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        const std::uint8_t c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len = 0;
        std::uint8_t lo = 0x80;
        std::uint8_t hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (n - i < len) return false;
        if (s[i + 1] < lo || s[i + 1] > hi) return false;
        for (std::size_t k = 2; k < len; ++k) {
            if (s[i + k] < 0x80 || s[i + k] > 0xBF) return false;
        }
        i += len;
    }
    return true;
}

template <std::size_t N>
std::string text_of(const std::array<std::uint8_t, N>& bytes, const char* replacement) {
    return utf8_or(bytes.data(), N, replacement);
}

}  // namespace

std::string utf8_or(const std::uint8_t* bytes, std::size_t count, const char* replacement) {
    if (!is_valid_utf8(bytes, count)) return replacement;
    return std::string(reinterpret_cast<const char*>(bytes), count);
}

template <CorvaneError::Tag T, class... Value>
CorvaneError CorvaneError::make(Value&&... value) {
    constexpr auto index = static_cast<std::size_t>(T);
    return CorvaneError(Payload(std::in_place_index<index>,
                                std::variant_alternative_t<index, Payload>{std::forward<Value>(value)...}));
}

CorvaneError CorvaneError::invalid_method(std::array<std::uint8_t, 4> code) { return make<Tag::InvalidMethod>(code); }
CorvaneError CorvaneError::invalid_magic(std::array<std::uint8_t, 4> magic) { return make<Tag::InvalidMagic>(magic); }
CorvaneError CorvaneError::invalid_format_tag(std::array<std::uint8_t, 2> tag) {
    return make<Tag::InvalidFormatTag>(tag);
}
CorvaneError CorvaneError::invalid_version(std::array<std::uint8_t, 2> version) {
    return make<Tag::InvalidVersion>(version);
}
CorvaneError CorvaneError::wavelet(std::string message) { return make<Tag::Wavelet>(std::move(message)); }
CorvaneError CorvaneError::io(std::string message) { return make<Tag::Io>(std::move(message)); }
CorvaneError CorvaneError::out_of_memory(std::size_t additional) { return make<Tag::OutOfMemory>(additional); }
CorvaneError CorvaneError::invalid_header() { return make<Tag::InvalidHeader>(); }
CorvaneError CorvaneError::unsupported_configuration(std::string message) {
    return make<Tag::UnsupportedConfiguration>(std::move(message));
}
CorvaneError CorvaneError::decompress(std::string reason) { return make<Tag::Decompress>(std::move(reason)); }
CorvaneError CorvaneError::unsupported_scale(std::uint8_t scale) { return make<Tag::UnsupportedScale>(scale); }
CorvaneError CorvaneError::unknown_coder(std::uint8_t coder) { return make<Tag::UnknownCoder>(coder); }

std::string CorvaneError::message() const {
    switch (tag()) {
        case Tag::InvalidMethod:
            return "Invalid compression method '" + text_of(std::get<0>(payload_).value, "????") + "'";
        case Tag::InvalidMagic:
            return "Magic should be 'CRVN' but it was '" + text_of(std::get<1>(payload_).value, "????") +
                   "'";
        case Tag::InvalidFormatTag:
            // Same wording as an unknown method code: both say the stream is
            // not one of ours.
            return "Invalid compression method '" + text_of(std::get<2>(payload_).value, "??") + "'";
        case Tag::InvalidVersion:
            return "Invalid header version '" + text_of(std::get<3>(payload_).value, "??") + "'";
        case Tag::Wavelet:
            return std::get<4>(payload_).value;
        case Tag::Io:
            return std::get<5>(payload_).value;
        case Tag::OutOfMemory:
            return "Out of memory, can't allocate additional " + std::to_string(std::get<6>(payload_).value);
        case Tag::InvalidHeader:
            return "Header is invalid";
        case Tag::UnsupportedConfiguration:
            return "Unsupported compression configuration '" + std::get<8>(payload_).value + "'";
        case Tag::Decompress:
            return "Can't decompress data, reason: " + std::get<9>(payload_).value;
        case Tag::UnsupportedScale:
            return "Only scaled 6..12 is supported, but it was " +
                   std::to_string(unsigned{std::get<10>(payload_).value});
        case Tag::UnknownCoder:
            return "Unknown entropy coder " + std::to_string(unsigned{std::get<11>(payload_).value});
    }
    return {};
}

}  // namespace corvane
