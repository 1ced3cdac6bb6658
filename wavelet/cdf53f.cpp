// CDF 5/3 biorthogonal wavelet by lifting: one predict and one update step,
// no scaling. Coefficients of a level of n >= 3 samples:
//   d[i] = x[2i+1] + (-0.5) * (x[2i] + x[2i+2])   (x[n-2] mirrors x[n] for even n)
//   s[j] = x[2j]   + 0.25   * (d[j-1] + d[j])     (mirrored at both ends)
#include "wavelet/lifting.hpp"

namespace corvane::wavelet {

namespace {

constexpr float kSteps[] = {
    -0.5f,  // predict
    0.25f,  // update
};

}  // namespace

const LiftingScheme kCdf53{3, 6, kSteps, false, 1.0f, 1.0f};

}  // namespace corvane::wavelet
