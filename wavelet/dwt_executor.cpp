#include "wavelet/dwt_executor.hpp"

#include <new>
#include <stdexcept>
#include <utility>

namespace corvane::wavelet {

std::vector<DwtSize> decomposition_layout(const DwtForwardExecutor& executor, std::size_t n, std::size_t levels) {
    const std::size_t count = levels == 0 ? 1 : levels;
    std::vector<DwtSize> layout;
    layout.reserve(level_reservation(count));
    for (std::size_t k = 0; k < count; ++k) {
        const DwtSize size = executor.dwt_size(n);
        layout.push_back(size);
        n = size.approx_length;
    }
    return layout;
}

corvane::expected<std::vector<float>, WaveletError> zeroed_vector(std::size_t count) {
    try {
        return std::vector<float>(count, 0.0f);
    } catch (const std::bad_alloc&) {
        return corvane::unexpected(WaveletError::allocation_failed(count));
    } catch (const std::length_error&) {
        return corvane::unexpected(WaveletError::allocation_failed(count));
    }
}

Status resize_zeroed(std::vector<float>& v, std::size_t count) {
    try {
        v.resize(count, 0.0f);
        return {};
    } catch (const std::bad_alloc&) {
        return corvane::unexpected(WaveletError::allocation_failed(count));
    } catch (const std::length_error&) {
        return corvane::unexpected(WaveletError::allocation_failed(count));
    }
}

corvane::expected<MultiDwt, WaveletError> as_decomposition(corvane::expected<Dwt, WaveletError> level) {
    if (!level) return corvane::unexpected(std::move(level).error());
    MultiDwt result;
    result.levels.push_back(std::move(*level));
    return result;
}

corvane::expected<Dwt, WaveletError> repeat_level(
    std::span<const float> input, std::size_t level, std::size_t minimum,
    const std::function<corvane::expected<Dwt, WaveletError>(std::span<const float>)>& one_level) {
    std::vector<float> work(input.begin(), input.end());
    Dwt last;
    for (std::size_t k = 0; k < level; ++k) {
        if (work.size() < minimum) return corvane::unexpected(WaveletError::buffer_too_small_for_level());
        auto step = one_level(work);
        if (!step) return corvane::unexpected(step.error());
        last = std::move(*step);
        work.assign(last.approximations.begin(), last.approximations.end());
    }
    return last;
}

}  // namespace corvane::wavelet
