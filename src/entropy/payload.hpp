// The payload: the quantised bands through the stream's back end, both ways.
// The byte coders (DEFLATE, adaptive rANS) take the coefficients as one
// string of 16-bit little-endian values; the coefficient model takes the
// bands themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "corvane/corvane.hpp"
#include "src/format/quantiser.hpp"
#include "src/scratch.hpp"

namespace corvane {

// The quantised bands (`values`, the bands of `lengths` one after the other)
// as the back end `coder` (not Coder::Auto) codes them. The coder may
// overwrite the bytes of `scratch` (see Scratch::keep_front), which the
// bands may lie past. The coefficient model leaves `front` bytes in front of
// its result (zeros); the byte coders leave none.
expected<std::vector<std::uint8_t>, CorvaneError> encode_payload(std::span<const std::int16_t> values,
                                                                 std::span<const std::size_t> lengths, Coder coder,
                                                                 Scratch scratch = {}, std::size_t front = 0);
expected<std::vector<std::uint8_t>, CorvaneError> encode_payload(const QuantisedBands& bands, Coder coder);

// The quantised bands a payload holds, read where the back end left them:
// the coefficient model's band vectors, or the byte coders' 16-bit
// little-endian values.
class DecodedBands {
public:
    // Band b dequantised into out[0 .. length) with the reciprocal `inv` of
    // the multiplier. A band vector is released once read, so the finest
    // levels run with the coarse bands gone.
    void dequantise(std::size_t b, std::size_t length, float inv, float* out);

private:
    friend expected<DecodedBands, CorvaneError> decode_payload(std::span<const std::uint8_t>, Coder,
                                                               std::span<const std::size_t>);
    std::vector<std::vector<std::int16_t>> bands_;
    std::vector<std::uint8_t> bytes_;
    std::vector<std::size_t> offsets_;  // of each band in `bytes_`, in values
};

// The bands of `lengths` (stream order) read from a payload of back end
// `coder`; fewer coefficients than the lengths need is an error.
expected<DecodedBands, CorvaneError> decode_payload(std::span<const std::uint8_t> payload, Coder coder,
                                                    std::span<const std::size_t> lengths);

// The most coefficients a payload of `bytes` bytes can yield through `coder`:
// every coefficient costs the coefficient model at least one decision and the
// byte coder two bytes of eight decisions each, where the binary coder
// completes at most rans::max_decisions(bytes) decisions; DEFLATE expands a
// byte to at most 1032. n samples always take at least n coefficients.
std::uint64_t max_coefficients(Coder coder, std::size_t bytes);

}  // namespace corvane
