#include "wavelet/cdf97f.hpp"

#include <bit>
#include <cstdint>

namespace corvane::wavelet {

namespace {

constexpr float kAlpha = std::bit_cast<float>(std::uint32_t{0xBFCB0673u});  // -1.5861343
constexpr float kBeta = std::bit_cast<float>(std::uint32_t{0xBD5901AEu});   // -0.052980117
constexpr float kGamma = std::bit_cast<float>(std::uint32_t{0x3F620676u});  //  0.8829111
constexpr float kDelta = std::bit_cast<float>(std::uint32_t{0x3EE31355u});  //  0.44350687
constexpr float kApproxScale = std::bit_cast<float>(std::uint32_t{0x3F93263Du});  // 1.1496044
// Stored, not computed: 1 / 1.1496044 in single precision is one ulp lower.
constexpr float kDetailScale = std::bit_cast<float>(std::uint32_t{0x3F5EAF70u});  // 0.86986446

}  // namespace

Status Cdf97::execute_forward(std::span<const float> input, std::span<float> approximation,
                              std::span<float> details) const {
    if (auto ok = check_forward(input.size(), approximation.size(), details.size()); !ok) return ok;
    float* s = approximation.data();
    float* d = details.data();
    const std::size_t na = approximation.size();
    const std::size_t nd = details.size();
    lifting::split(input.data(), input.size(), s, d);
    lifting::predict(d, nd, s, na, kAlpha);
    lifting::update(s, na, d, nd, kBeta);
    lifting::predict(d, nd, s, na, kGamma);
    lifting::update(s, na, d, nd, kDelta);
    lifting::scale(s, na, kApproxScale);
    lifting::scale(d, nd, kDetailScale);
    return {};
}

Status Cdf97::execute_inverse(std::span<const float> approximation, std::span<const float> details,
                              std::span<float> output) const {
    if (auto ok = check_inverse(approximation.size(), details.size(), output.size()); !ok) return ok;
    const std::size_t na = approximation.size();
    const std::size_t nd = details.size();
    // The inputs may not overlap the output: the steps run inside it.
    float* x = output.data();
    lifting::merge_scaled(approximation.data(), kDetailScale, details.data(), kApproxScale, output.size(), x);
    lifting::update_interleaved(x, na, nd, -kDelta);
    lifting::predict_interleaved(x, nd, na, -kGamma);
    lifting::update_interleaved(x, na, nd, -kBeta);
    lifting::predict_interleaved(x, nd, na, -kAlpha);
    return {};
}

}  // namespace corvane::wavelet
