// The transform interfaces the codec works through, and the values they trade.
//
// A single-level transform implements IncompleteDwtExecutor; a DwtExecutor adds
// the single- and multi-level drivers (LevelDrivers, level_drivers.hpp). Every operation is const: executors are
// immutable once built and may be shared between threads through shared_ptr.
// The declaration order of the virtual operations is fixed; add new ones last.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "corvane/expected.hpp"
#include "wavelet/wavelet_error.hpp"

namespace corvane::wavelet {

// Lengths of the two halves one forward level produces.
struct DwtSize {
    std::size_t approx_length;
    std::size_t details_length;
    friend bool operator==(const DwtSize&, const DwtSize&) = default;
};

// One level of a decomposition.
struct Dwt {
    std::vector<float> approximations;
    std::vector<float> details;
};

// Entry 0 is the finest level (computed from the signal), the last the coarsest.
// Every entry keeps its own approximation.
struct MultiDwt {
    std::vector<Dwt> levels;
};

// Views the caller owns: details finest first, then the coarsest approximation.
struct MultiDwtInput {
    std::span<const std::span<const float>> details;
    std::span<const float> approximation;
};

using Status = corvane::expected<void, WaveletError>;

class DwtForwardExecutor {
public:
    virtual ~DwtForwardExecutor() = default;
    // One forward level. Checks the lengths, then overwrites every output element.
    virtual Status execute_forward(std::span<const float> input, std::span<float> approximation,
                                   std::span<float> details) const = 0;
    virtual Status execute_forward_with_scratch(std::span<const float> input, std::span<float> approximation,
                                                std::span<float> details, std::span<float> scratch) const = 0;
    virtual std::size_t required_scratch_size(std::size_t n) const = 0;
    virtual DwtSize dwt_size(std::size_t n) const = 0;
};

class DwtInverseExecutor {
public:
    virtual ~DwtInverseExecutor() = default;
    virtual Status execute_inverse(std::span<const float> approximation, std::span<const float> details,
                                   std::span<float> output) const = 0;
    virtual std::size_t idwt_size(std::size_t approx_length, std::size_t details_length) const = 0;
};

class IncompleteDwtExecutor : public DwtForwardExecutor, public DwtInverseExecutor {
public:
    virtual std::size_t filter_length() const = 0;
};

class DwtExecutor : public IncompleteDwtExecutor {
public:
    // The level-th level of the decomposition (0 counts as 1); earlier details are dropped.
    virtual corvane::expected<Dwt, WaveletError> dwt(std::span<const float> input, std::size_t level) const = 0;
    virtual corvane::expected<MultiDwt, WaveletError> multi_dwt(std::span<const float> input,
                                                                std::size_t levels) const = 0;
    virtual corvane::expected<std::vector<float>, WaveletError> idwt(std::span<const float> approximation,
                                                                     std::span<const float> details) const = 0;
    virtual corvane::expected<std::vector<float>, WaveletError> multi_idwt(const MultiDwtInput& input) const = 0;
    // execute_inverse for a caller whose approximation and details are
    // working memory it is done with: the transform may overwrite them (what
    // they hold afterwards is unspecified) rather than take memory of its
    // own. The output is the same; none of the three may overlap.
    virtual Status execute_inverse_consuming(std::span<float> approximation, std::span<float> details,
                                             std::span<float> output) const {
        return execute_inverse(approximation, details, output);
    }
};

// Level sizes of a `levels`-level decomposition of a transform of length n:
// n0 = n, (a_k, d_k) = dwt_size(n_k), n_{k+1} = a_k. Encoder and decoder both
// derive the band layout from this alone. (levels 0 counts as 1.)
std::vector<DwtSize> decomposition_layout(const DwtForwardExecutor& executor, std::size_t n, std::size_t levels);

// A zero-filled vector of `count` values, or the allocation error if memory
// (or the addressable size) runs out.
corvane::expected<std::vector<float>, WaveletError> zeroed_vector(std::size_t count);

// Grows or shrinks `v` to `count` values, zero-filling any new ones; fails
// like zeroed_vector when memory runs out, leaving `v` as it was.
Status resize_zeroed(std::vector<float>& v, std::size_t count);

// Capacity to reserve for a list of `levels` levels. No transform survives more
// than a few dozen levels (each roughly halves its input), so a huge request
// must not turn into a huge reservation.
inline std::size_t level_reservation(std::size_t levels) { return levels < 64 ? levels : 64; }

}  // namespace corvane::wavelet
