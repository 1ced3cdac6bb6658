// Compression of arbitrary samples with arbitrary options, then decompression.
// Input: byte 0 method (bits 0-1), cutoff (bits 2-3, mod 3), coder (bits 4-5);
// byte 1 scale (6 + byte % 7); byte 2 bit 0 set: a 32-bit quantisation
// multiplier follows; the rest are the float samples, any bit patterns.
// Compression may refuse (empty input, a range beyond single precision); a
// stream it writes must decode to exactly as many samples, and to finite ones
// when the samples and the multiplier are moderate.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "fuzz_common.hpp"
#include "src/codec/compressor.hpp"
#include "src/codec/forward.hpp"
#include "src/entropy/payload.hpp"
#include "src/format/bands.hpp"
#include "src/format/quantiser.hpp"
#include "src/codec/decompressor.hpp"
#include "src/format/header.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace corvane;
    fuzz::Cursor in(data, size);
    const std::uint8_t b0 = in.byte();
    CompressionConfig config;
    config.method = static_cast<Method>(b0 & 3);
    config.cutoff = static_cast<Cutoff>(((b0 >> 2) & 3) % 3);
    config.coder = static_cast<Coder>((b0 >> 4) & 3);
    config.scale = static_cast<std::uint8_t>(6 + in.byte() % 7);
    std::optional<float> multiplier;
    if (in.byte() & 1) {
        const float m = std::bit_cast<float>(in.u32());
        // The options class only ever passes positive finite multipliers.
        if (std::isfinite(m) && m > 0.0f) multiplier = m;
    }
    config.quant_multiplier = multiplier;

    const auto rest = in.rest();
    std::vector<float> samples(rest.size() / 4);
    if (!samples.empty()) std::memcpy(samples.data(), rest.data(), samples.size() * 4);

    const auto stream = compress(samples, config);
    if (!stream) {
        fuzz::check(!stream.error().message().empty(), "an error without a message");
        return 0;
    }
    fuzz::check(!samples.empty(), "compressed an empty signal");
    const auto header = CorvaneHeader::from_bytes(*stream);
    fuzz::check(header.has_value(), "the compressor wrote a header that does not parse");
    fuzz::check(header->sample_count == samples.size(), "the header's count differs from the signal's");
    fuzz::check(header->payload_len + kHeaderSize == stream->size(), "the header's payload length is wrong");
    if (config.coder != Coder::Auto) {
        fuzz::check(header->coder == static_cast<std::uint8_t>(config.coder), "the header names another coder");
    }

    const auto decoded = decompress(*stream);
    fuzz::check(decoded.has_value(), "a stream the compressor wrote fails to decode");
    fuzz::check(decoded->size() == samples.size(), "decoded length differs from the signal's");

    bool moderate = !multiplier || (*multiplier >= 1.0f && *multiplier <= 65536.0f);
    for (const float x : samples) moderate = moderate && (!std::isfinite(x) || std::fabs(x) <= 1e30f);
    if (moderate) {
        for (const float y : *decoded) fuzz::check(std::isfinite(y), "a moderate signal decoded to a non-finite sample");
    }
    return 0;
}
