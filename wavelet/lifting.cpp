#include "wavelet/lifting.hpp"

#include <algorithm>
#include <utility>

namespace corvane::wavelet {

Status LiftingDwtExecutor::execute_forward_with_scratch(std::span<const float> input,
                                                        std::span<float> approximation, std::span<float> details,
                                                        std::span<float>) const {
    return execute_forward(input, approximation, details);
}

Status LiftingDwtExecutor::check_forward(std::size_t n, std::size_t approx, std::size_t details) const {
    if (n < minimum_length_) return corvane::unexpected(WaveletError::input_too_short(n, minimum_length_));
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
    const std::size_t required_details = std::max<std::size_t>(output / 2, minimum_length_ - 2);
    if (details != required_details) {
        return corvane::unexpected(WaveletError::approx_size_mismatch(details, required_details));
    }
    return {};
}

corvane::expected<lifting::Halves, WaveletError> LiftingDwtExecutor::split_level(std::span<const float> input,
                                                                                std::span<float> approximation,
                                                                                std::span<float> details) const {
    if (auto ok = check_forward(input.size(), approximation.size(), details.size()); !ok) {
        return corvane::unexpected(ok.error());
    }
    lifting::split(input.data(), input.size(), approximation.data(), details.data());
    return lifting::Halves{approximation.data(), approximation.size(), details.data(), details.size()};
}

corvane::expected<lifting::Interleaved, WaveletError> LiftingDwtExecutor::inverse_output(
    std::span<const float> approximation, std::span<const float> details, std::span<float> output) const {
    if (auto ok = check_inverse(approximation.size(), details.size(), output.size()); !ok) {
        return corvane::unexpected(ok.error());
    }
    return lifting::Interleaved{output.data(), approximation.size(), details.size()};
}

corvane::expected<Dwt, WaveletError> LiftingDwtExecutor::single_level(std::span<const float> input) const {
    const std::size_t n = input.size();
    auto approx = zeroed_vector(n - n / 2);
    if (!approx) return corvane::unexpected(approx.error());
    auto details = zeroed_vector(n / 2);
    if (!details) return corvane::unexpected(details.error());
    if (auto done = execute_forward(input, *approx, *details); !done) return corvane::unexpected(done.error());
    return Dwt{std::move(*approx), std::move(*details)};
}

corvane::expected<Dwt, WaveletError> LiftingDwtExecutor::dwt(std::span<const float> input,
                                                             std::size_t level) const {
    if (input.size() < minimum_length_) return corvane::unexpected(WaveletError::buffer_too_small_for_level());
    if (level <= 1) return single_level(input);

    return repeat_level(input, level, minimum_length_,
                        [this](std::span<const float> in) { return single_level(in); });
}

corvane::expected<MultiDwt, WaveletError> LiftingDwtExecutor::multi_dwt(std::span<const float> input,
                                                                        std::size_t levels) const {
    const std::size_t n = input.size();
    if (n < minimum_length_) return corvane::unexpected(WaveletError::buffer_too_small_for_level());
    if (levels <= 1) return as_decomposition(single_level(input));

    // `current` is this level's input and `next` receives its approximation;
    // they swap roles every level, so only the stored copies are allocated.
    // The first level reads the caller's signal in place.
    MultiDwt result;
    result.levels.reserve(level_reservation(levels));
    std::vector<float> current;
    auto next = zeroed_vector(n - n / 2);
    if (!next) return corvane::unexpected(next.error());
    for (std::size_t k = 0; k < levels; ++k) {
        const std::span<const float> level_input = k == 0 ? input : std::span<const float>(current);
        const std::size_t len = level_input.size();
        if (len < minimum_length_) return corvane::unexpected(WaveletError::buffer_too_small_for_level());
        if (auto sized = resize_zeroed(*next, len - len / 2); !sized) return corvane::unexpected(sized.error());
        auto details = zeroed_vector(len / 2);
        if (!details) return corvane::unexpected(details.error());
        if (auto done = execute_forward(level_input, *next, *details); !done) {
            return corvane::unexpected(done.error());
        }
        result.levels.push_back(Dwt{*next, std::move(*details)});
        std::swap(current, *next);
    }
    return result;
}

corvane::expected<std::vector<float>, WaveletError> LiftingDwtExecutor::idwt(std::span<const float> approximation,
                                                                             std::span<const float> details) const {
    auto output = zeroed_vector(approximation.size() + details.size());
    if (!output) return output;
    if (auto done = execute_inverse(approximation, details, *output); !done) {
        return corvane::unexpected(done.error());
    }
    return output;
}

corvane::expected<std::vector<float>, WaveletError> LiftingDwtExecutor::multi_idwt(const MultiDwtInput& input) const {
    if (input.details.empty() || input.approximation.empty()) {
        return corvane::unexpected(WaveletError::zero_sized_input());
    }
    auto r = idwt(input.approximation, input.details.back());
    for (std::size_t k = input.details.size() - 1; r && k-- > 0;) r = idwt(*r, input.details[k]);
    return r;
}

}  // namespace corvane::wavelet
