#include "wavelet/cdf53f.hpp"


namespace corvane::wavelet {

namespace {
constexpr float kPredict = -0.5f;
constexpr float kUpdate = 0.25f;
}  // namespace

Status Cdf53::execute_forward(std::span<const float> input, std::span<float> approximation,
                              std::span<float> details) const {
    if (auto ok = check_forward(input.size(), approximation.size(), details.size()); !ok) return ok;
    float* s = approximation.data();
    float* d = details.data();
    const std::size_t na = approximation.size();
    const std::size_t nd = details.size();
    lifting::split(input.data(), input.size(), s, d);
    lifting::predict(d, nd, s, na, kPredict);
    lifting::update(s, na, d, nd, kUpdate);
    return {};
}

Status Cdf53::execute_inverse(std::span<const float> approximation, std::span<const float> details,
                              std::span<float> output) const {
    if (auto ok = check_inverse(approximation.size(), details.size(), output.size()); !ok) return ok;
    const std::size_t na = approximation.size();
    const std::size_t nd = details.size();
    // The inputs may not overlap the output: the steps run inside it.
    float* x = output.data();
    lifting::merge(approximation.data(), details.data(), output.size(), x);
    lifting::update_interleaved(x, na, nd, -kUpdate);
    lifting::predict_interleaved(x, nd, na, -kPredict);
    return {};
}

}  // namespace corvane::wavelet
