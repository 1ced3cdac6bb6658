#include "src/entropy/payload.hpp"

#include <bit>
#include <string>
#include <utility>

#include "src/entropy/arans.hpp"
#include "src/entropy/binrans.hpp"
#include "src/entropy/cmodel.hpp"
#include "src/entropy/deflate.hpp"
#include "src/format/bands.hpp"

namespace corvane {

expected<std::vector<std::uint8_t>, CorvaneError> encode_payload(std::span<const std::int16_t> values,
                                                                 std::span<const std::size_t> lengths, Coder coder,
                                                                 Scratch scratch, std::size_t front) {
    if (coder == Coder::Deflate || coder == Coder::Arans) {
        // The byte coders take the coefficients as 16-bit little-endian
        // values, which on a little-endian machine is how they lie in memory.
        std::vector<std::uint8_t> swapped;
        std::span<const std::uint8_t> bytes;
        if constexpr (std::endian::native == std::endian::little) {
            bytes = std::span(reinterpret_cast<const std::uint8_t*>(values.data()), 2 * values.size());
        } else {
            swapped.resize(2 * values.size());
            for (std::size_t i = 0; i < values.size(); ++i) {
                const auto u = static_cast<std::uint16_t>(values[i]);
                swapped[2 * i] = static_cast<std::uint8_t>(u);
                swapped[2 * i + 1] = static_cast<std::uint8_t>(u >> 8);
            }
            bytes = swapped;
        }
        if (coder == Coder::Deflate) return deflate_raw(bytes);
        return encode_stream(bytes);
    }
    std::vector<std::span<const std::int16_t>> views;
    views.reserve(lengths.size());
    std::size_t at = 0;
    for (const std::size_t len : lengths) {
        views.emplace_back(values.data() + at, len);
        at += len;
    }
    return encode_coeffs(views, {}, std::move(scratch), front);
}

expected<std::vector<std::uint8_t>, CorvaneError> encode_payload(const QuantisedBands& bands, Coder coder) {
    return encode_payload(bands.values, bands.lengths, coder);
}

void DecodedBands::dequantise(std::size_t b, std::size_t length, float inv, float* out) {
    if (!bands_.empty()) {
        const std::int16_t* q = bands_[b].data();
        for (std::size_t i = 0; i < length; ++i) out[i] = corvane::dequantise(q[i], inv);
        bands_[b] = {};
    } else {
        const std::uint8_t* v = bytes_.data() + 2 * offsets_[b];
        for (std::size_t i = 0; i < length; ++i) {
            const auto q = static_cast<std::int16_t>(static_cast<std::uint16_t>(v[2 * i] | v[2 * i + 1] << 8));
            out[i] = corvane::dequantise(q, inv);
        }
    }
}

expected<DecodedBands, CorvaneError> decode_payload(std::span<const std::uint8_t> payload, Coder coder,
                                                    std::span<const std::size_t> lengths) {
    DecodedBands source;
    if (coder == Coder::Cmodel) {
        auto decoded = decode_coeffs(payload, lengths);
        if (!decoded) return unexpected(CorvaneError::decompress(std::string(describe(decoded.error()))));
        source.bands_ = std::move(*decoded);
        return source;
    }
    source.offsets_ = band_offsets(lengths);
    const std::size_t total = source.offsets_.back();
    if (coder == Coder::Arans) {
        auto decoded = decode_stream(payload);
        if (!decoded) return unexpected(CorvaneError::decompress(std::string(describe(decoded.error()))));
        source.bytes_ = std::move(*decoded);
    } else {
        auto inflated = inflate_prefix(payload, 2 * total);
        if (!inflated) return unexpected(std::move(inflated).error());
        source.bytes_ = std::move(*inflated);
    }
    if (source.bytes_.size() / 2 < total) {
        return unexpected(CorvaneError::decompress("Coefficient data holds " + std::to_string(source.bytes_.size() / 2) +
                                                   " values, but the layout needs " + std::to_string(total)));
    }
    return source;
}

std::uint64_t max_coefficients(Coder coder, std::size_t bytes) {
    const std::uint64_t decisions = rans::max_decisions(bytes);
    if (decisions == UINT64_MAX) return UINT64_MAX;
    switch (coder) {
    case Coder::Cmodel: return decisions;
    case Coder::Arans: return decisions / 8 + 3;  // or at most 5 bytes stored as they are
    case Coder::Deflate:
    case Coder::Auto: break;
    }
    return std::uint64_t{516} * bytes + 129;  // 1032 bytes of 2 per byte, and a last match
}

}  // namespace corvane
