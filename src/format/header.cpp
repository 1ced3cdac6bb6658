#include "src/format/header.hpp"

#include <bit>
#include <cstring>
#include <string>
#include <utility>

#include "src/format/quantiser.hpp"

namespace corvane {

namespace {

constexpr std::array<std::uint8_t, 4> kMagic{'C', 'R', 'V', 'N'};
constexpr std::uint8_t kMajorVersion = 1;
constexpr std::uint8_t kMinorVersion = 2;
constexpr std::array<std::uint8_t, 2> kFormatTag{'f', '3'};
constexpr std::array<std::array<std::uint8_t, 4>, 4> kMethodCodes{{
    {'c', 'f', '5', '3'},  // Method::Cdf53
    {'c', 'f', '9', '7'},  // Method::Cdf97
    {'d', 'b', '0', '4'},  // Method::Db4
    {'s', 'y', 'm', '4'},  // Method::Sym4
}};

// Field offsets, as the header table in docs/FORMAT.md lists them.
enum Offset : std::size_t {
    kAtMagic = 0, kAtVersion = 4, kAtFormatTag = 6, kAtMethod = 8, kAtLevels = 12, kAtScale = 13, kAtCoder = 14,
    kAtReservedByte = 15, kAtSampleCount = kSampleCountOffset, kAtMin = 20, kAtMax = 24, kAtMean = 28,
    kAtPayloadLength = 32, kAtMultiplier = 36, kAtReservedWords = 40,
};
static_assert(kAtReservedWords + 12 == kHeaderSize);

std::uint32_t load_u32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

void store_u32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

template <std::size_t N>
std::array<std::uint8_t, N> load_bytes(const std::uint8_t* p) {
    std::array<std::uint8_t, N> out{};
    std::memcpy(out.data(), p, N);
    return out;
}

// Finite means neither infinity nor NaN: the exponent is not all ones.
bool is_finite_bits(std::uint32_t bits) { return (bits & 0x7FFFFFFFu) < 0x7F800000u; }

}  // namespace

std::array<std::uint8_t, 4> method_code_of(Method method) {
    return kMethodCodes[static_cast<std::size_t>(method) & 3u];
}

bool method_from_code(std::array<std::uint8_t, 4> code, Method& method) {
    for (std::size_t i = 0; i < kMethodCodes.size(); ++i) {
        if (kMethodCodes[i] == code) {
            method = static_cast<Method>(i);
            return true;
        }
    }
    return false;
}

expected<CorvaneHeader, CorvaneError> CorvaneHeader::from_bytes(std::span<const std::uint8_t> input) {
    if (input.size() < kHeaderSize) return unexpected(CorvaneError::invalid_header());
    const std::uint8_t* p = input.data();

    CorvaneHeader h;
    h.magic = load_bytes<4>(p + kAtMagic);
    if (h.magic != kMagic) return unexpected(CorvaneError::invalid_magic(h.magic));
    h.version = load_bytes<2>(p + kAtVersion);
    if (h.version[0] != kMajorVersion) return unexpected(CorvaneError::invalid_version(h.version));
    h.format_tag = load_bytes<2>(p + kAtFormatTag);
    if (h.format_tag != kFormatTag) return unexpected(CorvaneError::invalid_format_tag(h.format_tag));
    h.method_code = load_bytes<4>(p + kAtMethod);
    Method ignored{};
    if (!method_from_code(h.method_code, ignored)) return unexpected(CorvaneError::invalid_method(h.method_code));
    h.levels = p[kAtLevels];
    h.scale = p[kAtScale];
    if (auto refused = check_scale(h.scale); !refused) return unexpected(std::move(refused).error());
    h.coder = p[kAtCoder];
    if (!is_stream_coder(h.coder)) return unexpected(CorvaneError::unknown_coder(h.coder));
    h.reserved_byte = p[kAtReservedByte];
    h.sample_count = load_u32(p + kAtSampleCount);
    const std::uint32_t min_bits = load_u32(p + kAtMin);
    const std::uint32_t max_bits = load_u32(p + kAtMax);
    const std::uint32_t mean_bits = load_u32(p + kAtMean);
    if (!is_finite_bits(min_bits) || !is_finite_bits(max_bits) || !is_finite_bits(mean_bits)) {
        return unexpected(CorvaneError::invalid_header());
    }
    h.min = std::bit_cast<float>(min_bits);
    h.max = std::bit_cast<float>(max_bits);
    h.mean = std::bit_cast<float>(mean_bits);
    h.payload_len = load_u32(p + kAtPayloadLength);
    h.multiplier = std::bit_cast<float>(load_u32(p + kAtMultiplier));
    for (std::size_t i = 0; i < 3; ++i) h.reserved_words[i] = load_u32(p + kAtReservedWords + 4 * i);
    return h;
}

CorvaneHeader CorvaneHeader::for_stream(Method method, std::uint8_t levels, std::uint8_t scale, std::uint8_t coder,
                                        std::uint32_t sample_count, float min, float max, float mean,
                                        std::uint32_t payload_len, float multiplier) {
    CorvaneHeader h;
    h.magic = kMagic;
    h.version = {kMajorVersion, kMinorVersion};
    h.format_tag = kFormatTag;
    h.method_code = method_code_of(method);
    h.levels = levels;
    h.scale = scale;
    h.coder = coder;
    h.sample_count = sample_count;
    h.min = min;
    h.max = max;
    h.mean = mean;
    h.payload_len = payload_len;
    h.multiplier = multiplier;
    return h;
}

CorvaneHeader CorvaneHeader::for_stream(const StreamParameters& p, std::uint32_t payload_len) {
    return for_stream(p.method, static_cast<std::uint8_t>(p.levels), p.scale, static_cast<std::uint8_t>(p.coder),
                      p.sample_count, p.min, p.max, p.mean, payload_len, p.multiplier);
}

StreamParameters CorvaneHeader::parameters() const {
    StreamParameters p;
    method_from_code(method_code, p.method);
    p.min = min;
    p.max = max;
    p.mean = mean;
    p.multiplier = effective_multiplier(multiplier, scale);
    p.levels = levels;
    p.sample_count = sample_count;
    p.scale = scale;
    p.coder = static_cast<Coder>(coder);
    return p;
}

void CorvaneHeader::write_to(std::span<std::uint8_t, kHeaderSize> out) const {
    std::uint8_t* p = out.data();
    std::memcpy(p + kAtMagic, magic.data(), 4);
    std::memcpy(p + kAtVersion, version.data(), 2);
    std::memcpy(p + kAtFormatTag, format_tag.data(), 2);
    std::memcpy(p + kAtMethod, method_code.data(), 4);
    p[kAtLevels] = levels;
    p[kAtScale] = scale;
    p[kAtCoder] = coder;
    p[kAtReservedByte] = reserved_byte;
    store_u32(p + kAtSampleCount, sample_count);
    store_u32(p + kAtMin, std::bit_cast<std::uint32_t>(min));
    store_u32(p + kAtMax, std::bit_cast<std::uint32_t>(max));
    store_u32(p + kAtMean, std::bit_cast<std::uint32_t>(mean));
    store_u32(p + kAtPayloadLength, payload_len);
    store_u32(p + kAtMultiplier, std::bit_cast<std::uint32_t>(multiplier));
    for (std::size_t i = 0; i < 3; ++i) store_u32(p + kAtReservedWords + 4 * i, reserved_words[i]);
}

std::array<std::uint8_t, kHeaderSize> CorvaneHeader::to_bytes() const {
    std::array<std::uint8_t, kHeaderSize> out{};
    write_to(out);
    return out;
}

expected<ParsedStream, CorvaneError> locate_payload(const CorvaneHeader& h, std::span<const std::uint8_t> stream) {
    if (stream.size() - kHeaderSize < h.payload_len) {
        const std::uint64_t needed = std::uint64_t{h.payload_len} + kHeaderSize;
        return unexpected(CorvaneError::decompress("Minimum data size is " + std::to_string(needed) +
                                                   ", but it was " + std::to_string(stream.size())));
    }
    return ParsedStream{h.parameters(), stream.subspan(kHeaderSize, h.payload_len)};
}

}  // namespace corvane
