// The single- and multi-level drivers both executor families share, over a
// transform's one level (execute_forward, execute_inverse) and its sizes.
// The families differ in three rules, fixed when the executor is built.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "wavelet/dwt_executor.hpp"

namespace corvane::wavelet {

struct DriverRules {
    // The shortest input any level takes; every level of a multi-level run,
    // the first included, is checked against it before it runs.
    std::size_t minimum;
    // dwt and multi_dwt refuse an input shorter than the minimum on entry,
    // for every level count, before the level's own checks (the lifting
    // transforms); otherwise a single level is left to the level's checks.
    bool check_on_entry;
    // idwt takes A = D only and sizes its output by idwt_size; multi_idwt
    // trims each reconstruction to the next level's details, the trailing
    // sample of an odd level being border extension (the filter banks).
    // Otherwise idwt's output holds A + D values, A = D + 1 allowed, and each
    // reconstruction passes whole to the next level (the lifting transforms).
    bool matched_inverse;
};

class LevelDrivers : public DwtExecutor {
public:
    corvane::expected<Dwt, WaveletError> dwt(std::span<const float> input, std::size_t level) const final;
    corvane::expected<MultiDwt, WaveletError> multi_dwt(std::span<const float> input,
                                                        std::size_t levels) const final;
    corvane::expected<std::vector<float>, WaveletError> idwt(std::span<const float> approximation,
                                                             std::span<const float> details) const final;
    corvane::expected<std::vector<float>, WaveletError> multi_idwt(const MultiDwtInput& input) const final;

protected:
    explicit LevelDrivers(DriverRules rules) : rules_(rules) {}

    const DriverRules& rules() const noexcept { return rules_; }

private:
    // One level with no length check of the driver's own: the level's.
    corvane::expected<Dwt, WaveletError> single_level(std::span<const float> input) const;

    DriverRules rules_;
};

}  // namespace corvane::wavelet
