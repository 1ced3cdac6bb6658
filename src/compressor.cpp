#include "src/compressor.hpp"

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <new>
#include <string>

#include "src/arans.hpp"
#include "src/cmodel.hpp"
#include "src/header.hpp"

namespace corvane {

namespace {

// Below this range (strictly) a signal counts as flat and codes as all zeros.
const float kFlatRange = std::bit_cast<float>(0x3727C5ACu);  // 1e-5

float power_of_two(std::uint8_t scale) { return static_cast<float>(1u << scale); }

// Replaces NaN by 0 and infinities by 1 / 0, and gathers min and max in the
// same pass.
void sanitise(std::span<const float> in, std::vector<float>& w, float& min, float& max) {
    min = std::numeric_limits<float>::infinity();
    max = -std::numeric_limits<float>::infinity();
    for (std::size_t i = 0; i < in.size(); ++i) {
        float v = in[i];
        if (std::isnan(v)) {
            v = 0.0f;
        } else if (std::isinf(v)) {
            v = v > 0.0f ? 1.0f : 0.0f;
        }
        w[i] = v;
        if (v > max) max = v;
        if (v < min) min = v;
    }
}

// Maps the samples into [0, 1] and removes their mean. The mean is a plain
// sequential single-precision sum in index order: streams depend on it.
float normalise(std::vector<float>& w, std::size_t n, float min, float range) {
    if (!(range > kFlatRange)) {
        std::fill(w.begin(), w.begin() + static_cast<std::ptrdiff_t>(n), 0.0f);
        return 0.0f;
    }
    const float inv = 1.0f / range;
    float sum = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        w[i] = (w[i] - min) * inv;
        sum += w[i];
    }
    const float mean = sum / static_cast<float>(n);
    for (std::size_t i = 0; i < n; ++i) w[i] -= mean;
    return mean;
}

void quantise_band(std::span<const float> in, float m, int threshold, std::vector<std::int16_t>& out) {
    out.resize(in.size());
    if (threshold <= 0) {
        for (std::size_t i = 0; i < in.size(); ++i) out[i] = quantise(in[i], m);
        return;
    }
    for (std::size_t i = 0; i < in.size(); ++i) {
        const std::int16_t q = quantise(in[i], m);
        const int magnitude = q < 0 ? -static_cast<int>(q) : static_cast<int>(q);
        out[i] = magnitude < threshold ? std::int16_t{0} : q;
    }
}

std::string zlib_message(const z_stream& zs, int code) {
    if (zs.msg != nullptr) return zs.msg;
    return "deflate failed with code " + std::to_string(code);
}

// Raw DEFLATE (no wrapper) at level 6 of the whole byte string.
expected<std::vector<std::uint8_t>, CorvaneError> deflate_raw(std::span<const std::uint8_t> bytes) {
    z_stream zs{};
    int rc = deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    if (rc != Z_OK) return unexpected(CorvaneError::io(zlib_message(zs, rc)));
    std::vector<std::uint8_t> out(deflateBound(&zs, static_cast<uLong>(bytes.size())));
    zs.next_in = const_cast<Bytef*>(bytes.data());
    std::size_t in_left = bytes.size();
    zs.next_out = out.data();
    zs.avail_out = 0;
    // zlib counts in 32-bit units; feed large inputs in slices.
    constexpr std::size_t kSlice = std::size_t{1} << 30;
    do {
        const std::size_t take = std::min(in_left, kSlice);
        zs.avail_in = static_cast<uInt>(take);
        in_left -= take;
        const int flush = in_left == 0 ? Z_FINISH : Z_NO_FLUSH;
        do {
            const std::size_t produced = static_cast<std::size_t>(zs.next_out - out.data());
            if (produced == out.size()) out.resize(out.size() + out.size() / 2 + 64);
            zs.next_out = out.data() + produced;
            zs.avail_out = static_cast<uInt>(std::min(out.size() - produced, kSlice));
            rc = deflate(&zs, flush);
            if (rc == Z_STREAM_ERROR) {
                const std::string message = zlib_message(zs, rc);
                deflateEnd(&zs);
                return unexpected(CorvaneError::io(message));
            }
        } while (zs.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
    } while (in_left > 0);
    out.resize(static_cast<std::size_t>(zs.next_out - out.data()));
    deflateEnd(&zs);
    return out;
}

}  // namespace

std::shared_ptr<wavelet::DwtExecutor> make_executor(Method method) {
    switch (method) {
        case Method::Cdf53:
            return wavelet::make_cdf53_f32();
        case Method::Cdf97:
            return wavelet::make_cdf97_f32();
        case Method::Db4:
            return wavelet::make_daubechies_f32(3, wavelet::BorderMode::Periodic);
        case Method::Sym4:
            return wavelet::make_symlet_f32(2, wavelet::BorderMode::Periodic);
    }
    return wavelet::make_cdf97_f32();
}

int dead_zone_threshold(std::uint8_t scale, Cutoff cutoff) {
    const int base = scale <= 7 ? 0 : scale <= 9 ? 1 : scale <= 11 ? 2 : 3;
    const int factor = cutoff == Cutoff::Low ? 1 : cutoff == Cutoff::Medium ? 3 : 7;
    return base * factor;
}

std::uint8_t pick_levels(std::size_t n, Method method) {
    if (n < 20) return 1;
    if (n < 40) return 2;
    if (n < 60) return 3;
    if (n < 80) return 4;
    const std::size_t f = make_executor(method)->filter_length();
    if (n < f) return 1;
    const std::size_t q = n / f;
    if (q == 1) return 1;
    const auto levels = static_cast<std::size_t>(std::bit_width(q) - 1);  // floor(log2 q)
    return static_cast<std::uint8_t>(std::min<std::size_t>(levels, 8));
}

expected<CompressedSignal, CorvaneError> compress_core(std::span<const float> samples, const CompressionConfig& config,
                                                       std::uint8_t levels) {
    const std::size_t n = samples.size();
    CompressedSignal out;
    out.scale = config.scale;

    const auto executor = make_executor(config.method);
    const std::size_t f = executor->filter_length();
    std::vector<float> w(std::max(n, f));
    sanitise(samples, w, out.min, out.max);
    const float range = out.max - out.min;
    if (std::isinf(range)) {
        // Finite samples whose spread overflows single precision cannot be
        // normalised; a stream written anyway could never be decoded.
        return unexpected(CorvaneError::unsupported_configuration(
            "Can't compress data whose range exceeds single precision"));
    }
    out.mean = normalise(w, n, out.min, range);
    // Signals shorter than the filter are extended periodically to its length.
    for (std::size_t i = n; i < w.size(); ++i) w[i] = w[i % n];

    auto decomposition = executor->multi_dwt(w, levels);
    if (!decomposition) return unexpected(CorvaneError::wavelet(decomposition.error().message()));
    std::vector<wavelet::Dwt>& dwt_levels = decomposition->levels;
    if (dwt_levels.empty()) {
        return unexpected(CorvaneError::wavelet("Internal DWT returned zero levels, what shouldn't happen"));
    }
    w = std::vector<float>();

    const float m = config.quant_multiplier.value_or(power_of_two(config.scale));
    out.multiplier = m;
    const int threshold = dead_zone_threshold(config.scale, config.cutoff);

    // Band order is part of the stream: coarsest approximation, then the
    // details from the finest level to the coarsest.
    std::vector<std::vector<std::int16_t>> bands(dwt_levels.size() + 1);
    quantise_band(dwt_levels.back().approximations, m, 0, bands[0]);
    for (std::size_t k = 0; k < dwt_levels.size(); ++k) {
        quantise_band(dwt_levels[k].details, m, threshold, bands[k + 1]);
        dwt_levels[k] = wavelet::Dwt{};
    }

    if (config.coder == Coder::Deflate || config.coder == Coder::Arans) {
        std::size_t total = 0;
        for (const auto& band : bands) total += band.size();
        std::vector<std::uint8_t> bytes;
        try {
            bytes.resize(2 * total);
        } catch (const std::bad_alloc&) {
            return unexpected(CorvaneError::out_of_memory(total - bands[0].size()));
        }
        std::size_t at = 0;
        for (const auto& band : bands) {
            for (const std::int16_t v : band) {
                const auto u = static_cast<std::uint16_t>(v);
                bytes[at++] = static_cast<std::uint8_t>(u);
                bytes[at++] = static_cast<std::uint8_t>(u >> 8);
            }
        }
        bands = {};
        if (config.coder == Coder::Deflate) {
            auto deflated = deflate_raw(bytes);
            if (!deflated) return unexpected(std::move(deflated).error());
            out.payload = std::move(*deflated);
            out.coder = 0;
        } else {
            out.payload = encode_stream(bytes);
            out.coder = 1;
        }
    } else {
        std::vector<std::span<const std::int16_t>> views(bands.begin(), bands.end());
        out.payload = encode_coeffs(views);
        out.coder = 2;
    }
    return out;
}

expected<std::vector<std::uint8_t>, CorvaneError> compress(std::span<const float> samples,
                                                           const CompressionConfig& config) {
    const std::size_t n = samples.size();
    if (n == 0) return unexpected(CorvaneError::unsupported_configuration("Can't compress empty data"));
    if (n > kMaxSamples) {
        // The header counts samples in 32 bits and decoders accept at most
        // 2^31 - 1; a longer signal would be written with a wrong count.
        return unexpected(CorvaneError::unsupported_configuration("Can't compress more than " +
                                                                  std::to_string(kMaxSamples) + " samples"));
    }
    const std::uint8_t levels = pick_levels(n, config.method);
    auto core = compress_core(samples, config, levels);
    if (!core) return unexpected(std::move(core).error());
    if (core->coder > 2) return unexpected(CorvaneError::unknown_coder(core->coder));
    if (core->payload.size() > std::numeric_limits<std::uint32_t>::max()) {
        return unexpected(CorvaneError::unsupported_configuration("Can't store a payload of " +
                                                                  std::to_string(core->payload.size()) + " bytes"));
    }

    const auto header = CorvaneHeader::for_stream(config.method, levels, config.scale, core->coder,
                                                  static_cast<std::uint32_t>(n), core->min, core->max, core->mean,
                                                  static_cast<std::uint32_t>(core->payload.size()),
                                                  core->multiplier);
    std::vector<std::uint8_t> stream(kHeaderSize + core->payload.size());
    header.write_to(std::span<std::uint8_t, kHeaderSize>(stream.data(), kHeaderSize));
    std::copy(core->payload.begin(), core->payload.end(), stream.begin() + kHeaderSize);
    return stream;
}

}  // namespace corvane
