#include "src/codec/compressor.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "src/codec/forward.hpp"
#include "src/entropy/payload.hpp"
#include "src/format/bands.hpp"
#include "src/format/header.hpp"
#include "src/format/quantiser.hpp"
#include "src/scratch.hpp"

namespace corvane {

expected<void, CorvaneError> narrow_to_single(std::span<const double> in, float* out) {
    bool overflow = false;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const float f = static_cast<float>(in[i]);
        out[i] = f;
        overflow |= std::isinf(f) && !std::isinf(in[i]);
    }
    if (overflow) {
        return unexpected(CorvaneError::unsupported_configuration(
            "Can't compress data whose samples exceed single precision"));
    }
    return {};
}

expected<CompressedSignal, CorvaneError> compress_core(std::span<const float> samples, const CompressionConfig& config,
                                                       std::uint8_t levels) {
    CompressedSignal out;
    StreamParameters& p = out.params;
    p.method = config.method;
    p.levels = levels;
    p.sample_count = static_cast<std::uint32_t>(samples.size());
    p.scale = config.scale;
    p.coder = stream_coder(config.coder);

    const auto executor = make_executor(config.method);
    const ForwardPlan plan = plan_forward(*executor, samples.size(), levels);
    const std::size_t length = plan.length;
    const std::size_t total = plan.offsets.back();

    // One block of memory, so that later stages reuse the pages the first
    // ones have written instead of fresh ones: the even levels'
    // approximations, one level's details, then the signal. Once the first
    // level has read the signal, only the odd levels' approximations are
    // written at its start, and the quantised bands go at the block's end,
    // past them. The coder's records then fill everything in front of the
    // bands.
    const std::size_t floats = plan.half + plan.details + plan.signal;
    const std::size_t band_bytes = sizeof(std::int16_t) * total;
    const std::size_t bands_at = std::max(sizeof(float) * (plan.half + plan.details + plan.odd_approx),
                                          sizeof(float) * floats - std::min(sizeof(float) * floats, band_bytes));
    Scratch scratch(std::max(sizeof(float) * floats, bands_at + band_bytes));
    float* half = nullptr;
    float* details = nullptr;
    float* signal = nullptr;
    const auto normalise = [&] {
        half = scratch.as<float>(floats);
        details = half + plan.half;
        signal = details + plan.details;
        auto stats = normalise_into(samples, std::span(signal, length));
        std::fill(signal + length, signal + plan.signal, 0.0f);
        return stats;
    };
    const auto bands_store = [&] { return scratch.as<std::int16_t>(total, bands_at); };

    auto normalised = normalise();
    if (!normalised) return unexpected(std::move(normalised).error());
    p.min = normalised->min;
    p.max = normalised->max;
    p.mean = normalised->mean;

    const float m = config.quant_multiplier.value_or(default_multiplier(config.scale));
    const int threshold = dead_zone_threshold(config.scale, config.cutoff);
    QuantisingSink first(bands_store, plan.offsets, m, threshold);
    if (auto done = run_forward(*executor, plan, signal, half, details, first); !done) {
        return unexpected(std::move(done).error());
    }
    std::int16_t* values = first.values();
    p.multiplier = unsaturated_multiplier(first.peak(), m);
    if (p.multiplier != m) {
        // Clamped coefficients would decode far from the signal (the coarse
        // approximations of many levels grow to several times the unit
        // range): quantise again with the largest multiplier that keeps every
        // one in range. The transform consumed its input; normalising again
        // gives the same samples, and this path is rare enough not to keep a
        // copy on every call.
        if (auto again = normalise(); !again) return unexpected(std::move(again).error());
        QuantisingSink second(bands_store, plan.offsets, p.multiplier, threshold);
        if (auto done = run_forward(*executor, plan, signal, half, details, second); !done) {
            return unexpected(std::move(done).error());
        }
        values = second.values();
    }

    out.front = p.coder == Coder::Cmodel ? kHeaderSize : 0;
    scratch.keep_front(bands_at);
    auto payload = encode_payload(std::span<const std::int16_t>(values, total), plan.lengths, p.coder,
                                  std::move(scratch), out.front);
    if (!payload) return unexpected(std::move(payload).error());
    out.payload = std::move(*payload);
    return out;
}

expected<std::vector<std::uint8_t>, CorvaneError> assemble_stream(CompressedSignal&& core) {
    const std::size_t payload_size = core.payload.size() - core.front;
    if (payload_size > std::numeric_limits<std::uint32_t>::max()) {
        return unexpected(CorvaneError::unsupported_configuration("Can't store a payload of " +
                                                                  std::to_string(payload_size) + " bytes"));
    }
    const auto header = CorvaneHeader::for_stream(core.params, static_cast<std::uint32_t>(payload_size));
    if (core.front == kHeaderSize) {
        header.write_to(std::span<std::uint8_t, kHeaderSize>(core.payload.data(), kHeaderSize));
        return std::move(core.payload);
    }
    std::vector<std::uint8_t> stream(kHeaderSize + payload_size);
    header.write_to(std::span<std::uint8_t, kHeaderSize>(stream.data(), kHeaderSize));
    std::copy(core.payload.begin(), core.payload.end(), stream.begin() + kHeaderSize);
    return stream;
}

expected<std::vector<std::uint8_t>, CorvaneError> compress(std::span<const float> samples,
                                                           const CompressionConfig& config) {
    if (auto refused = check_sample_count(samples.size()); !refused) return unexpected(std::move(refused).error());
    if (auto refused = check_config(config); !refused) return unexpected(std::move(refused).error());
    auto core = compress_core(samples, config, pick_levels(samples.size(), config.method));
    if (!core) return unexpected(std::move(core).error());
    return assemble_stream(std::move(*core));
}

}  // namespace corvane
