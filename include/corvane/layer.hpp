// corvane's codec layer: one signal of any sample type a chunk store holds,
// coded at an error target, and decoded back into that type.
//
// Every program that writes chunks (the Python codec, the HDF5 filter) calls
// these, so a chunk's bytes do not depend on which of them wrote it. Like the
// core, every function is stateless, thread-safe, and reports failures as
// values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "corvane/corvane.hpp"

namespace corvane {

// The sample types a chunk may hold. Integers up to 16 bits, and int32
// values within +-2^24, have an exact single-precision value; the codec
// works on that value.
enum class SampleType : std::uint8_t { Float32, Float64, Int8, Int16, Int32, Uint8, Uint16 };

std::size_t sample_size(SampleType type);
bool is_integer(SampleType type);

// `count` samples of `type` at `data` (native byte order, contiguous).
struct SignalView {
    const void* data = nullptr;
    SampleType type = SampleType::Float32;
    std::size_t count = 0;
};

// The smallest stream found whose decoded samples keep `target` against the
// samples as given. Integer samples are judged after decoding rounds them to
// the nearest integer (see decompress_chunk_signal): a largest error E holds
// as floor(E), a PRD on the rounded integers. float64 samples are coded in
// single precision and judged in double. Refuses what compress_to_target
// refuses, and int32 samples beyond +-2^24; UnreachableTarget names the
// smallest error reachable (after rounding, for integers).
expected<std::vector<std::uint8_t>, TuningError> compress_at_target(SignalView signal,
                                                                    const CompressionConfig& config,
                                                                    ErrorTarget target);

// The length of the stream that starts `streams` (a chunk's streams lie back
// to back), read from its header; refuses a header the decoder would refuse
// or a stream longer than the bytes given.
expected<std::size_t, CorvaneError> stream_length(std::span<const std::uint8_t> streams);

// The samples of one stream written by this layer, as float32.
expected<std::vector<float>, CorvaneError> decompress_chunk_signal(std::span<const std::uint8_t> stream);

// The same into `count` samples of `type` at `out`: floats as decoded
// (float64 widened), integers rounded to nearest (ties to even), NaN to 0,
// and clipped to the type's range. `count` must be the stream's sample count.
expected<void, CorvaneError> decompress_chunk_signal(std::span<const std::uint8_t> stream, SampleType type,
                                                     void* out, std::size_t count);

// Decoded samples into `out` as decompress_chunk_signal gives them back as
// `type`: `decoded.size()` items, aligned for `type`.
void store_samples(std::span<const float> decoded, SampleType type, void* out);

// decompress_lanes() into caller memory of any alignment, written through
// byte copies: `out` holds run.layout.samples() items of `type`, Float32 or
// Float64.
expected<void, CorvaneError> decompress_lanes(const LaneRun& run, void* out, SampleType type, unsigned threads);

// A chunk of streams written by this layer, back to back (one per lane, or
// one for the chunk), decoded: the lanes' samples one lane after another.
// Lanes of unequal length, and bytes left after the last stream, are refused.
struct DecodedLanes {
    std::vector<float> samples;
    std::size_t lanes = 0;
};
expected<DecodedLanes, CorvaneError> decompress_chunk_lanes(std::span<const std::uint8_t> chunk);

}  // namespace corvane
