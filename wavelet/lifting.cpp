#include "wavelet/lifting.hpp"

#include <algorithm>
#include <memory>
#include <new>

namespace corvane::wavelet {

namespace {

// Steps i = 0, 1, ... alternate predict and update, a predict first.
bool is_predict(std::size_t step) { return step % 2 == 0; }

// Room for one half of an inverse level; its contents are left undefined.
corvane::expected<std::unique_ptr<float[]>, WaveletError> working_half(std::size_t count) {
    try {
        return std::make_unique_for_overwrite<float[]>(count);
    } catch (const std::bad_alloc&) {
        return corvane::unexpected(WaveletError::allocation_failed(count));
    }
}

}  // namespace

LiftingDwtExecutor::LiftingDwtExecutor(const LiftingScheme& scheme)
    : LevelDrivers({scheme.minimum_length, true, false}), scheme_(scheme) {}

Status LiftingDwtExecutor::check_forward(std::size_t n, std::size_t approx, std::size_t details) const {
    const std::size_t minimum = scheme_.minimum_length;
    if (n < minimum) return corvane::unexpected(WaveletError::input_too_short(n, minimum));
    // The message quotes the signal length as the requirement.
    if (approx != n - n / 2) return corvane::unexpected(WaveletError::approx_size_mismatch(approx, n));
    if (details != n / 2) return corvane::unexpected(WaveletError::approx_size_mismatch(details, n));
    return {};
}

Status LiftingDwtExecutor::check_inverse(std::size_t approx, std::size_t details, std::size_t output) const {
    if (approx + details != output) {
        return corvane::unexpected(WaveletError::output_size_mismatch(output, approx + details));
    }
    const std::size_t required_approx = std::max<std::size_t>(output - output / 2, 2);
    if (approx != required_approx) return corvane::unexpected(WaveletError::approx_size_mismatch(approx, required_approx));
    // The smallest reconstruction is the minimum forward length: 2 + 1 or 2 + 2.
    const std::size_t required_details = std::max<std::size_t>(output / 2, scheme_.minimum_length - 2);
    if (details != required_details) {
        return corvane::unexpected(WaveletError::approx_size_mismatch(details, required_details));
    }
    return {};
}

Status LiftingDwtExecutor::execute_forward(std::span<const float> input, std::span<float> approximation,
                                           std::span<float> details) const {
    if (auto ok = check_forward(input.size(), approximation.size(), details.size()); !ok) {
        return corvane::unexpected(ok.error());
    }
    lifting::split(input.data(), input.size(), approximation.data(), details.data());
    const lifting::Halves level{approximation.data(), approximation.size(), details.data(), details.size()};
    for (std::size_t i = 0; i < scheme_.steps.size(); ++i) {
        if (is_predict(i)) {
            level.predict(scheme_.steps[i]);
        } else {
            level.update(scheme_.steps[i]);
        }
    }
    if (scheme_.scaled) {
        lifting::scale(level.s, level.approx, scheme_.approx_scale);
        lifting::scale(level.d, level.details, scheme_.detail_scale);
    }
    return {};
}

Status LiftingDwtExecutor::execute_forward_with_scratch(std::span<const float> input,
                                                        std::span<float> approximation, std::span<float> details,
                                                        std::span<float>) const {
    return execute_forward(input, approximation, details);
}

void LiftingDwtExecutor::place(const float* from, std::size_t count, float factor, float* to) const {
    if (scheme_.scaled) {
        lifting::scale_into(from, count, factor, to);
    } else {
        std::copy_n(from, count, to);
    }
}

void LiftingDwtExecutor::lift_and_merge(std::span<float> output, std::size_t approx, float* d,
                                        std::size_t details) const {
    const lifting::Halves level{output.data(), approx, d, details};
    for (std::size_t i = scheme_.steps.size(); i-- > 0;) {
        if (is_predict(i)) {
            level.predict(-scheme_.steps[i]);
        } else {
            level.update(-scheme_.steps[i]);
        }
    }
    lifting::merge_in_place(output.data(), approx, d, details);
}

// Each half is multiplied by the other half's scale on its way in.
Status LiftingDwtExecutor::execute_inverse(std::span<const float> approximation, std::span<const float> details,
                                           std::span<float> output) const {
    if (auto ok = check_inverse(approximation.size(), details.size(), output.size()); !ok) {
        return corvane::unexpected(ok.error());
    }
    auto d = working_half(details.size());
    if (!d) return corvane::unexpected(d.error());
    place(approximation.data(), approximation.size(), scheme_.detail_scale, output.data());
    place(details.data(), details.size(), scheme_.approx_scale, d->get());
    lift_and_merge(output, approximation.size(), d->get(), details.size());
    return {};
}

Status LiftingDwtExecutor::execute_inverse_consuming(std::span<float> approximation, std::span<float> details,
                                                     std::span<float> output) const {
    if (auto ok = check_inverse(approximation.size(), details.size(), output.size()); !ok) {
        return corvane::unexpected(ok.error());
    }
    place(approximation.data(), approximation.size(), scheme_.detail_scale, output.data());
    if (scheme_.scaled) lifting::scale(details.data(), details.size(), scheme_.approx_scale);
    lift_and_merge(output, approximation.size(), details.data(), details.size());
    return {};
}

}  // namespace corvane::wavelet
