// The settings a stream is written with and carries, and every check of them
// in one place: what the compressor refuses to write and what the decoder
// refuses to read. The settings themselves are declared in the public header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "corvane/corvane.hpp"

namespace corvane {

// The coders a stream header can name (codes 0, 1, 2); Coder::Auto is only a
// request and codes as the coefficient model.
inline constexpr std::uint8_t kStreamCoderCount = 3;
inline bool is_stream_coder(std::uint8_t code) { return code < kStreamCoderCount; }
inline Coder stream_coder(Coder requested) {
    return requested == Coder::Deflate || requested == Coder::Arans ? requested : Coder::Cmodel;
}

inline bool is_valid(Method method) { return static_cast<std::uint8_t>(method) <= static_cast<std::uint8_t>(Method::Sym4); }
inline bool is_valid(Cutoff cutoff) { return static_cast<std::uint8_t>(cutoff) <= static_cast<std::uint8_t>(Cutoff::High); }
inline bool is_valid(Coder coder) { return static_cast<std::uint8_t>(coder) <= static_cast<std::uint8_t>(Coder::Auto); }
inline bool is_valid_scale(std::uint8_t scale) { return scale >= kMinScale && scale <= kMaxScale; }

// The levels a stream may declare.
inline constexpr std::uint32_t kMinLevels = 1;
inline constexpr std::uint32_t kMaxLevels = 10;

// What a stream says about its samples beyond the payload: the one record the
// compressor fills, the header stores and the decompressor works from.
struct StreamParameters {
    Method method = Method::Cdf97;
    float min = 0.0f;
    float max = 0.0f;
    float mean = 0.0f;
    float multiplier = 0.0f;  // read from a stream: effective, already replaced when unusable
    std::uint32_t levels = 0;
    std::uint32_t sample_count = 0;
    std::uint8_t scale = 0;
    Coder coder = Coder::Cmodel;  // one of the three stream coders, never Coder::Auto
};

// A scale outside kMinScale..kMaxScale, wherever it is met.
expected<void, CorvaneError> check_scale(std::uint8_t scale);

// (check_sample_count, the signal lengths a stream can carry, is declared in
// the public header: the header counts samples in 32 bits and decoders
// accept at most 2^31 - 1, so a longer signal would be written with a wrong
// count.)

// Settings a stream could not be written with: a stream written anyway would
// not decode, or not to what was compressed.
expected<void, CorvaneError> check_config(const CompressionConfig& config);

// A stream's parameters the decoder can work from: its sample count, levels
// and scale in range.
expected<void, CorvaneError> check_stream_parameters(const StreamParameters& p);

}  // namespace corvane
