#include "wavelet/completed_dwt_executor.hpp"

#include <utility>

namespace corvane::wavelet {

CompletedDwtExecutor::CompletedDwtExecutor(std::shared_ptr<const IncompleteDwtExecutor> inner)
    : inner_(std::move(inner)), filter_length_(inner_->filter_length()) {}

Status CompletedDwtExecutor::execute_forward(std::span<const float> input, std::span<float> approximation,
                                             std::span<float> details) const {
    return inner_->execute_forward(input, approximation, details);
}

Status CompletedDwtExecutor::execute_forward_with_scratch(std::span<const float> input,
                                                          std::span<float> approximation,
                                                          std::span<float> details,
                                                          std::span<float> scratch) const {
    return inner_->execute_forward_with_scratch(input, approximation, details, scratch);
}

std::size_t CompletedDwtExecutor::required_scratch_size(std::size_t n) const {
    return inner_->required_scratch_size(n);
}

DwtSize CompletedDwtExecutor::dwt_size(std::size_t n) const { return inner_->dwt_size(n); }

Status CompletedDwtExecutor::execute_inverse(std::span<const float> approximation, std::span<const float> details,
                                             std::span<float> output) const {
    return inner_->execute_inverse(approximation, details, output);
}

std::size_t CompletedDwtExecutor::idwt_size(std::size_t approx_length, std::size_t details_length) const {
    return inner_->idwt_size(approx_length, details_length);
}

std::size_t CompletedDwtExecutor::filter_length() const { return filter_length_; }

// One level with no length check of the driver's own: the transform's apply.
corvane::expected<Dwt, WaveletError> CompletedDwtExecutor::single_level(std::span<const float> input) const {
    const DwtSize size = dwt_size(input.size());
    auto approx = zeroed_vector(size.approx_length);
    if (!approx) return corvane::unexpected(approx.error());
    auto details = zeroed_vector(size.details_length);
    if (!details) return corvane::unexpected(details.error());
    if (auto done = execute_forward(input, *approx, *details); !done) return corvane::unexpected(done.error());
    return Dwt{std::move(*approx), std::move(*details)};
}

corvane::expected<Dwt, WaveletError> CompletedDwtExecutor::dwt(std::span<const float> input,
                                                               std::size_t level) const {
    if (level <= 1) return single_level(input);

    return repeat_level(input, level, filter_length_,
                        [this](std::span<const float> in) { return single_level(in); });
}

corvane::expected<MultiDwt, WaveletError> CompletedDwtExecutor::multi_dwt(std::span<const float> input,
                                                                          std::size_t levels) const {
    if (levels <= 1) return as_decomposition(single_level(input));

    // Two working vectors swap roles each level: the approximation written
    // into `next` is the following level's input, and the old input's storage
    // receives the following approximation. The first level reads the
    // caller's signal in place, so the signal itself is never copied.
    std::vector<float> current;
    auto next = zeroed_vector(dwt_size(input.size()).approx_length);
    if (!next) return corvane::unexpected(next.error());

    MultiDwt result;
    result.levels.reserve(level_reservation(levels));
    for (std::size_t k = 0; k < levels; ++k) {
        const std::span<const float> level_input = k == 0 ? input : std::span<const float>(current);
        if (level_input.size() < filter_length_) {
            return corvane::unexpected(WaveletError::buffer_too_small_for_level());
        }
        const DwtSize size = dwt_size(level_input.size());
        if (next->size() < size.approx_length) {
            if (auto grown = resize_zeroed(*next, size.approx_length); !grown) return corvane::unexpected(grown.error());
        }
        auto details = zeroed_vector(size.details_length);
        if (!details) return corvane::unexpected(details.error());
        const std::span<float> approx(next->data(), size.approx_length);
        if (auto done = execute_forward(level_input, approx, *details); !done) {
            return corvane::unexpected(done.error());
        }
        result.levels.push_back(Dwt{std::vector<float>(approx.begin(), approx.end()), std::move(*details)});
        next->resize(size.approx_length);
        std::swap(current, *next);
    }
    return result;
}

corvane::expected<std::vector<float>, WaveletError> CompletedDwtExecutor::idwt(
    std::span<const float> approximation, std::span<const float> details) const {
    if (approximation.size() != details.size()) {
        return corvane::unexpected(WaveletError::approx_details_mismatch(approximation.size(), details.size()));
    }
    auto output = zeroed_vector(idwt_size(approximation.size(), details.size()));
    if (!output) return output;
    if (auto done = execute_inverse(approximation, details, *output); !done) {
        return corvane::unexpected(done.error());
    }
    return output;
}

corvane::expected<std::vector<float>, WaveletError> CompletedDwtExecutor::multi_idwt(
    const MultiDwtInput& input) const {
    if (input.details.empty() || input.approximation.empty()) {
        return corvane::unexpected(WaveletError::zero_sized_input());
    }
    auto r = idwt(input.approximation, input.details.back());
    for (std::size_t k = input.details.size() - 1; r && k-- > 0;) {
        const std::span<const float> details = input.details[k];
        // An odd level reconstructs one sample more than it had; the trailing
        // sample is border extension and is dropped here.
        if (r->size() < details.size()) {
            return corvane::unexpected(WaveletError::approx_details_mismatch(r->size(), details.size()));
        }
        r = idwt(std::span<const float>(r->data(), details.size()), details);
    }
    return r;
}

}  // namespace corvane::wavelet
