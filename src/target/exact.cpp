// The transform taken once, a candidate reconstructed exactly as the decoder
// would, and the error measures.
#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "src/compressor.hpp"
#include "src/target/stages.hpp"

namespace corvane {

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
    double mean = 0.0;
    for (const T v : x) mean += static_cast<double>(v);
    mean /= static_cast<double>(x.size());
    double spread = 0.0;
    double diff = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double c = static_cast<double>(x[i]) - mean;
        const double d = static_cast<double>(x[i]) - static_cast<double>(y[i]);
        spread += c * c;
        diff += d * d;
    }
    if (diff == 0.0) return 0.0;
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

expected<Transformed, CorvaneError> transform(std::span<const float> samples, Method method) {
    Transformed t;
    t.method = method;
    t.executor = make_executor(method);
    t.n = samples.size();
    t.levels = pick_levels(t.n, method);
    auto normalised = normalise_signal(samples, t.executor->filter_length());
    if (!normalised) return unexpected(std::move(normalised).error());
    t.min = normalised->min;
    t.max = normalised->max;
    t.mean = normalised->mean;
    auto dwt = t.executor->multi_dwt(normalised->samples, t.levels);
    if (!dwt) return unexpected(CorvaneError::wavelet(dwt.error().message()));
    normalised->samples = {};
    auto& levels = dwt->levels;
    t.bands.reserve(levels.size() + 1);
    t.bands.push_back(std::move(levels.back().approximations));
    for (auto& level : levels) t.bands.push_back(std::move(level.details));
    for (const auto& band : t.bands)
        for (const float v : band) t.peak = std::max(t.peak, std::abs(v));
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

expected<std::vector<float>, CorvaneError> reconstruct(const Transformed& t, float m, int threshold,
                                                       Reconstruction& scratch) {
    const float inv = 1.0f / m;
    scratch.bands.resize(t.bands.size());
    for (std::size_t b = 0; b < t.bands.size(); ++b) {
        const std::vector<float>& band = t.bands[b];
        std::vector<float>& dequantised = scratch.bands[b];
        scratch.quantised.resize(band.size());
        dequantised.resize(band.size());
        quantise_band(band, m, b == 0 ? 0 : threshold, scratch.quantised.data());
        for (std::size_t i = 0; i < band.size(); ++i) dequantised[i] = static_cast<float>(scratch.quantised[i]) * inv;
    }
    scratch.details.assign(scratch.bands.begin() + 1, scratch.bands.end());
    auto y = t.executor->multi_idwt(wavelet::MultiDwtInput{scratch.details, scratch.bands[0]});
    if (!y) return unexpected(CorvaneError::wavelet(y.error().message()));
    const float range = t.max - t.min;
    for (float& v : *y) {
        const float shifted = v + t.mean;
        const float scaled = range * shifted;
        v = t.min + scaled;
    }
    y->resize(t.n, 0.0f);
    return std::move(*y);
}

}  // namespace tuning
}  // namespace corvane
