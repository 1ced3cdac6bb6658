#include "src/codec/inverse.hpp"

#include <algorithm>
#include <memory>

#include "src/format/bands.hpp"
#include "wavelet/reconstruction.hpp"

namespace corvane {

// The sizes of every level are settled first, so that the buffers are
// allocated once. Level k reads the approximation the level above wrote and
// its own details (band k + 1, dequantised into one scratch buffer).
// Reconstructions alternate between the output and one buffer of about half
// its size, so that level 0 lands in the output; the coarsest approximation
// waits in the buffer level L-1 does not write.
float* InverseWork::grow(std::unique_ptr<float[]>& store, std::size_t& size, std::size_t count) {
    count = std::max<std::size_t>(count, 1);
    if (count > size) {
        store = std::make_unique_for_overwrite<float[]>(count);
        size = count;
    }
    return store.get();
}

expected<std::vector<float>, CorvaneError> recompose(Method method, const wavelet::DwtExecutor& executor,
                                                     std::span<const std::size_t> lengths, BandSupply& supply,
                                                     InverseWork& work) {
    std::vector<float> out;
    if (auto done = recompose_into(method, executor, lengths, supply, work, out); !done) {
        return unexpected(std::move(done).error());
    }
    return out;
}

expected<std::size_t, CorvaneError> recomposed_length(Method method, const wavelet::DwtExecutor& executor,
                                                      std::span<const std::size_t> lengths) {
    const auto planned = wavelet::plan_reconstruction(transform_of(method), executor, lengths[0], lengths.subspan(1));
    if (!planned) return unexpected(CorvaneError::wavelet(planned.error().message()));
    return planned->front().output;
}

expected<void, CorvaneError> recompose_into(Method method, const wavelet::DwtExecutor& executor,
                                            std::span<const std::size_t> lengths, BandSupply& supply,
                                            InverseWork& work, std::vector<float>& out) {
    const wavelet::Transform transform = transform_of(method);
    const std::span<const std::size_t> d = lengths;  // d_k is band k + 1
    const auto planned = wavelet::plan_reconstruction(transform, executor, d[0], d.subspan(1));
    if (!planned) return unexpected(CorvaneError::wavelet(planned.error().message()));
    const std::vector<wavelet::InverseLevel>& rebuilt = *planned;
    const std::size_t levels = rebuilt.size();
    const bool approx_in_output = (levels - 1) % 2 == 1;
    std::size_t out_size = approx_in_output ? d[0] : 0;
    std::size_t half_size = approx_in_output ? 0 : d[0];
    std::size_t details_size = 0;
    for (std::size_t k = 0; k < levels; ++k) {
        std::size_t& size = k % 2 == 0 ? out_size : half_size;
        size = std::max(size, rebuilt[k].output);
        details_size = std::max(details_size, d[k + 1]);
    }
    out.resize(out_size);
    float* const half = work.half(half_size);
    float* const details = work.details(details_size);

    float* approx = approx_in_output ? out.data() : half;
    supply.give(0, d[0], approx);
    for (std::size_t k = levels; k-- > 0;) {
        supply.give(k + 1, d[k + 1], details);
        float* target = k % 2 == 0 ? out.data() : half;
        auto done = wavelet::inverse_level(transform, executor, rebuilt[k], approx, details, target);
        if (!done) return unexpected(CorvaneError::wavelet(done.error().message()));
        approx = target;
    }
    out.resize(rebuilt[0].output);
    return {};
}

void denormalise(std::vector<float>& out, float min, float max, float mean, std::size_t sample_count) {
    const float range = max - min;
    for (float& x : out) {
        const float t = x + mean;
        const float scaled = range * t;
        x = min + scaled;
    }
    // Odd-length 8-tap reconstructions carry one extra sample; a shorter one
    // is padded with plain zeros.
    out.resize(sample_count, 0.0f);
}

}  // namespace corvane
