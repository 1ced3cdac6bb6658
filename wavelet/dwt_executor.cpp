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

}  // namespace corvane::wavelet
