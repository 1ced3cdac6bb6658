// Turns a single-level transform into a full DwtExecutor: the one-level
// operations are `inner`'s, the drivers those of LevelDrivers, with every
// level at least filter_length long and the inverse matched (see DriverRules).
#pragma once

#include <memory>

#include "wavelet/level_drivers.hpp"

namespace corvane::wavelet {

class CompletedDwtExecutor final : public LevelDrivers {
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

private:
    std::shared_ptr<const IncompleteDwtExecutor> inner_;
};

}  // namespace corvane::wavelet
