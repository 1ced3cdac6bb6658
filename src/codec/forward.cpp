#include "src/codec/forward.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <utility>

#include "src/format/bands.hpp"

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

ForwardPlan plan_forward(const wavelet::DwtExecutor& executor, std::size_t sample_count, std::uint8_t levels) {
    ForwardPlan plan;
    plan.length = std::max(sample_count, executor.filter_length());
    plan.layout = wavelet::decomposition_layout(executor, plan.length, levels);
    plan.signal = plan.length;
    for (std::size_t k = 0; k < plan.layout.size(); ++k) {
        std::size_t& store = k % 2 == 0 ? plan.half : plan.signal;
        store = std::max(store, plan.layout[k].approx_length);
        plan.details = std::max(plan.details, plan.layout[k].details_length);
        if (k % 2 == 1) plan.odd_approx = std::max(plan.odd_approx, plan.layout[k].approx_length);
    }
    plan.lengths = lengths_in_stream_order(plan.layout);
    plan.offsets = band_offsets(plan.lengths);
    return plan;
}

expected<void, CorvaneError> run_forward(const wavelet::DwtExecutor& executor, const ForwardPlan& plan, float* signal,
                                         float* half, float* details, BandSink& sink) {
    const std::span<const wavelet::DwtSize> layout = plan.layout;
    std::span<const float> input(signal, plan.signal);
    for (std::size_t k = 0; k < layout.size(); ++k) {
        const std::span<float> approx(k % 2 == 0 ? half : signal, layout[k].approx_length);
        const std::span<float> detail(details, layout[k].details_length);
        if (auto done = executor.execute_forward(input, approx, detail); !done) {
            return unexpected(CorvaneError::wavelet(done.error().message()));
        }
        sink.take(k + 1, detail);
        input = approx;
    }
    sink.take(0, input);
    return {};
}

void QuantisingSink::take(std::size_t band, std::span<const float> coefficients) {
    if (values_ == nullptr) values_ = store_();
    const float peak = quantise_band(coefficients, m_, band == 0 ? 0 : threshold_, values_ + offsets_[band]);
    peak_ = std::max(peak_, peak);
}

expected<QuantisedBands, CorvaneError> decompose_and_quantise(const wavelet::DwtExecutor& executor,
                                                              std::vector<float> signal, std::uint8_t levels,
                                                              float m, int threshold) {
    const ForwardPlan plan = plan_forward(executor, signal.size(), levels);
    signal.resize(plan.signal);
    const auto half = std::make_unique_for_overwrite<float[]>(plan.half);
    const auto details = std::make_unique_for_overwrite<float[]>(plan.details);
    QuantisedBands out;
    out.lengths = plan.lengths;
    out.values.resize(plan.offsets.back());
    QuantisingSink sink([&] { return out.values.data(); }, plan.offsets, m, threshold);
    if (auto done = run_forward(executor, plan, signal.data(), half.get(), details.get(), sink); !done) {
        return unexpected(std::move(done).error());
    }
    out.peak = sink.peak();
    return out;
}

}  // namespace corvane
