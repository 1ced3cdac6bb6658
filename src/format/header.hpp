// The 52-byte stream header: identification, the settings the decoder needs,
// and the normalisation statistics. Little-endian throughout; no checksum.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "corvane/expected.hpp"
#include "src/format/parameters.hpp"

namespace corvane {

struct CorvaneHeader {
    std::array<std::uint8_t, 4> magic{};
    std::array<std::uint8_t, 2> version{};  // major, minor
    std::array<std::uint8_t, 2> format_tag{};
    std::array<std::uint8_t, 4> method_code{};
    std::uint8_t levels = 0;
    std::uint8_t scale = 0;
    std::uint8_t coder = 0;
    std::uint8_t reserved_byte = 0;
    std::uint32_t sample_count = 0;
    float min = 0.0f;
    float max = 0.0f;
    float mean = 0.0f;
    std::uint32_t payload_len = 0;
    float multiplier = 0.0f;
    std::array<std::uint32_t, 3> reserved_words{};

    // Parses and validates the start of `input` (the whole stream may be
    // passed; the payload is not looked at). Every field is kept as read.
    static expected<CorvaneHeader, CorvaneError> from_bytes(std::span<const std::uint8_t> input);

    // The header the compressor writes: fixed identification, zero reserved
    // fields, and the given settings and statistics.
    static CorvaneHeader for_stream(Method method, std::uint8_t levels, std::uint8_t scale, std::uint8_t coder,
                                    std::uint32_t sample_count, float min, float max, float mean,
                                    std::uint32_t payload_len, float multiplier);

    static CorvaneHeader for_stream(const StreamParameters& p, std::uint32_t payload_len);

    // The parameters of a header from_bytes accepted, with the multiplier the
    // payload is dequantised with.
    StreamParameters parameters() const;

    // Lays the fields out as the 52 stream bytes, whatever the host's byte order.
    void write_to(std::span<std::uint8_t, kHeaderSize> out) const;
    std::array<std::uint8_t, kHeaderSize> to_bytes() const;

    friend bool operator==(const CorvaneHeader&, const CorvaneHeader&) = default;
};

// A stream's parameters and its payload, once the header has been read (as
// `header`, from the stream or a copy of its first bytes) and the payload
// found whole in the stream (bytes after it are ignored).
struct ParsedStream {
    StreamParameters params;
    std::span<const std::uint8_t> payload;
};
expected<ParsedStream, CorvaneError> locate_payload(const CorvaneHeader& header, std::span<const std::uint8_t> stream);

// The four-letter header code of a method, and the method of a code.
std::array<std::uint8_t, 4> method_code_of(Method method);
bool method_from_code(std::array<std::uint8_t, 4> code, Method& method);

}  // namespace corvane
