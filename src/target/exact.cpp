// The transform taken once, a candidate reconstructed exactly as the decoder
// would, and the error measures.
#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "src/codec/decompressor.hpp"
#include "src/codec/forward.hpp"
#include "src/codec/inverse.hpp"
#include "src/entropy/payload.hpp"
#include "src/format/header.hpp"
#include "src/format/parameters.hpp"
#include "src/target/stages.hpp"

namespace corvane {

namespace tuning {

namespace {

template <class T>
double spread_of(std::span<const T> x) {
    // Samples all equal are a constant signal, though their mean, summed in
    // double precision, may come out a rounding away from them.
    if (std::ranges::all_of(x, [&](T v) { return v == x[0]; })) return 0.0;
    double mean = 0.0;
    for (const T v : x) mean += static_cast<double>(v);
    mean /= static_cast<double>(x.size());
    double spread = 0.0;
    for (const T v : x) {
        const double c = static_cast<double>(v) - mean;
        spread += c * c;
    }
    return spread;
}

}  // namespace

double spread_squares(std::span<const double> x) { return spread_of(x); }
double spread_squares(std::span<const float> x) { return spread_of(x); }

namespace {

// Four running sums, each waiting only on its own last addition (one sum
// waits on every addition before it, about four times as long).
template <class T>
double squared_difference_of(std::span<const T> x, std::span<const float> y) {
    double sums[4] = {0.0, 0.0, 0.0, 0.0};
    const std::size_t n = x.size(), whole = n - n % 4;
    for (std::size_t i = 0; i < whole; i += 4) {
        for (std::size_t k = 0; k < 4; ++k) {
            const double d = static_cast<double>(x[i + k]) - static_cast<double>(y[i + k]);
            sums[k] += d * d;
        }
    }
    for (std::size_t i = whole; i < n; ++i) {
        const double d = static_cast<double>(x[i]) - static_cast<double>(y[i]);
        sums[i - whole] += d * d;
    }
    return (sums[0] + sums[1]) + (sums[2] + sums[3]);
}

}  // namespace

double squared_difference(std::span<const double> x, std::span<const float> y) { return squared_difference_of(x, y); }
double squared_difference(std::span<const float> x, std::span<const float> y) { return squared_difference_of(x, y); }

}  // namespace tuning

namespace {

template <class T>
double error_against(ErrorMeasure measure, std::span<const T> x, std::span<const float> y) {
    if (measure == ErrorMeasure::MaxAbs) {
        double worst = 0.0;
        for (std::size_t i = 0; i < x.size(); ++i) {
            const double d = std::abs(static_cast<double>(x[i]) - static_cast<double>(y[i]));
            if (!(d <= worst)) worst = d;  // a NaN difference is the worst of all
        }
        return worst;
    }
    const double diff = tuning::squared_difference(x, y);
    if (diff == 0.0) return 0.0;
    const double spread = tuning::spread_squares(x);
    if (!(spread > 0.0)) {
        // A constant signal: decoded exactly (to single precision, all any
        // stream holds) or not at all.
        const bool exact = std::ranges::equal(x, y, [](T a, float b) { return static_cast<float>(a) == b; });
        return exact ? 0.0 : std::numeric_limits<double>::infinity();
    }
    return 100.0 * std::sqrt(diff / spread);
}

}  // namespace

double measure_error(ErrorMeasure measure, std::span<const double> reference, std::span<const float> decoded) {
    return error_against(measure, reference, decoded);
}

double measure_error(ErrorMeasure measure, std::span<const float> reference, std::span<const float> decoded) {
    return error_against(measure, reference, decoded);
}

namespace tuning {

namespace {

// Keeps every band of the forward pipeline, in stream order.
class KeepingSink final : public BandSink {
public:
    explicit KeepingSink(std::vector<std::vector<float>>& bands) : bands_(bands) {}
    void take(std::size_t band, std::span<const float> coefficients) override {
        bands_[band].assign(coefficients.begin(), coefficients.end());
    }

private:
    std::vector<std::vector<float>>& bands_;
};

// A candidate's bands as a stream of multiplier m and dead zone `threshold`
// would hold them: quantised, then dequantised as the decoder does.
class QuantisedSupply final : public BandSupply {
public:
    QuantisedSupply(const Transformed& t, float m, int threshold, std::vector<std::int16_t>& quantised)
        : t_(t), m_(m), inv_(1.0f / m), threshold_(threshold), quantised_(quantised) {}
    void give(std::size_t band, std::size_t length, float* out) override {
        // A band whose largest coefficient quantises to 0 is all zeros (the
        // product rounds monotonically and quantising truncates).
        if (!(t_.band_peaks[band] * m_ >= 1.0f)) {
            std::fill_n(out, length, 0.0f);
            return;
        }
        quantised_.resize(length);
        quantise_band(t_.bands[band], m_, band == 0 ? 0 : threshold_, quantised_.data());
        for (std::size_t i = 0; i < length; ++i) out[i] = dequantise(quantised_[i], inv_);
    }

private:
    const Transformed& t_;
    float m_, inv_;
    int threshold_;
    std::vector<std::int16_t>& quantised_;
};

// Whether every coefficient of `t` quantises to zero with multiplier m (the
// product rounds monotonically and quantising truncates).
bool all_zero(const Transformed& t, float m) {
    return !t.band_peaks.empty() &&
           std::none_of(t.band_peaks.begin(), t.band_peaks.end(), [m](float peak) { return peak * m >= 1.0f; });
}

// What bands of zeros decode to: zeros at the length the inverse transform
// gives (lifting and scaling zeros make zeros), denormalised as the decoder
// does.
expected<void, CorvaneError> zeros_decoded(Method method, const wavelet::DwtExecutor& executor,
                                           std::span<const std::size_t> lengths, float min, float max, float mean,
                                           std::size_t sample_count, std::vector<float>& out) {
    auto length = recomposed_length(method, executor, lengths);
    if (!length) return unexpected(std::move(length).error());
    out.assign(*length, 0.0f);
    denormalise(out, min, max, mean, sample_count);
    return {};
}

}  // namespace

expected<Transformed, CorvaneError> transform(std::span<const float> samples, Method method) {
    Transformed t;
    t.method = method;
    t.executor = make_executor(method);
    t.n = samples.size();
    t.levels = pick_levels(t.n, method);
    const ForwardPlan plan = plan_forward(*t.executor, t.n, t.levels);
    const auto work = std::make_unique_for_overwrite<float[]>(plan.signal + plan.half + plan.details);
    float* signal = work.get();
    auto normalised = normalise_into(samples, std::span(signal, plan.length));
    if (!normalised) return unexpected(std::move(normalised).error());
    std::fill(signal + plan.length, signal + plan.signal, 0.0f);
    t.min = normalised->min;
    t.max = normalised->max;
    t.mean = normalised->mean;
    t.bands.resize(plan.lengths.size());
    KeepingSink sink(t.bands);
    float* half = signal + plan.signal;
    if (auto done = run_forward(*t.executor, plan, signal, half, half + plan.half, sink); !done) {
        return unexpected(std::move(done).error());
    }
    t.band_peaks.assign(t.bands.size(), 0.0f);
    for (std::size_t b = 0; b < t.bands.size(); ++b) {
        // (four running maxima, so that no coefficient waits for the one before)
        float peaks[4] = {};
        const std::vector<float>& band = t.bands[b];
        for (std::size_t i = 0; i < band.size(); ++i) peaks[i % 4] = std::max(peaks[i % 4], std::abs(band[i]));
        t.band_peaks[b] = std::max(std::max(peaks[0], peaks[1]), std::max(peaks[2], peaks[3]));
        t.peak = std::max(t.peak, t.band_peaks[b]);
    }
    return t;
}

float largest_multiplier(float peak) {
    constexpr float kBeyond = 65536.0f;
    if (!(peak > 0.0f)) return kBeyond / 2.0f;
    return unsaturated_multiplier(peak, std::min(std::max(kBeyond / peak, kBeyond) * 2.0f, std::numeric_limits<float>::max()));
}

QuantisedBands quantise_bands(const Transformed& t, float m, int threshold) {
    QuantisedBands out;
    out.peak = t.peak;
    std::size_t total = 0;
    for (const auto& band : t.bands) {
        out.lengths.push_back(band.size());
        total += band.size();
    }
    out.values.resize(total);
    std::int16_t* at = out.values.data();
    for (std::size_t b = 0; b < t.bands.size(); ++b) {
        quantise_band(t.bands[b], m, b == 0 ? 0 : threshold, at);
        at += t.bands[b].size();
    }
    return out;
}

expected<std::span<const float>, CorvaneError> reconstruct(const Transformed& t, float m, int threshold,
                                                           Reconstruction& scratch) {
    scratch.lengths.resize(t.bands.size());
    for (std::size_t b = 0; b < t.bands.size(); ++b) scratch.lengths[b] = t.bands[b].size();
    // Where every coefficient quantises to zero, the transform is not run.
    if (all_zero(t, m)) {
        auto done = zeros_decoded(t.method, *t.executor, scratch.lengths, t.min, t.max, t.mean, t.n, scratch.samples);
        if (!done) return unexpected(std::move(done).error());
        return std::span<const float>(scratch.samples);
    }
    QuantisedSupply supply(t, m, threshold, scratch.quantised);
    if (auto done = recompose_into(t.method, *t.executor, scratch.lengths, supply, scratch.work, scratch.samples);
        !done) {
        return unexpected(std::move(done).error());
    }
    denormalise(scratch.samples, t.min, t.max, t.mean, t.n);
    return std::span<const float>(scratch.samples);
}

namespace {

// Bands that are all zeros code to a payload that depends on their lengths
// and the coder alone, and a search meets it again and again (every base
// that keeps no coefficient). It is coded, and decoded back to check that it
// holds zeros, once, and kept: a few dozen bytes for each set of lengths, the
// oldest let go past kZerosKept.
constexpr std::size_t kZerosKept = 64;
struct ZerosKey {
    Coder coder;
    std::vector<std::size_t> lengths;
    auto operator<=>(const ZerosKey&) const = default;
};
std::mutex zeros_lock;
std::map<ZerosKey, std::vector<std::uint8_t>> zeros_known;

std::optional<std::vector<std::uint8_t>> known_zeros(const ZerosKey& key) {
    const std::scoped_lock hold(zeros_lock);
    const auto it = zeros_known.find(key);
    if (it == zeros_known.end()) return std::nullopt;
    return it->second;
}

bool is_known_zeros(const ZerosKey& key, std::span<const std::uint8_t> payload) {
    const std::scoped_lock hold(zeros_lock);
    const auto it = zeros_known.find(key);
    return it != zeros_known.end() && std::ranges::equal(it->second, payload);
}

expected<std::vector<std::uint8_t>, CorvaneError> zeros_payload(std::span<const std::size_t> lengths, Coder coder) {
    ZerosKey key{coder, {lengths.begin(), lengths.end()}};
    if (auto known = known_zeros(key)) return std::move(*known);
    std::size_t total = 0;
    for (const std::size_t length : lengths) total += length;
    const std::vector<std::int16_t> zeros(total, 0);
    auto payload = encode_payload(zeros, lengths, coder);
    if (!payload) return payload;
    auto back = decode_payload(*payload, coder, lengths);
    if (!back) return unexpected(std::move(back).error());
    std::vector<float> band;
    for (std::size_t b = 0; b < lengths.size(); ++b) {
        band.resize(lengths[b]);
        back->dequantise(b, lengths[b], 1.0f, band.data());
        if (std::any_of(band.begin(), band.end(), [](float v) { return v != 0.0f; }))
            return unexpected(CorvaneError::unsupported_configuration("a payload of zeros decoded to other values"));
    }
    const std::scoped_lock hold(zeros_lock);
    if (zeros_known.size() >= kZerosKept) zeros_known.clear();
    zeros_known.emplace(std::move(key), *payload);
    return payload;
}

}  // namespace

expected<std::vector<float>, CorvaneError> decode_stream(std::span<const std::uint8_t> stream) {
    auto parsed = CorvaneHeader::from_bytes(stream);
    if (!parsed) return unexpected(std::move(parsed).error());
    auto located = locate_payload(*parsed, stream);
    if (!located) return unexpected(std::move(located).error());
    const StreamParameters& p = located->params;
    if (auto refused = check_stream_parameters(p); !refused) return unexpected(std::move(refused).error());
    const auto executor = make_executor(p.method);
    const std::vector<std::size_t> lengths = band_lengths(*executor, p.sample_count, p.levels);
    // (zeros dequantise to zeros where the multiplier has a finite reciprocal)
    if (std::isfinite(1.0f / p.multiplier) && is_known_zeros(ZerosKey{p.coder, lengths}, located->payload)) {
        std::vector<float> out;
        auto done = zeros_decoded(p.method, *executor, lengths, p.min, p.max, p.mean, p.sample_count, out);
        if (!done) return unexpected(std::move(done).error());
        return out;
    }
    return decompress_core(located->payload, p);
}

namespace {

// A stream's parameters for the coefficients at hand, coded at multiplier m
// with the given scale.
StreamParameters parameters_for(const Transformed& t, const CompressionConfig& config, std::uint8_t scale, float m) {
    StreamParameters p;
    p.method = t.method;
    p.levels = t.levels;
    p.sample_count = static_cast<std::uint32_t>(t.n);
    p.scale = scale;
    p.coder = stream_coder(config.coder);
    p.min = t.min;
    p.max = t.max;
    p.mean = t.mean;
    p.multiplier = unsaturated_multiplier(t.peak, m);
    return p;
}

std::vector<std::size_t> lengths_of(const Transformed& t) {
    std::vector<std::size_t> lengths;
    for (const auto& band : t.bands) lengths.push_back(band.size());
    return lengths;
}

}  // namespace

expected<std::vector<std::uint8_t>, CorvaneError> encode_stream(const Transformed& t, const CompressionConfig& config,
                                                                std::uint8_t scale, int threshold, float m) {
    const StreamParameters p = parameters_for(t, config, scale, m);
    const std::vector<std::size_t> lengths = lengths_of(t);
    auto payload = all_zero(t, p.multiplier) ? zeros_payload(lengths, p.coder)
                                             : encode_payload(quantise_bands(t, p.multiplier, threshold), p.coder);
    if (!payload) return unexpected(std::move(payload).error());
    return assemble_stream(CompressedSignal{std::move(*payload), p, 0});
}

expected<std::vector<std::uint8_t>, CorvaneError> encode_empty_stream(const Transformed& t,
                                                                      const CompressionConfig& config,
                                                                      std::uint8_t scale, float m, float mean) {
    StreamParameters p = parameters_for(t, config, scale, m);
    if (!all_zero(t, p.multiplier) || !std::isfinite(mean)) {
        return unexpected(CorvaneError::unsupported_configuration("An empty base keeps no coefficient and a finite mean"));
    }
    p.mean = mean;
    auto payload = zeros_payload(lengths_of(t), p.coder);
    if (!payload) return unexpected(std::move(payload).error());
    return assemble_stream(CompressedSignal{std::move(*payload), p, 0});
}

expected<std::span<const float>, CorvaneError> reconstruct_empty(const Transformed& t, float mean,
                                                                 Reconstruction& scratch) {
    scratch.lengths = lengths_of(t);
    auto done = zeros_decoded(t.method, *t.executor, scratch.lengths, t.min, t.max, mean, t.n, scratch.samples);
    if (!done) return unexpected(std::move(done).error());
    return std::span<const float>(scratch.samples);
}

}  // namespace tuning
}  // namespace corvane
