#include "wavelet/cdf53f.hpp"


namespace corvane::wavelet {

namespace {
constexpr float kPredict = -0.5f;
constexpr float kUpdate = 0.25f;
}  // namespace

Status Cdf53::execute_forward(std::span<const float> input, std::span<float> approximation,
                              std::span<float> details) const {
    const auto level = split_level(input, approximation, details);
    if (!level) return corvane::unexpected(level.error());
    level->predict(kPredict);
    level->update(kUpdate);
    return {};
}

Status Cdf53::execute_inverse(std::span<const float> approximation, std::span<const float> details,
                              std::span<float> output) const {
    const auto level = inverse_output(approximation, details, output);
    if (!level) return corvane::unexpected(level.error());
    lifting::merge(approximation.data(), details.data(), output.size(), level->x);
    level->update(-kUpdate);
    level->predict(-kPredict);
    return {};
}

}  // namespace corvane::wavelet
