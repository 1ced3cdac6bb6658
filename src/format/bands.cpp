#include "src/format/bands.hpp"

#include <algorithm>
#include <bit>

namespace corvane {

wavelet::Transform transform_of(Method method) {
    switch (method) {
        case Method::Cdf53:
            return wavelet::Transform::Cdf53;
        case Method::Cdf97:
            return wavelet::Transform::Cdf97;
        case Method::Db4:
            return wavelet::Transform::Db4;
        case Method::Sym4:
            return wavelet::Transform::Sym4;
    }
    return wavelet::Transform::Cdf97;
}

std::size_t filter_length(Method method) { return wavelet::filter_length(transform_of(method)); }

std::shared_ptr<wavelet::DwtExecutor> make_executor(Method method) {
    return wavelet::make_executor(transform_of(method));
}

std::uint8_t pick_levels(std::size_t n, Method method) {
    if (n < 20) return 1;
    if (n < 40) return 2;
    if (n < 60) return 3;
    if (n < 80) return 4;
    const std::size_t f = filter_length(method);
    if (n < f) return 1;
    const std::size_t q = n / f;
    if (q == 1) return 1;
    const auto levels = static_cast<std::size_t>(std::bit_width(q) - 1);  // floor(log2 q)
    return static_cast<std::uint8_t>(std::min<std::size_t>(levels, 8));
}

std::vector<std::size_t> lengths_in_stream_order(std::span<const wavelet::DwtSize> layout) {
    std::vector<std::size_t> lengths(layout.size() + 1);
    lengths[0] = layout.back().approx_length;
    for (std::size_t k = 0; k < layout.size(); ++k) lengths[k + 1] = layout[k].details_length;
    return lengths;
}

std::vector<std::size_t> band_lengths(const wavelet::IncompleteDwtExecutor& executor, std::size_t sample_count,
                                      std::size_t levels) {
    const std::size_t length = std::max(sample_count, executor.filter_length());
    return lengths_in_stream_order(wavelet::decomposition_layout(executor, length, levels));
}

std::vector<std::size_t> band_offsets(std::span<const std::size_t> lengths) {
    std::vector<std::size_t> offsets(lengths.size() + 1);
    for (std::size_t b = 0; b < lengths.size(); ++b) offsets[b + 1] = offsets[b] + lengths[b];
    return offsets;
}

}  // namespace corvane
