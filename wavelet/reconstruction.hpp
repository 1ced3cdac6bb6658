// Multi-level reconstruction from stored bands, written the same way for
// every transform: the sizes of all levels are settled first (so buffers are
// allocated once), then each level overwrites its output.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "corvane/expected.hpp"
#include "wavelet/dwt_executor.hpp"
#include "wavelet/factory.hpp"
#include "wavelet/wavelet_error.hpp"

namespace corvane::wavelet {

struct InverseLevel {
    std::size_t approx = 0;   // approximation values the level reads
    std::size_t details = 0;  // detail values it reads
    std::size_t output = 0;   // values it writes
};

// The levels of a reconstruction from a coarsest approximation of
// `approx_length` values and details_lengths[k] detail values at level k
// (0 the finest); entry k is level k, run from the last entry to the first,
// each reading the previous one's output as its approximation. A filter bank
// reads as many approximation values as the level has details, so it needs at
// least that many (exactly that many at the coarsest level).
corvane::expected<std::vector<InverseLevel>, WaveletError> plan_reconstruction(
    Transform transform, const DwtInverseExecutor& executor, std::size_t approx_length,
    std::span<const std::size_t> details_lengths);

// One level of a plan: reads approx[0 .. level.approx) and
// details[0 .. level.details), overwrites output[0 .. level.output). The
// level may overwrite what it reads too (the lifting transforms work inside
// their details).
Status inverse_level(Transform transform, const DwtExecutor& executor, const InverseLevel& level, float* approx,
                     float* details, float* output);

}  // namespace corvane::wavelet
