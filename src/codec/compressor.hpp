// Compression: samples and options in, a complete stream (header and payload)
// out. Stateless; every call builds and drops its own executor and buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "src/config.hpp"
#include "src/header.hpp"
#include "src/scratch.hpp"
#include "corvane/expected.hpp"
#include "wavelet/factory.hpp"

namespace corvane {

struct CompressedSignal {
    std::vector<std::uint8_t> payload;  // from byte `front` on
    StreamParameters params;            // as the header will store them
    // 0, or kHeaderSize: room left in front of the payload for the header,
    // so that the stream is put together where the coder wrote it.
    std::size_t front = 0;
};

// Number of decomposition levels for n samples, 1 to 8.
std::uint8_t pick_levels(std::size_t n, Method method);

expected<CompressedSignal, CorvaneError> compress_core(std::span<const float> samples, const CompressionConfig& config,
                                                       std::uint8_t levels);

// The stream of a compressed signal: its header, then its payload (written in
// the room left in front of it when there is room).
expected<std::vector<std::uint8_t>, CorvaneError> assemble_stream(CompressedSignal&& core);

// The stages of compress_core, in order.

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

// Every band of a `levels`-level decomposition, quantised, in one buffer in
// stream order (the coarsest approximation, then the details from the finest
// level to the coarsest), and the band lengths in that order.
struct QuantisedBands {
    std::vector<std::int16_t> values;
    std::vector<std::size_t> lengths;
    float peak = 0.0f;  // the largest coefficient magnitude before quantisation
};
expected<QuantisedBands, CorvaneError> decompose_and_quantise(const wavelet::DwtExecutor& executor,
                                                              std::vector<float> signal, std::uint8_t levels,
                                                              float m, int threshold);

// quantise() of every value into out[0 .. in.size()); magnitudes below
// `threshold` become zero. Returns the largest |value| of `in` (0 when empty).
float quantise_band(std::span<const float> in, float m, int threshold, std::int16_t* out);

// The multiplier that keeps every coefficient inside the 16-bit range: `m`
// itself unless m is finite and positive, peak > 0 and peak * m >= 32768 in
// single precision; then the largest float m' with peak * m' < 32768. The
// stream records the multiplier used, so decoders need nothing new.
float unsaturated_multiplier(float peak, float m);

// The transform each method is coded with, and its executor; encoder and
// decoder must agree.
wavelet::Transform transform_of(Method method);
std::shared_ptr<wavelet::DwtExecutor> make_executor(Method method);

// The band lengths of a stream of `sample_count` samples and `levels` levels
// (at least 1), in stream order: the coarsest approximation, then the details
// from the finest level to the coarsest. Signals shorter than the filter are
// transformed at its length.
std::vector<std::size_t> band_lengths(const wavelet::IncompleteDwtExecutor& executor, std::size_t sample_count,
                                      std::size_t levels);

// The quantised bands (`values`, the bands of `lengths` one after the other)
// as the back end `coder` (not Coder::Auto) codes them. The coder may
// overwrite the bytes of `scratch` (see Scratch::keep_front), which the
// bands may lie past. The coefficient model leaves `front` bytes in front of
// its result (zeros); the byte coders leave none.
expected<std::vector<std::uint8_t>, CorvaneError> encode_payload(std::span<const std::int16_t> values,
                                                                 std::span<const std::size_t> lengths, Coder coder,
                                                                 Scratch scratch = {}, std::size_t front = 0);
expected<std::vector<std::uint8_t>, CorvaneError> encode_payload(const QuantisedBands& bands, Coder coder);

// One coefficient to 16 bits: v * m, clamped to the 16-bit range (a NaN
// product counts as the top), then truncated toward zero.
inline std::int16_t quantise(float v, float m) {
    float p = v * m;
    if (!(p <= 32767.0f)) p = 32767.0f;
    if (p < -32768.0f) p = -32768.0f;
    return static_cast<std::int16_t>(static_cast<std::int32_t>(p));
}

// Dead-zone threshold: detail coefficients of smaller magnitude become zero.
int dead_zone_threshold(std::uint8_t scale, Cutoff cutoff);

}  // namespace corvane
