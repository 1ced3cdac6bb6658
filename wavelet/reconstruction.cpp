#include "wavelet/reconstruction.hpp"

#include <algorithm>

namespace corvane::wavelet {

corvane::expected<std::vector<InverseLevel>, WaveletError> plan_reconstruction(
    Transform transform, const DwtInverseExecutor& executor, std::size_t approx_length,
    std::span<const std::size_t> details_lengths) {
    const std::size_t levels = details_lengths.size();
    std::vector<InverseLevel> plan(levels);
    std::size_t have = approx_length;
    for (std::size_t k = levels; k-- > 0;) {
        const std::size_t d = details_lengths[k];
        if (is_lifting(transform)) {
            // Each reconstruction passes whole to the next level.
            plan[k] = {have, d, have + d};
        } else {
            // A filter bank keeps the first d values of the approximation it
            // is handed; the rest is border extension.
            const bool coarsest = k + 1 == levels;
            if (coarsest ? have != d : have < d) {
                return corvane::unexpected(WaveletError::approx_details_mismatch(have, d));
            }
            plan[k] = {d, d, executor.idwt_size(d, d)};
        }
        have = plan[k].output;
    }
    return plan;
}

Status inverse_level(Transform transform, const DwtExecutor& executor, const InverseLevel& level, float* approx,
                     float* details, float* output) {
    // Filter banks add their synthesis into the output.
    if (!is_lifting(transform)) std::fill_n(output, level.output, 0.0f);
    return executor.execute_inverse_consuming(std::span<float>(approx, level.approx),
                                              std::span<float>(details, level.details),
                                              std::span<float>(output, level.output));
}

}  // namespace corvane::wavelet
