// The codec's single error type. Variants are declared in a fixed order (the
// tag values are part of the contract) and each renders to one line of text.
// Errors of other components arrive here already rendered to text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

namespace corvane {

class CorvaneError {
public:
    enum class Tag : std::uint8_t {
        InvalidMethod = 0,
        InvalidMagic = 1,
        InvalidFormatTag = 2,
        InvalidVersion = 3,
        Wavelet = 4,
        Io = 5,
        OutOfMemory = 6,
        InvalidHeader = 7,
        UnsupportedConfiguration = 8,
        Decompress = 9,
        UnsupportedScale = 10,
        UnknownCoder = 11,
    };

    static CorvaneError invalid_method(std::array<std::uint8_t, 4> code);
    static CorvaneError invalid_magic(std::array<std::uint8_t, 4> magic);
    static CorvaneError invalid_format_tag(std::array<std::uint8_t, 2> tag);
    static CorvaneError invalid_version(std::array<std::uint8_t, 2> version);
    static CorvaneError wavelet(std::string message);
    static CorvaneError io(std::string message);
    static CorvaneError out_of_memory(std::size_t additional);
    static CorvaneError invalid_header();
    static CorvaneError unsupported_configuration(std::string message);
    static CorvaneError decompress(std::string reason);
    static CorvaneError unsupported_scale(std::uint8_t scale);
    static CorvaneError unknown_coder(std::uint8_t coder);

    Tag tag() const noexcept { return static_cast<Tag>(payload_.index()); }
    std::string message() const;

    friend bool operator==(const CorvaneError&, const CorvaneError&) = default;

private:
    template <Tag T, class P>
    struct Carrying {
        P value;
        friend bool operator==(const Carrying&, const Carrying&) = default;
    };
    struct Nothing {
        friend bool operator==(const Nothing&, const Nothing&) = default;
    };
    // Alternatives in tag order: the variant index is the tag.
    using Payload = std::variant<Carrying<Tag::InvalidMethod, std::array<std::uint8_t, 4>>,
                                 Carrying<Tag::InvalidMagic, std::array<std::uint8_t, 4>>,
                                 Carrying<Tag::InvalidFormatTag, std::array<std::uint8_t, 2>>,
                                 Carrying<Tag::InvalidVersion, std::array<std::uint8_t, 2>>,
                                 Carrying<Tag::Wavelet, std::string>,
                                 Carrying<Tag::Io, std::string>,
                                 Carrying<Tag::OutOfMemory, std::size_t>,
                                 Nothing,
                                 Carrying<Tag::UnsupportedConfiguration, std::string>,
                                 Carrying<Tag::Decompress, std::string>,
                                 Carrying<Tag::UnsupportedScale, std::uint8_t>,
                                 Carrying<Tag::UnknownCoder, std::uint8_t>>;

    explicit CorvaneError(Payload payload) : payload_(std::move(payload)) {}

    Payload payload_;
};

// Raw bytes as text: the whole sequence decoded as UTF-8, or `replacement`
// when it is not valid UTF-8 as a whole. Control characters and NUL are valid.
std::string utf8_or(const std::uint8_t* bytes, std::size_t count, const char* replacement);

}  // namespace corvane
