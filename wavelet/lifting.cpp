#include "wavelet/lifting.hpp"

#include <algorithm>
#include <array>
#include <cstddef>

namespace corvane::wavelet {

namespace {

// Steps i = 0, 1, ... alternate predict and update, a predict first.
bool is_predict(std::size_t step) { return step % 2 == 0; }

// execute_inverse, whose inputs are read-only, lifts copies of them: a tile
// of kTile pairs at a time with kHalo pairs on either side, in buffers on
// the stack, as a level of its own. At a tile edge that is not the level's,
// the steps mirror a neighbour the level has, and each update-and-predict
// pair of steps spoils one more pair there; kHalo pairs cover schemes of up
// to 2 kHalo steps, so the pairs a tile writes out take the same operations
// on the same values as in one pass over the whole level.
constexpr std::size_t kTile = 1024;
constexpr std::size_t kHalo = 4;

}  // namespace

LiftingDwtExecutor::LiftingDwtExecutor(const LiftingScheme& scheme)
    : LevelDrivers({scheme.minimum_length, true, false}), scheme_(scheme) {}

Status LiftingDwtExecutor::check_forward(std::size_t n, std::size_t approx, std::size_t details) const {
    const std::size_t minimum = scheme_.minimum_length;
    if (n < minimum) return corvane::unexpected(WaveletError::input_too_short(n, minimum));
    // The message quotes the signal length as the requirement.
    if (approx != n - n / 2) return corvane::unexpected(WaveletError::approx_size_mismatch(approx, n));
    if (details != n / 2) return corvane::unexpected(WaveletError::approx_size_mismatch(details, n));
    return {};
}

Status LiftingDwtExecutor::check_inverse(std::size_t approx, std::size_t details, std::size_t output) const {
    if (approx + details != output) {
        return corvane::unexpected(WaveletError::output_size_mismatch(output, approx + details));
    }
    const std::size_t required_approx = std::max<std::size_t>(output - output / 2, 2);
    if (approx != required_approx) return corvane::unexpected(WaveletError::approx_size_mismatch(approx, required_approx));
    // The smallest reconstruction is the minimum forward length: 2 + 1 or 2 + 2.
    const std::size_t required_details = std::max<std::size_t>(output / 2, scheme_.minimum_length - 2);
    if (details != required_details) {
        return corvane::unexpected(WaveletError::approx_size_mismatch(details, required_details));
    }
    return {};
}

Status LiftingDwtExecutor::execute_forward(std::span<const float> input, std::span<float> approximation,
                                           std::span<float> details) const {
    if (auto ok = check_forward(input.size(), approximation.size(), details.size()); !ok) {
        return corvane::unexpected(ok.error());
    }
    lifting::split(input.data(), input.size(), approximation.data(), details.data());
    const lifting::Halves level{approximation.data(), approximation.size(), details.data(), details.size()};
    for (std::size_t i = 0; i < scheme_.steps.size(); ++i) {
        if (is_predict(i)) {
            level.predict(scheme_.steps[i]);
        } else {
            level.update(scheme_.steps[i]);
        }
    }
    if (scheme_.scaled) {
        lifting::scale(level.s, level.approx, scheme_.approx_scale);
        lifting::scale(level.d, level.details, scheme_.detail_scale);
    }
    return {};
}

Status LiftingDwtExecutor::execute_forward_with_scratch(std::span<const float> input,
                                                        std::span<float> approximation, std::span<float> details,
                                                        std::span<float>) const {
    return execute_forward(input, approximation, details);
}

Status LiftingDwtExecutor::execute_inverse(std::span<const float> approximation, std::span<const float> details,
                                           std::span<float> output) const {
    if (auto ok = check_inverse(approximation.size(), details.size(), output.size()); !ok) {
        return corvane::unexpected(ok.error());
    }
    const std::size_t approx = approximation.size(), pairs = details.size();
    std::array<float, kTile + 2 * kHalo + 1> s;
    std::array<float, kTile + 2 * kHalo> d;
    std::array<float, 2 * (kTile + 2 * kHalo) + 1> x;
    for (std::size_t lo = 0; lo < pairs;) {
        // The tile writes pairs [lo, hi); the last one takes what is left
        // and the level's own end (the trailing approximation if A = D + 1).
        const bool last = pairs - lo <= kTile + kHalo;
        const std::size_t hi = last ? pairs : lo + kTile;
        const std::size_t first = lo < kHalo ? 0 : lo - kHalo;
        const std::size_t s_end = last ? approx : hi + kHalo;
        const std::size_t d_end = last ? pairs : hi + kHalo;
        std::copy(approximation.begin() + static_cast<std::ptrdiff_t>(first),
                  approximation.begin() + static_cast<std::ptrdiff_t>(s_end), s.begin());
        std::copy(details.begin() + static_cast<std::ptrdiff_t>(first),
                  details.begin() + static_cast<std::ptrdiff_t>(d_end), d.begin());
        lift_inverse({s.data(), s_end - first, d.data(), d_end - first}, x.data());
        const std::size_t written = last ? s_end + d_end - 2 * first : 2 * (hi - first);
        std::copy(x.begin() + static_cast<std::ptrdiff_t>(2 * (lo - first)),
                  x.begin() + static_cast<std::ptrdiff_t>(written), output.begin() + static_cast<std::ptrdiff_t>(2 * lo));
        lo = hi;
    }
    return {};
}

Status LiftingDwtExecutor::execute_inverse_consuming(std::span<float> approximation, std::span<float> details,
                                                     std::span<float> output) const {
    if (auto ok = check_inverse(approximation.size(), details.size(), output.size()); !ok) {
        return corvane::unexpected(ok.error());
    }
    lift_inverse({approximation.data(), approximation.size(), details.data(), details.size()}, output.data());
    return {};
}

void LiftingDwtExecutor::lift_inverse(const lifting::Halves& level, float* output) const {
    const std::span<const float> steps = scheme_.steps;
    const std::size_t last = steps.size() - 1;
    if (scheme_.scaled) {
        lifting::scale_update(level.s, level.approx, scheme_.detail_scale, level.d, level.details,
                              scheme_.approx_scale, -steps[last]);
    } else {
        level.update(-steps[last]);
    }
    for (std::size_t i = last; i-- > 1;) {
        if (is_predict(i)) {
            level.predict(-steps[i]);
        } else {
            level.update(-steps[i]);
        }
    }
    lifting::predict_merge(level.d, level.details, level.s, level.approx, -steps[0], output);
}

}  // namespace corvane::wavelet
