// The forward pipeline, the one way samples become coefficients: the signal
// normalised, then decomposed level by level over buffers the caller owns,
// each band handed on as soon as it is complete. The compressor quantises the
// bands as they come; the target search keeps them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "corvane/corvane.hpp"
#include "src/format/quantiser.hpp"
#include "wavelet/dwt_executor.hpp"

namespace corvane {

// The samples as the transform reads them: NaN counted as 0, +inf as 1 and
// -inf as 0, mapped into [0, 1] by the signal's range, the mean removed, then
// extended periodically to at least `length` values. A signal whose range is
// below 1e-5 becomes all zeros with mean 0.
struct NormalisedSignal {
    std::vector<float> samples;
    float min = 0.0f;
    float max = 0.0f;
    float mean = 0.0f;
};
expected<NormalisedSignal, CorvaneError> normalise_signal(std::span<const float> samples, std::size_t length);
// The same into out (at least as long as the samples, and extended to its
// size), the result's own samples left empty.
expected<NormalisedSignal, CorvaneError> normalise_into(std::span<const float> samples, std::span<float> out);

// The shape of one decomposition and the working memory it needs, in floats:
// the signal (the normalised samples, then the odd levels' approximations),
// the even levels' approximations and one level's details. Each level's
// approximation is the next level's input, so the first two take turns and
// no level allocates.
struct ForwardPlan {
    std::size_t length = 0;  // samples as transformed: the signal, at least the filter long
    std::vector<wavelet::DwtSize> layout;
    std::size_t signal = 0, half = 0, details = 0;
    std::vector<std::size_t> lengths;  // of the bands, in stream order
    std::vector<std::size_t> offsets;  // of the bands in one buffer of all of them; last: their total
    std::size_t odd_approx = 0;        // the longest approximation an odd level writes over the signal
};
ForwardPlan plan_forward(const wavelet::DwtExecutor& executor, std::size_t sample_count, std::uint8_t levels);

// Takes each band of a decomposition as the pipeline completes it: the
// details of every level from the finest on (band k + 1 for level k), the
// coarsest approximation (band 0) last. The coefficients are only valid
// during the call.
class BandSink {
public:
    virtual void take(std::size_t band, std::span<const float> coefficients) = 0;

protected:
    ~BandSink() = default;
};

// The decomposition of signal[0 .. plan.signal) (normalised, zero past
// plan.length), with half[0 .. plan.half) and details[0 .. plan.details) as
// working memory. The transform consumes the signal. Transforms overwrite
// every output element, so no buffer needs clearing.
expected<void, CorvaneError> run_forward(const wavelet::DwtExecutor& executor, const ForwardPlan& plan, float* signal,
                                         float* half, float* details, BandSink& sink);

// Quantises each band into its place in one buffer of all bands in stream
// order, which `store` hands out when the first band arrives: by then the
// first level has read the signal, so the buffer may lie over it.
class QuantisingSink final : public BandSink {
public:
    QuantisingSink(std::function<std::int16_t*()> store, std::span<const std::size_t> offsets, float m, int threshold)
        : store_(std::move(store)), offsets_(offsets), m_(m), threshold_(threshold) {}
    void take(std::size_t band, std::span<const float> coefficients) override;
    // The largest coefficient magnitude before quantisation.
    float peak() const { return peak_; }
    std::int16_t* values() const { return values_; }

private:
    std::function<std::int16_t*()> store_;
    std::int16_t* values_ = nullptr;
    std::span<const std::size_t> offsets_;
    float m_;
    int threshold_;
    float peak_ = 0.0f;
};

// Every band of a `levels`-level decomposition of a normalised signal,
// quantised into one buffer in stream order.
expected<QuantisedBands, CorvaneError> decompose_and_quantise(const wavelet::DwtExecutor& executor,
                                                              std::vector<float> signal, std::uint8_t levels,
                                                              float m, int threshold);

}  // namespace corvane
