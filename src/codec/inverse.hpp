// The inverse pipeline, the one way coefficients become samples: the bands
// recomposed from the coarsest level to the finest, then the signal's range,
// mean and sample count restored. The decoder reads its bands from a
// payload; the target search quantises its own, and reaches exactly the
// samples the decoder would.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "corvane/corvane.hpp"
#include "wavelet/dwt_executor.hpp"

namespace corvane {

// Hands out the bands a reconstruction reads, dequantised: the coarsest
// approximation (band 0) first, then the details from the coarsest level
// (the last band) to the finest (band 1).
class BandSupply {
public:
    // Band `band` into out[0 .. length), its length in stream order.
    virtual void give(std::size_t band, std::size_t length, float* out) = 0;

protected:
    ~BandSupply() = default;
};

// A reconstruction's working memory besides its output: the levels'
// approximations that do not land in the output, and one level's details.
// A caller that reconstructs again and again keeps it; it grows as needed and
// is never cleared (every level overwrites what it reads).
class InverseWork {
public:
    float* half(std::size_t count) { return grow(half_, half_size_, count); }
    float* details(std::size_t count) { return grow(details_, details_size_, count); }

private:
    static float* grow(std::unique_ptr<float[]>& store, std::size_t& size, std::size_t count);
    std::unique_ptr<float[]> half_, details_;
    std::size_t half_size_ = 0, details_size_ = 0;
};

// The signal the bands of `lengths` (stream order) recompose to, at the
// length the last level writes.
expected<std::vector<float>, CorvaneError> recompose(Method method, const wavelet::DwtExecutor& executor,
                                                     std::span<const std::size_t> lengths, BandSupply& supply,
                                                     InverseWork& work);

// The length recompose() gives the bands of `lengths`: that of a signal of
// zeros, were every band all zeros.
expected<std::size_t, CorvaneError> recomposed_length(Method method, const wavelet::DwtExecutor& executor,
                                                      std::span<const std::size_t> lengths);

// The same into `out`, whose storage a caller that recomposes again and
// again keeps (resized to the signal's length).
expected<void, CorvaneError> recompose_into(Method method, const wavelet::DwtExecutor& executor,
                                            std::span<const std::size_t> lengths, BandSupply& supply,
                                            InverseWork& work, std::vector<float>& out);

// The statistics normalisation removed, restored in place: t + mean, scaled
// by the range, then min added, each step in single precision. The result is
// cut or padded with zeros to `sample_count`.
void denormalise(std::vector<float>& out, float min, float max, float mean, std::size_t sample_count);

}  // namespace corvane
