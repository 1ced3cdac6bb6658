// Compression: samples and options in, a complete stream (header and payload)
// out. Stateless; every call builds and drops its own executor and buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "corvane/expected.hpp"
#include "src/format/parameters.hpp"

namespace corvane {

struct CompressedSignal {
    std::vector<std::uint8_t> payload;  // from byte `front` on
    StreamParameters params;            // as the header will store them
    // 0, or kHeaderSize: room left in front of the payload for the header,
    // so that the stream is put together where the coder wrote it.
    std::size_t front = 0;
};

// The payload and parameters of the stream of `levels` levels for samples
// whose count and config have been checked.
expected<CompressedSignal, CorvaneError> compress_core(std::span<const float> samples, const CompressionConfig& config,
                                                       std::uint8_t levels);

// The stream of a compressed signal: its header, then its payload (written in
// the room left in front of it when there is room).
expected<std::vector<std::uint8_t>, CorvaneError> assemble_stream(CompressedSignal&& core);

}  // namespace corvane
