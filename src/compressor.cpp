#include "src/compressor.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <new>
#include <string>

#include "src/arans.hpp"
#include "src/cmodel.hpp"
#include "src/deflate.hpp"
#include "src/header.hpp"

namespace corvane {

namespace {

// 1e-5: the least spread, absolute and relative to the samples' magnitude,
// that a signal needs to be normalised rather than coded flat.
const float kFlatRange = std::bit_cast<float>(0x3727C5ACu);

// Whether samples spanning [min, max] are normalised; otherwise they code as
// all zeros and decode to copies of min. A range above 1e-5 always spreads. A
// smaller one spreads when it exceeds 1e-5 of the larger magnitude (that
// product in single precision) and its single-precision reciprocal is finite:
// data in tiny units (microvolts in volts, tesla, strain) keep their shape,
// while a constant, or rounding noise on a large offset, stays flat.
bool spreads(float min, float max) {
    const float range = max - min;
    if (range > kFlatRange) return true;
    const float magnitude = std::max(std::fabs(min), std::fabs(max));
    const float relative = kFlatRange * magnitude;
    return range > 0.0f && range > relative && std::isfinite(1.0f / range);
}

// NaN counts as 0, +inf as 1 and -inf as 0.
inline float sanitised(float v) {
    if (std::isnan(v)) return 0.0f;
    if (std::isinf(v)) return v > 0.0f ? 1.0f : 0.0f;
    return v;
}

// What the options class refuses, refused here too: a stream written with
// such settings would not decode, or not to what was compressed.
expected<void, CorvaneError> check_config(const CompressionConfig& config) {
    if (!is_valid_scale(config.scale)) return unexpected(CorvaneError::unsupported_scale(config.scale));
    if (!is_valid(config.method) || !is_valid(config.cutoff) || !is_valid(config.coder)) {
        return unexpected(CorvaneError::unsupported_configuration("Unknown method, cutoff or coder value"));
    }
    if (config.quant_multiplier && !is_usable_multiplier(*config.quant_multiplier)) {
        return unexpected(CorvaneError::unsupported_configuration("Quantiser multiplier must be positive and finite"));
    }
    return {};
}

// Band order is part of the stream: coarsest approximation, then the
// details from the finest level to the coarsest.
std::vector<std::size_t> lengths_in_stream_order(std::span<const wavelet::DwtSize> layout) {
    std::vector<std::size_t> lengths(layout.size() + 1);
    lengths[0] = layout.back().approx_length;
    for (std::size_t k = 0; k < layout.size(); ++k) lengths[k + 1] = layout[k].details_length;
    return lengths;
}

}  // namespace

expected<NormalisedSignal, CorvaneError> normalise_into(std::span<const float> samples, std::span<float> out) {
    const std::size_t n = samples.size();
    NormalisedSignal stats;
    float min = std::numeric_limits<float>::infinity();
    float max = -std::numeric_limits<float>::infinity();
    for (const float x : samples) {
        const float v = sanitised(x);
        if (v > max) max = v;
        if (v < min) min = v;
    }
    stats.min = min;
    stats.max = max;
    const float range = max - min;
    if (std::isinf(range)) {
        // Finite samples whose spread overflows single precision cannot be
        // normalised; a stream written anyway could never be decoded.
        return unexpected(CorvaneError::unsupported_configuration(
            "Can't compress data whose range exceeds single precision"));
    }

    float* w = out.data();
    if (spreads(min, max)) {
        // The mean is a plain sequential single-precision sum in index order:
        // streams depend on it.
        const float inv = 1.0f / range;
        float sum = 0.0f;
        for (std::size_t i = 0; i < n; ++i) {
            w[i] = (sanitised(samples[i]) - min) * inv;
            sum += w[i];
        }
        stats.mean = sum / static_cast<float>(n);
        const float mean = stats.mean;
        for (std::size_t i = 0; i < n; ++i) w[i] -= mean;
    } else {
        // A flat signal codes as all zeros.
        std::fill_n(w, n, 0.0f);
    }
    // Signals shorter than the filter are extended periodically to its length.
    for (std::size_t i = n; i < out.size(); ++i) w[i] = w[i % n];
    return stats;
}

expected<NormalisedSignal, CorvaneError> normalise_signal(std::span<const float> samples, std::size_t length) {
    std::vector<float> w(std::max(samples.size(), length));
    auto out = normalise_into(samples, w);
    if (out) out->samples = std::move(w);
    return out;
}

float quantise_band(std::span<const float> in, float m, int threshold, std::int16_t* out) {
    // Magnitudes compare as their bit patterns: for non-NaN floats with the
    // sign cleared, integer order is numeric order, and an integer maximum
    // vectorises where a float one would need relaxed semantics.
    std::uint32_t peak = 0;
    if (threshold <= 0) {
        for (std::size_t i = 0; i < in.size(); ++i) {
            out[i] = quantise(in[i], m);
            peak = std::max(peak, std::bit_cast<std::uint32_t>(in[i]) & 0x7FFFFFFFu);
        }
    } else {
        for (std::size_t i = 0; i < in.size(); ++i) {
            const std::int16_t q = quantise(in[i], m);
            const int magnitude = q < 0 ? -static_cast<int>(q) : static_cast<int>(q);
            out[i] = magnitude < threshold ? std::int16_t{0} : q;
            peak = std::max(peak, std::bit_cast<std::uint32_t>(in[i]) & 0x7FFFFFFFu);
        }
    }
    return std::bit_cast<float>(peak);
}

float unsaturated_multiplier(float peak, float m) {
    constexpr float kLimit = 32768.0f;
    if (!std::isfinite(m) || !(m > 0.0f) || !(peak > 0.0f) || !std::isfinite(peak) || !(peak * m >= kLimit)) {
        return m;
    }
    // Rounding is monotone, so peak * c grows with c and the answer is the
    // last float below the first c whose product reaches the limit. The
    // quotient lands within an ulp or two of it; step to it exactly.
    float c = kLimit / peak;
    const float zero = 0.0f;
    while (c > zero && !(peak * c < kLimit)) c = std::nextafter(c, zero);
    for (;;) {
        const float up = std::nextafter(c, std::numeric_limits<float>::infinity());
        if (!(peak * up < kLimit)) break;
        c = up;
    }
    return c;
}

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

namespace {

// The transform's working memory, in floats: the signal (the normalised
// samples, then the odd levels' approximations), the even levels'
// approximations and one level's details. Each level's approximation is the
// next level's input, so the first two take turns and no level allocates.
struct TransformSizes {
    std::size_t signal = 0, half = 0, details = 0;
};

TransformSizes transform_sizes(std::span<const wavelet::DwtSize> layout, std::size_t length) {
    TransformSizes sizes{length, 0, 0};
    for (std::size_t k = 0; k < layout.size(); ++k) {
        std::size_t& store = k % 2 == 0 ? sizes.half : sizes.signal;
        store = std::max(store, layout[k].approx_length);
        sizes.details = std::max(sizes.details, layout[k].details_length);
    }
    return sizes;
}

// Where each band starts in the stream-order buffer of all bands, and (last)
// their total length.
std::vector<std::size_t> band_offsets(std::span<const std::size_t> lengths) {
    std::vector<std::size_t> offsets(lengths.size() + 1);
    for (std::size_t b = 0; b < lengths.size(); ++b) offsets[b + 1] = offsets[b] + lengths[b];
    return offsets;
}

// The levels of `layout` over signal[0 .. sizes.signal), quantised into the
// bands at offsets[b] of the buffer bands_store() returns, which is asked for
// once the first level has read the signal. Nothing but the quantised bands
// outlives its level; the details of every level pass through the one
// details buffer straight into their band. Transforms overwrite every output
// element, so no buffer needs clearing. Returns the largest coefficient
// magnitude before quantisation.
template <class BandsStore>
expected<float, CorvaneError> run_levels(const wavelet::DwtExecutor& executor,
                                         std::span<const wavelet::DwtSize> layout, std::span<const std::size_t> offsets,
                                         const TransformSizes& sizes, float* signal, float* half, float* details,
                                         BandsStore&& bands_store, float m, int threshold) {
    std::int16_t* values = nullptr;
    float peak = 0.0f;
    std::span<const float> input(signal, sizes.signal);
    for (std::size_t k = 0; k < layout.size(); ++k) {
        const std::span<float> approx(k % 2 == 0 ? half : signal, layout[k].approx_length);
        const std::span<float> detail(details, layout[k].details_length);
        if (auto done = executor.execute_forward(input, approx, detail); !done) {
            return unexpected(CorvaneError::wavelet(done.error().message()));
        }
        if (k == 0) values = bands_store();
        peak = std::max(peak, quantise_band(detail, m, threshold, values + offsets[k + 1]));
        input = approx;
    }
    return std::max(peak, quantise_band(input, m, 0, values));
}

}  // namespace

expected<QuantisedBands, CorvaneError> decompose_and_quantise(const wavelet::DwtExecutor& executor,
                                                              std::vector<float> signal, std::uint8_t levels,
                                                              float m, int threshold) {
    const std::vector<wavelet::DwtSize> layout = wavelet::decomposition_layout(executor, signal.size(), levels);
    const TransformSizes sizes = transform_sizes(layout, signal.size());
    signal.resize(sizes.signal);
    const auto half = std::make_unique_for_overwrite<float[]>(sizes.half);
    const auto details = std::make_unique_for_overwrite<float[]>(sizes.details);
    QuantisedBands out;
    out.lengths = lengths_in_stream_order(layout);
    const std::vector<std::size_t> offsets = band_offsets(out.lengths);
    out.values.resize(offsets.back());
    auto peak = run_levels(executor, layout, offsets, sizes, signal.data(), half.get(), details.get(),
                           [&] { return out.values.data(); }, m, threshold);
    if (!peak) return unexpected(std::move(peak).error());
    out.peak = *peak;
    return out;
}

wavelet::Transform transform_of(Method method) {
    switch (method) {
        case Method::Cdf53:
            return wavelet::Transform::Cdf53;
        case Method::Cdf97:
            return wavelet::Transform::Cdf97;
        case Method::Db4:
            return wavelet::Transform::Db4;
        case Method::Sym4:
            return wavelet::Transform::Sym4;
    }
    return wavelet::Transform::Cdf97;
}

std::shared_ptr<wavelet::DwtExecutor> make_executor(Method method) {
    return wavelet::make_executor(transform_of(method));
}

std::vector<std::size_t> band_lengths(const wavelet::IncompleteDwtExecutor& executor, std::size_t sample_count,
                                      std::size_t levels) {
    const std::size_t length = std::max(sample_count, executor.filter_length());
    return lengths_in_stream_order(wavelet::decomposition_layout(executor, length, levels));
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
    const std::size_t length = std::max(samples.size(), executor->filter_length());
    const std::vector<wavelet::DwtSize> layout = wavelet::decomposition_layout(*executor, length, levels);
    const TransformSizes sizes = transform_sizes(layout, length);
    const std::vector<std::size_t> lengths = lengths_in_stream_order(layout);
    const std::vector<std::size_t> offsets = band_offsets(lengths);

    // One block of memory, so that later stages reuse the pages the first
    // ones have written instead of fresh ones: the even levels'
    // approximations, one level's details, then the signal. Once the first
    // level has read the signal, only the odd levels' approximations are
    // written at its start, and the quantised bands go at the block's end,
    // past them. The coder's records then fill everything in front of the
    // bands.
    std::size_t odd_approx = 0;
    for (std::size_t k = 1; k < layout.size(); k += 2) odd_approx = std::max(odd_approx, layout[k].approx_length);
    const std::size_t floats = sizes.half + sizes.details + sizes.signal;
    const std::size_t band_bytes = sizeof(std::int16_t) * offsets.back();
    const std::size_t bands_at = std::max(sizeof(float) * (sizes.half + sizes.details + odd_approx),
                                          sizeof(float) * floats - std::min(sizeof(float) * floats, band_bytes));
    Scratch scratch(std::max(sizeof(float) * floats, bands_at + band_bytes));
    float* half = nullptr;
    float* details = nullptr;
    float* signal = nullptr;
    const auto normalise = [&] {
        half = scratch.as<float>(floats);
        details = half + sizes.half;
        signal = details + sizes.details;
        auto stats = normalise_into(samples, std::span(signal, length));
        std::fill(signal + length, signal + sizes.signal, 0.0f);
        return stats;
    };
    std::int16_t* values = nullptr;
    const auto bands_store = [&] { return values = scratch.as<std::int16_t>(offsets.back(), bands_at); };

    auto normalised = normalise();
    if (!normalised) return unexpected(std::move(normalised).error());
    p.min = normalised->min;
    p.max = normalised->max;
    p.mean = normalised->mean;

    const float m = config.quant_multiplier.value_or(default_multiplier(config.scale));
    const int threshold = dead_zone_threshold(config.scale, config.cutoff);
    auto peak = run_levels(*executor, layout, offsets, sizes, signal, half, details, bands_store, m, threshold);
    if (!peak) return unexpected(std::move(peak).error());
    p.multiplier = unsaturated_multiplier(*peak, m);
    if (p.multiplier != m) {
        // Clamped coefficients would decode far from the signal (the coarse
        // approximations of many levels grow to several times the unit
        // range): quantise again with the largest multiplier that keeps every
        // one in range. The transform consumed its input; normalising again
        // gives the same samples, and this path is rare enough not to keep a
        // copy on every call.
        if (auto again = normalise(); !again) return unexpected(std::move(again).error());
        peak = run_levels(*executor, layout, offsets, sizes, signal, half, details, bands_store, p.multiplier,
                          threshold);
        if (!peak) return unexpected(std::move(peak).error());
    }

    out.front = p.coder == Coder::Cmodel ? kHeaderSize : 0;
    scratch.keep_front(bands_at);
    auto payload = encode_payload(std::span<const std::int16_t>(values, offsets.back()), lengths, p.coder,
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

expected<void, CorvaneError> check_sample_count(std::size_t n) {
    if (n == 0) return unexpected(CorvaneError::unsupported_configuration("Can't compress empty data"));
    if (n > kMaxSamples) {
        // The header counts samples in 32 bits and decoders accept at most
        // 2^31 - 1; a longer signal would be written with a wrong count.
        return unexpected(CorvaneError::unsupported_configuration("Can't compress more than " +
                                                                  std::to_string(kMaxSamples) + " samples"));
    }
    return {};
}

expected<std::vector<std::uint8_t>, CorvaneError> compress(std::span<const float> samples,
                                                           const CompressionConfig& config) {
    const std::size_t n = samples.size();
    if (auto refused = check_sample_count(n); !refused) return unexpected(std::move(refused).error());
    if (auto refused = check_config(config); !refused) return unexpected(std::move(refused).error());
    const std::uint8_t levels = pick_levels(n, config.method);
    auto core = compress_core(samples, config, levels);
    if (!core) return unexpected(std::move(core).error());
    return assemble_stream(std::move(*core));
}

}  // namespace corvane
