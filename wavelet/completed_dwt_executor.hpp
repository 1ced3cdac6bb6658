// Turns a single-level transform into a full DwtExecutor: the level drivers
// live here, the arithmetic stays in `inner`.
#pragma once

#include <memory>

#include "wavelet/dwt_executor.hpp"

namespace corvane::wavelet {

class CompletedDwtExecutor final : public DwtExecutor {
public:
    explicit CompletedDwtExecutor(std::shared_ptr<const IncompleteDwtExecutor> inner);

    Status execute_forward(std::span<const float> input, std::span<float> approximation,
                           std::span<float> details) const override;
    Status execute_forward_with_scratch(std::span<const float> input, std::span<float> approximation,
                                        std::span<float> details, std::span<float> scratch) const override;
    std::size_t required_scratch_size(std::size_t n) const override;
    DwtSize dwt_size(std::size_t n) const override;
    Status execute_inverse(std::span<const float> approximation, std::span<const float> details,
                           std::span<float> output) const override;
    std::size_t idwt_size(std::size_t approx_length, std::size_t details_length) const override;
    std::size_t filter_length() const override;
    corvane::expected<Dwt, WaveletError> dwt(std::span<const float> input, std::size_t level) const override;
    corvane::expected<MultiDwt, WaveletError> multi_dwt(std::span<const float> input,
                                                        std::size_t levels) const override;
    corvane::expected<std::vector<float>, WaveletError> idwt(std::span<const float> approximation,
                                                             std::span<const float> details) const override;
    corvane::expected<std::vector<float>, WaveletError> multi_idwt(const MultiDwtInput& input) const override;

private:
    corvane::expected<Dwt, WaveletError> single_level(std::span<const float> input) const;

    std::shared_ptr<const IncompleteDwtExecutor> inner_;
    std::size_t filter_length_;  // asked once; the drivers consult it every level
};

}  // namespace corvane::wavelet
