#include "src/decompressor.hpp"

#include <algorithm>
#include <memory>
#include <string>

#include "src/arans.hpp"
#include "src/binrans.hpp"
#include "src/cmodel.hpp"
#include "src/compressor.hpp"
#include "src/deflate.hpp"
#include "src/error.hpp"
#include "src/header.hpp"
#include "wavelet/reconstruction.hpp"

namespace corvane {

namespace {

using Coefficients = std::vector<std::int16_t>;

std::string shortfall(std::size_t have, std::size_t need) {
    return "Coefficient data holds " + std::to_string(have) + " values, but the layout needs " + std::to_string(need);
}

// The bands' lengths in stream order.
struct BandPlan {
    std::vector<std::size_t> lengths;
    std::size_t total = 0;  // coefficients in all bands
};

// Where the quantised bands come from: the coefficient model's band vectors,
// or the byte coders' 16-bit little-endian values, read where they lie.
struct BandSource {
    std::vector<Coefficients> bands;
    std::vector<std::uint8_t> bytes;
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

expected<void, CorvaneError> check_parameters(const StreamParameters& p) {
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
    return {};
}

// Stage 1: the bands the header's count and levels imply.
BandPlan plan_bands(const StreamParameters& p, const wavelet::DwtExecutor& executor) {
    BandPlan plan;
    plan.lengths = band_lengths(executor, p.sample_count, p.levels);
    for (const std::size_t len : plan.lengths) plan.total += len;
    return plan;
}

// Stage 2: the quantised bands, read through the stream's back end.
expected<BandSource, CorvaneError> read_bands(std::span<const std::uint8_t> payload, Coder coder,
                                              const BandPlan& plan) {
    BandSource source;
    if (coder == Coder::Cmodel) {
        auto decoded = decode_coeffs(payload, plan.lengths);
        if (!decoded) return unexpected(CorvaneError::decompress(std::string(describe(decoded.error()))));
        source.bands = std::move(*decoded);
        return source;
    }
    if (coder == Coder::Arans) {
        auto decoded = decode_stream(payload);
        if (!decoded) return unexpected(CorvaneError::decompress(std::string(describe(decoded.error()))));
        source.bytes = std::move(*decoded);
    } else {
        auto inflated = inflate_prefix(payload, 2 * plan.total);
        if (!inflated) return unexpected(std::move(inflated).error());
        source.bytes = std::move(*inflated);
    }
    if (source.bytes.size() / 2 < plan.total) {
        return unexpected(CorvaneError::decompress(shortfall(source.bytes.size() / 2, plan.total)));
    }
    source.offsets.resize(plan.lengths.size());
    std::size_t at = 0;
    for (std::size_t b = 0; b < plan.lengths.size(); ++b) {
        source.offsets[b] = at;
        at += plan.lengths[b];
    }
    return source;
}

// Stage 3: the bands dequantised and recomposed, from the coarsest level to
// the finest; the result holds level 0's output. The sizes of every level
// are settled first, so that the buffers are allocated once. Level k reads the
// approximation the level above wrote and its own details (d_k, dequantised
// into one scratch buffer). Reconstructions alternate between the output and
// one buffer of about half its size, so that level 0 lands in the output; the
// coarsest approximation waits in the buffer level L-1 does not write.
expected<std::vector<float>, CorvaneError> recompose(BandSource& source, const BandPlan& plan, Method method,
                                                     const wavelet::DwtExecutor& executor, float multiplier) {
    const wavelet::Transform transform = transform_of(method);
    const std::vector<std::size_t>& d = plan.lengths;  // d_k is band k + 1
    const auto planned = wavelet::plan_reconstruction(transform, executor, d[0], std::span(d).subspan(1));
    if (!planned) return unexpected(CorvaneError::wavelet(planned.error().message()));
    const std::vector<wavelet::InverseLevel>& rebuilt = *planned;
    const std::size_t levels = rebuilt.size();
    const bool approx_in_output = (levels - 1) % 2 == 1;
    std::size_t out_size = approx_in_output ? d[0] : 0;
    std::size_t half_size = approx_in_output ? 0 : d[0];
    std::size_t details_size = 0;
    for (std::size_t k = 0; k < levels; ++k) {
        std::size_t& size = k % 2 == 0 ? out_size : half_size;
        size = std::max(size, rebuilt[k].output);
        details_size = std::max(details_size, d[k + 1]);
    }
    std::vector<float> out(out_size);
    const auto half = std::make_unique_for_overwrite<float[]>(std::max<std::size_t>(half_size, 1));
    const auto details = std::make_unique_for_overwrite<float[]>(std::max<std::size_t>(details_size, 1));

    const float inv = 1.0f / multiplier;
    float* approx = approx_in_output ? out.data() : half.get();
    source.dequantise(0, d[0], inv, approx);
    for (std::size_t k = levels; k-- > 0;) {
        source.dequantise(k + 1, d[k + 1], inv, details.get());
        float* target = k % 2 == 0 ? out.data() : half.get();
        auto done = wavelet::inverse_level(transform, executor, rebuilt[k], approx, details.get(), target);
        if (!done) return unexpected(CorvaneError::wavelet(done.error().message()));
        approx = target;
    }
    out.resize(rebuilt[0].output);
    return out;
}

// Stage 4: back to the signal's range and mean, and to its sample count.
void denormalise(std::vector<float>& out, const StreamParameters& p) {
    const float range = p.max - p.min;
    for (float& x : out) {
        const float t = x + p.mean;
        const float scaled = range * t;
        x = p.min + scaled;
    }
    // Odd-length 8-tap reconstructions carry one extra sample; a shorter one
    // is padded with plain zeros.
    out.resize(p.sample_count, 0.0f);
}

}  // namespace

expected<std::vector<float>, CorvaneError> decompress(std::span<const std::uint8_t> stream) {
    auto parsed = CorvaneHeader::from_bytes(stream);
    if (!parsed) return unexpected(std::move(parsed).error());
    return decompress_parsed(*parsed, stream);
}

expected<std::vector<float>, CorvaneError> decompress_parsed(const CorvaneHeader& h,
                                                             std::span<const std::uint8_t> stream) {
    const std::uint64_t needed = std::uint64_t{h.payload_len} + kHeaderSize;
    if (stream.size() - kHeaderSize < h.payload_len) {
        return unexpected(stream_cut_short(needed, stream.size()));
    }
    return decompress_core(stream.subspan(kHeaderSize, h.payload_len), h.parameters());
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

expected<std::vector<float>, CorvaneError> decompress_core(std::span<const std::uint8_t> payload,
                                                           const StreamParameters& p) {
    if (auto refused = check_parameters(p); !refused) return unexpected(std::move(refused).error());
    const auto executor = make_executor(p.method);
    const BandPlan plan = plan_bands(p, *executor);
    auto source = read_bands(payload, p.coder, plan);
    if (!source) return unexpected(std::move(source).error());
    auto out = recompose(*source, plan, p.method, *executor, p.multiplier);
    if (!out) return unexpected(std::move(out).error());
    *source = BandSource{};
    denormalise(*out, p);
    return out;
}

}  // namespace corvane
