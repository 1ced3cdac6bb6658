#include "wavelet/level_drivers.hpp"

#include <utility>

namespace corvane::wavelet {

namespace {

// A one-level decomposition holding the given level (or its error).
corvane::expected<MultiDwt, WaveletError> as_decomposition(corvane::expected<Dwt, WaveletError> level) {
    if (!level) return corvane::unexpected(std::move(level).error());
    MultiDwt result;
    result.levels.push_back(std::move(*level));
    return result;
}

}  // namespace

corvane::expected<Dwt, WaveletError> LevelDrivers::single_level(std::span<const float> input) const {
    const DwtSize size = dwt_size(input.size());
    auto approx = zeroed_vector(size.approx_length);
    if (!approx) return corvane::unexpected(approx.error());
    auto details = zeroed_vector(size.details_length);
    if (!details) return corvane::unexpected(details.error());
    if (auto done = execute_forward(input, *approx, *details); !done) return corvane::unexpected(done.error());
    return Dwt{std::move(*approx), std::move(*details)};
}

// The level-th level by repeating one forward level on the approximation;
// only the last level's pair is kept.
corvane::expected<Dwt, WaveletError> LevelDrivers::dwt(std::span<const float> input, std::size_t level) const {
    if (rules_.check_on_entry && input.size() < rules_.minimum) {
        return corvane::unexpected(WaveletError::buffer_too_small_for_level());
    }
    if (level <= 1) return single_level(input);

    std::vector<float> work(input.begin(), input.end());
    Dwt last;
    for (std::size_t k = 0; k < level; ++k) {
        if (work.size() < rules_.minimum) return corvane::unexpected(WaveletError::buffer_too_small_for_level());
        auto step = single_level(work);
        if (!step) return corvane::unexpected(step.error());
        last = std::move(*step);
        work.assign(last.approximations.begin(), last.approximations.end());
    }
    return last;
}

corvane::expected<MultiDwt, WaveletError> LevelDrivers::multi_dwt(std::span<const float> input,
                                                                  std::size_t levels) const {
    if (rules_.check_on_entry && input.size() < rules_.minimum) {
        return corvane::unexpected(WaveletError::buffer_too_small_for_level());
    }
    if (levels <= 1) return as_decomposition(single_level(input));

    // Two working vectors swap roles each level: the approximation written
    // into `next` is the following level's input, and the old input's storage
    // receives the following approximation, so only the stored copies are
    // allocated. The first level reads the caller's signal in place, so the
    // signal itself is never copied.
    std::vector<float> current;
    auto next = zeroed_vector(dwt_size(input.size()).approx_length);
    if (!next) return corvane::unexpected(next.error());

    MultiDwt result;
    result.levels.reserve(level_reservation(levels));
    for (std::size_t k = 0; k < levels; ++k) {
        const std::span<const float> level_input = k == 0 ? input : std::span<const float>(current);
        if (level_input.size() < rules_.minimum) {
            return corvane::unexpected(WaveletError::buffer_too_small_for_level());
        }
        const DwtSize size = dwt_size(level_input.size());
        if (auto sized = resize_zeroed(*next, size.approx_length); !sized) return corvane::unexpected(sized.error());
        auto details = zeroed_vector(size.details_length);
        if (!details) return corvane::unexpected(details.error());
        if (auto done = execute_forward(level_input, *next, *details); !done) {
            return corvane::unexpected(done.error());
        }
        result.levels.push_back(Dwt{*next, std::move(*details)});
        std::swap(current, *next);
    }
    return result;
}

corvane::expected<std::vector<float>, WaveletError> LevelDrivers::idwt(std::span<const float> approximation,
                                                                       std::span<const float> details) const {
    std::size_t length = approximation.size() + details.size();
    if (rules_.matched_inverse) {
        if (approximation.size() != details.size()) {
            return corvane::unexpected(WaveletError::approx_details_mismatch(approximation.size(), details.size()));
        }
        length = idwt_size(approximation.size(), details.size());
    }
    auto output = zeroed_vector(length);
    if (!output) return output;
    if (auto done = execute_inverse(approximation, details, *output); !done) {
        return corvane::unexpected(done.error());
    }
    return output;
}

corvane::expected<std::vector<float>, WaveletError> LevelDrivers::multi_idwt(const MultiDwtInput& input) const {
    if (input.details.empty() || input.approximation.empty()) {
        return corvane::unexpected(WaveletError::zero_sized_input());
    }
    auto r = idwt(input.approximation, input.details.back());
    for (std::size_t k = input.details.size() - 1; r && k-- > 0;) {
        const std::span<const float> details = input.details[k];
        if (!rules_.matched_inverse) {
            r = idwt(*r, details);
            continue;
        }
        // An odd level reconstructs one sample more than it had; the trailing
        // sample is border extension and is dropped here.
        if (r->size() < details.size()) {
            return corvane::unexpected(WaveletError::approx_details_mismatch(r->size(), details.size()));
        }
        r = idwt(std::span<const float>(r->data(), details.size()), details);
    }
    return r;
}

}  // namespace corvane::wavelet
