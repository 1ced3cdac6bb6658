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
    const auto level = split_level(input, approximation, details);
    if (!level) return corvane::unexpected(level.error());
    level->predict(kAlpha);
    level->update(kBeta);
    level->predict(kGamma);
    level->update(kDelta);
    lifting::scale(level->s, level->approx, kApproxScale);
    lifting::scale(level->d, level->details, kDetailScale);
    return {};
}

Status Cdf97::execute_inverse(std::span<const float> approximation, std::span<const float> details,
                              std::span<float> output) const {
    const auto level = inverse_output(approximation, details, output);
    if (!level) return corvane::unexpected(level.error());
    lifting::merge_scaled(approximation.data(), kDetailScale, details.data(), kApproxScale, output.size(), level->x);
    level->update(-kDelta);
    level->predict(-kGamma);
    level->update(-kBeta);
    level->predict(-kAlpha);
    return {};
}

}  // namespace corvane::wavelet
