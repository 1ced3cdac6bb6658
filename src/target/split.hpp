// Largest-error targets with the refinement: a coarser base stream and the
// corrections that bring every sample within the bound, or the base alone
// when it needs none.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "corvane/corvane.hpp"

namespace corvane::target {

// What the decoded samples are held against: the samples in single precision
// (`narrow`, what the codec codes) and, when the caller holds them wider,
// in double precision (`wide`, else empty). `integers`: the samples are
// integers, corrected to integers, so the bound holds as floor(bound).
// `reader_rounds`: the chunk's reader rounds what it decodes to integers (an
// integer sample type); float samples that happen to be integers are read
// as they decode, so a base alone is judged by its own error for them.
struct Held {
    std::span<const float> narrow;
    std::span<const double> wide;
    bool integers = false;
    bool reader_rounds = false;

    double operator[](std::size_t i) const { return wide.empty() ? static_cast<double>(narrow[i]) : wide[i]; }
};

// The smallest stream the search finds whose decoded samples all lie within
// `bound` of the held samples: a refined chunk, or a plain stream when its
// base already keeps the bound. Decoded and checked before it is returned.
// A float bound below what single precision can hold of the samples (only
// wider samples have one) is refused as UnreachableTarget.
expected<std::vector<std::uint8_t>, TuningError> refined_at_largest_error(const Held& held,
                                                                          const CompressionConfig& config,
                                                                          double bound);

}  // namespace corvane::target
