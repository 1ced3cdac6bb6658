#include "wavelet/tap_tables.hpp"

#include <array>

namespace corvane::wavelet {

namespace {

// Four vanishing moments, minimum phase.
constexpr std::array<double, 8> kDaubechies8{
    0.2303778133088965,   0.7148465705529157,  0.6308807679298589, -0.027983769416859854,
    -0.18703481171909309, 0.030841381835560764, 0.0328830116668852, -0.010597401785069032,
};

// Four vanishing moments, least asymmetric.
constexpr std::array<double, 8> kSymlet8{
    0.0322231006040427, -0.012603967262037833, -0.09921954357684722, 0.29785779560527736,
    0.8037387518059161, 0.49761866763201545,   -0.02963552764599851, -0.07576571478927333,
};

constexpr std::size_t kDaubechies8Order = 3;
constexpr std::size_t kSymlet8Order = 2;

std::vector<float> to_single(std::span<const double> taps) {
    std::vector<float> out;
    out.reserve(taps.size());
    for (const double t : taps) out.push_back(static_cast<float>(t));
    return out;
}

}  // namespace

std::span<const double> DaubechiesFamily::taps(std::size_t order) {
    if (order == kDaubechies8Order) return kDaubechies8;
    return {};
}

std::vector<float> DaubechiesFamily::get_wavelet(std::size_t order) { return to_single(taps(order)); }

std::span<const double> SymletFamily::taps(std::size_t order) {
    if (order == kSymlet8Order) return kSymlet8;
    return {};
}

std::vector<float> SymletFamily::get_wavelet(std::size_t order) { return to_single(taps(order)); }

std::vector<float> low_pass_to_high(std::span<const float> low_pass) {
    const std::size_t length = low_pass.size();
    std::vector<float> high(length);
    for (std::size_t m = 0; m < length; ++m) {
        const float mirrored = low_pass[length - 1 - m];
        high[m] = (m % 2 == 0) ? mirrored : -mirrored;
    }
    return high;
}

}  // namespace corvane::wavelet
