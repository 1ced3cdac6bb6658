#include "wavelet/completed_dwt_executor.hpp"

#include <utility>

namespace corvane::wavelet {

// The filter length is asked once; the drivers consult it every level.
CompletedDwtExecutor::CompletedDwtExecutor(std::shared_ptr<const IncompleteDwtExecutor> inner)
    : LevelDrivers({inner->filter_length(), false, true}), inner_(std::move(inner)) {}

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

// The drivers' minimum is the filter length.
std::size_t CompletedDwtExecutor::filter_length() const { return rules().minimum; }

}  // namespace corvane::wavelet
