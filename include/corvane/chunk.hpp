// corvane chunks: what the codec layer writes for one chunk of an array.
//
// A chunk holds samples of one of the served types in C order. Without a lane
// axis it is coded as one stream of its samples; with one, every 1-D lane
// along that axis is its own stream, the streams back to back in lane order
// (see compress_lanes). Integer samples are converted exactly to single
// precision, and decoded samples are converted back rounded to nearest (ties
// to even), a NaN to 0, clipped to the type's range (see layer.hpp). With an
// error target each stream (each lane's, with an axis) is compress_at_target's
// for its samples.
//
// The bytes are those the Python codec writes for the same chunk and
// settings, so stores written by either read with the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "corvane/corvane.hpp"
#include "corvane/layer.hpp"

namespace corvane {

// How many sample types there are (SampleType's values run from 0).
inline constexpr std::uint8_t kSampleTypes = static_cast<std::uint8_t>(SampleType::Uint16) + 1;

// The type's NumPy name ("float32", "uint16", ...).
const char* sample_name(SampleType type);

struct ChunkCoding {
    CompressionConfig config;
    std::optional<ErrorTarget> target;
    // Lanes along this axis of the chunk's shape; none: one stream of the chunk.
    std::optional<std::size_t> axis;
};

// An int32 sample beyond +-2^24, which single precision cannot hold exactly:
// refused rather than rounded.
struct InexactSample {
    std::int64_t value = 0;
};

using ChunkError = std::variant<CorvaneError, UnreachableTarget, InexactSample>;

// One line naming the cause, worded as the Python codec words it.
std::string describe(const ChunkError& error, const ChunkCoding& coding);

// The stream of a chunk of `shape` (C order, every extent at least 1) whose
// samples are the bytes of `chunk` (native order, exactly the shape's count).
// `threads` bounds the threads coding lanes at once (0: one per core).
expected<std::vector<std::uint8_t>, ChunkError> encode_chunk(std::span<const std::byte> chunk, SampleType type,
                                                             std::span<const std::size_t> shape,
                                                             const ChunkCoding& coding, unsigned threads);

// The samples of a chunk `encode_chunk` wrote with the same type, shape and
// axis into `out` (exactly the shape's bytes, aligned for the type). A
// stream whose streams do not make up exactly that shape is refused, so a
// damaged chunk never decodes to samples in the wrong places. `threads`
// bounds the threads decoding float lanes at once (0: one per core).
expected<void, CorvaneError> decode_chunk(std::span<const std::uint8_t> stream, SampleType type,
                                          std::span<const std::size_t> shape, std::optional<std::size_t> axis,
                                          std::span<std::byte> out, unsigned threads);

}  // namespace corvane
