#include "src/decompressor.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>

#include "src/arans.hpp"
#include "src/cmodel.hpp"
#include "src/compressor.hpp"
#include "src/deflate.hpp"
#include "src/header.hpp"

namespace corvane {

namespace {

using Coefficients = std::vector<std::int16_t>;

std::string shortfall(std::size_t have, std::size_t need) {
    return "Coefficient data holds " + std::to_string(have) + " values, but the layout needs " + std::to_string(need);
}

// Where the quantised bands come from: the coefficient model's band vectors,
// or the byte coders' 16-bit little-endian values, read where they lie.
struct BandSource {
    std::vector<Coefficients> bands;
    std::span<const std::uint8_t> bytes;
    std::vector<std::size_t> offsets;  // of each band in `bytes`, in values

    // Band b dequantised into out[0 .. length): multiplied by the reciprocal
    // of the multiplier, not divided by it. A band vector is released once
    // read, so the finest levels run with the coarse bands gone.
    void dequantise(std::size_t b, std::size_t length, float inv, float* out) {
        if (!bands.empty()) {
            const std::int16_t* q = bands[b].data();
            for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<float>(q[i]) * inv;
            bands[b] = Coefficients();
        } else {
            const std::uint8_t* v = bytes.data() + 2 * offsets[b];
            for (std::size_t i = 0; i < length; ++i) {
                const auto q = static_cast<std::int16_t>(static_cast<std::uint16_t>(v[2 * i] | v[2 * i + 1] << 8));
                out[i] = static_cast<float>(q) * inv;
            }
        }
    }
};

}  // namespace

expected<std::vector<float>, CorvaneError> decompress(std::span<const std::uint8_t> stream) {
    auto parsed = CorvaneHeader::from_bytes(stream);
    if (!parsed) return unexpected(std::move(parsed).error());
    const CorvaneHeader& h = *parsed;

    const std::uint64_t needed = std::uint64_t{h.payload_len} + kHeaderSize;
    if (stream.size() - kHeaderSize < h.payload_len) {
        return unexpected(CorvaneError::decompress("Minimum data size is " + std::to_string(needed) +
                                                   ", but it was " + std::to_string(stream.size())));
    }
    const auto payload = stream.subspan(kHeaderSize, h.payload_len);

    StreamParameters params;
    if (!method_from_code(h.method_code, params.method)) {
        return unexpected(CorvaneError::invalid_method(h.method_code));
    }
    if (!is_stream_coder(h.coder)) return unexpected(CorvaneError::unknown_coder(h.coder));

    params.multiplier = effective_multiplier(h.multiplier, h.scale);
    params.min = h.min;
    params.max = h.max;
    params.mean = h.mean;
    params.levels = h.levels;
    params.sample_count = h.sample_count;
    params.scale = h.scale;
    params.coder = static_cast<Coder>(h.coder);
    return decompress_core(payload, params);
}

expected<std::vector<float>, CorvaneError> decompress_core(std::span<const std::uint8_t> payload,
                                                           const StreamParameters& p) {
    if (p.sample_count > kMaxSamples) {
        return unexpected(CorvaneError::decompress("Can't decompress data bigger than " + std::to_string(kMaxSamples) +
                                                   ", but data was " + std::to_string(p.sample_count)));
    }
    if (p.levels > 10) {
        return unexpected(CorvaneError::decompress("Max supported level is 10 but it was " + std::to_string(p.levels)));
    }
    if (p.levels == 0) {
        return unexpected(CorvaneError::decompress("Min supported level is 1 but it was " + std::to_string(p.levels)));
    }
    if (!is_valid_scale(p.scale)) {
        return unexpected(CorvaneError::decompress("Supported scales only [6, 12] but it was " +
                                                   std::to_string(unsigned{p.scale})));
    }

    const auto executor = make_executor(p.method);
    const std::size_t levels = p.levels;
    // The encoder pads signals shorter than the filter to its length.
    std::size_t length = std::max<std::size_t>(p.sample_count, executor->filter_length());
    // Band lengths in stream order: coarsest approximation, then the details
    // of levels 0 (finest) to L-1.
    std::vector<std::size_t> band_lengths(levels + 1);
    for (std::size_t k = 0; k < levels; ++k) {
        const auto size = executor->dwt_size(length);
        band_lengths[k + 1] = size.details_length;
        length = size.approx_length;
    }
    band_lengths[0] = length;
    std::size_t total = 0;
    for (const std::size_t len : band_lengths) total += len;

    BandSource source;
    std::vector<std::uint8_t> bytes;
    if (p.coder == Coder::Cmodel) {
        auto decoded = decode_coeffs(payload, band_lengths);
        if (!decoded) return unexpected(CorvaneError::decompress(std::string(describe(decoded.error()))));
        source.bands = std::move(*decoded);
    } else {
        if (p.coder == Coder::Arans) {
            auto decoded = decode_stream(payload);
            if (!decoded) return unexpected(CorvaneError::decompress(std::string(describe(decoded.error()))));
            bytes = std::move(*decoded);
        } else {
            auto inflated = inflate_prefix(payload, 2 * total);
            if (!inflated) return unexpected(std::move(inflated).error());
            bytes = std::move(*inflated);
        }
        if (bytes.size() / 2 < total) return unexpected(CorvaneError::decompress(shortfall(bytes.size() / 2, total)));
        source.bytes = bytes;
        source.offsets.resize(levels + 1);
        std::size_t at = 0;
        for (std::size_t b = 0; b <= levels; ++b) {
            source.offsets[b] = at;
            at += band_lengths[b];
        }
    }

    // Reconstruction runs from the coarsest level to the finest, level k
    // reading an approximation of in[k] values and its own details (d_k,
    // dequantised into one scratch buffer) and writing out[k] values. The
    // lifting transforms pass each reconstruction whole to the next level
    // and write A + D values; the 8-tap ones keep the first d_k values of
    // it (the rest is border extension) and add their synthesis into a
    // zeroed output of idwt_size values. The sizes are settled first, so
    // that the buffers are allocated once: reconstructions alternate between
    // the output and one buffer of about half its size, and level 0 lands in
    // the output.
    const bool lifting = p.method == Method::Cdf97 || p.method == Method::Cdf53;
    const std::vector<std::size_t>& d = band_lengths;  // d_k is band k + 1
    std::vector<std::size_t> in(levels);
    std::vector<std::size_t> rebuilt(levels);
    std::size_t have = band_lengths[0];
    for (std::size_t k = levels; k-- > 0;) {
        if (lifting) {
            in[k] = have;
            rebuilt[k] = have + d[k + 1];
        } else {
            const bool coarsest = k + 1 == levels;
            if (coarsest ? have != d[k + 1] : have < d[k + 1]) {
                return unexpected(CorvaneError::wavelet(
                    wavelet::WaveletError::approx_details_mismatch(have, d[k + 1]).message()));
            }
            in[k] = d[k + 1];
            rebuilt[k] = executor->idwt_size(in[k], d[k + 1]);
        }
        have = rebuilt[k];
    }
    // The coarsest approximation waits in the buffer level L-1 does not write.
    const bool approx_in_output = (levels - 1) % 2 == 1;
    std::size_t out_size = approx_in_output ? band_lengths[0] : 0;
    std::size_t half_size = approx_in_output ? 0 : band_lengths[0];
    std::size_t details_size = 0;
    for (std::size_t k = 0; k < levels; ++k) {
        std::size_t& size = k % 2 == 0 ? out_size : half_size;
        size = std::max(size, rebuilt[k]);
        details_size = std::max(details_size, d[k + 1]);
    }
    std::vector<float> out(out_size);
    const auto half = std::make_unique_for_overwrite<float[]>(std::max<std::size_t>(half_size, 1));
    const auto details = std::make_unique_for_overwrite<float[]>(std::max<std::size_t>(details_size, 1));

    const float inv = 1.0f / p.multiplier;
    float* approx = approx_in_output ? out.data() : half.get();
    source.dequantise(0, band_lengths[0], inv, approx);
    for (std::size_t k = levels; k-- > 0;) {
        source.dequantise(k + 1, d[k + 1], inv, details.get());
        float* target = k % 2 == 0 ? out.data() : half.get();
        if (!lifting) std::fill_n(target, rebuilt[k], 0.0f);
        auto done = executor->execute_inverse(std::span<const float>(approx, in[k]),
                                              std::span<const float>(details.get(), d[k + 1]),
                                              std::span<float>(target, rebuilt[k]));
        if (!done) return unexpected(CorvaneError::wavelet(done.error().message()));
        approx = target;
    }
    source = BandSource{};
    bytes = {};

    out.resize(rebuilt[0]);
    const float range = p.max - p.min;
    for (float& x : out) {
        const float t = x + p.mean;
        const float scaled = range * t;
        x = p.min + scaled;
    }
    // Odd-length 8-tap reconstructions carry one extra sample; a shorter one
    // is padded with plain zeros.
    out.resize(p.sample_count, 0.0f);
    return out;
}

}  // namespace corvane
