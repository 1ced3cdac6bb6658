// CDF 9/7 biorthogonal wavelet by lifting: predict (alpha), update (beta),
// predict (gamma), update (delta), then scale the approximation by zeta and
// the details by a stored 1/zeta. The inverse runs the negated steps in
// reverse order after swapping the two scales. Minimum level length 4.
#include <bit>
#include <cstdint>

#include "wavelet/lifting.hpp"

namespace corvane::wavelet {

namespace {

constexpr float kSteps[] = {
    std::bit_cast<float>(std::uint32_t{0xBFCB0673u}),  // alpha -1.5861343
    std::bit_cast<float>(std::uint32_t{0xBD5901AEu}),  // beta  -0.052980117
    std::bit_cast<float>(std::uint32_t{0x3F620676u}),  // gamma  0.8829111
    std::bit_cast<float>(std::uint32_t{0x3EE31355u}),  // delta  0.44350687
};
constexpr float kApproxScale = std::bit_cast<float>(std::uint32_t{0x3F93263Du});  // zeta 1.1496044
// Stored, not computed: 1 / 1.1496044 in single precision is one ulp lower.
constexpr float kDetailScale = std::bit_cast<float>(std::uint32_t{0x3F5EAF70u});  // 0.86986446

}  // namespace

const LiftingScheme kCdf97{4, 10, kSteps, true, kApproxScale, kDetailScale};

}  // namespace corvane::wavelet
