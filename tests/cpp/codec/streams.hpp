// What the codec's tests of whole streams share: a smooth test signal,
// compress and decompress that expect success, header access, and raw
// DEFLATE both ways for building payloads by hand.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "corvane/corvane.hpp"
#include "src/format/header.hpp"

namespace corvane::stream_tests {

using Bytes = std::vector<std::uint8_t>;

inline std::vector<float> smooth(std::size_t n, float offset = 0.0f) {
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i);
        x[i] = offset + static_cast<float>(std::sin(t * 0.05) + 0.3 * std::sin(t * 0.31) + 0.05 * std::cos(t * 1.7));
    }
    return x;
}

inline Bytes compress_ok(std::span<const float> x, CompressionConfig cfg = {}) {
    auto r = compress(x, cfg);
    EXPECT_TRUE(r.has_value()) << r.error().message();
    return r ? *r : Bytes{};
}

inline std::vector<float> decompress_ok(const Bytes& stream) {
    auto r = decompress(stream);
    EXPECT_TRUE(r.has_value()) << r.error().message();
    return r ? *r : std::vector<float>{};
}

inline std::string decompress_error(const Bytes& stream) {
    auto r = decompress(stream);
    return r ? std::string("<decoded>") : r.error().message();
}

inline CorvaneHeader header_of(const Bytes& stream) { return *CorvaneHeader::from_bytes(stream); }

inline void set_header(Bytes& stream, const CorvaneHeader& h) { h.write_to(std::span<std::uint8_t, kHeaderSize>(stream.data(), kHeaderSize)); }

inline Bytes replace_payload(const Bytes& stream, const Bytes& payload, std::uint8_t coder) {
    auto h = header_of(stream);
    h.payload_len = static_cast<std::uint32_t>(payload.size());
    h.coder = coder;
    Bytes out(kHeaderSize);
    set_header(out, h);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

inline Bytes inflate_all(std::span<const std::uint8_t> payload) {
    z_stream zs{};
    inflateInit2(&zs, -15);
    Bytes out(1 << 20);
    zs.next_in = const_cast<Bytef*>(payload.data());
    zs.avail_in = static_cast<uInt>(payload.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    inflateEnd(&zs);
    return out;
}

inline Bytes deflate_all(std::span<const std::uint8_t> bytes) {
    Bytes out(compressBound(static_cast<uLong>(bytes.size())) + 64);
    z_stream zs{};
    deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    zs.next_in = const_cast<Bytef*>(bytes.data());
    zs.avail_in = static_cast<uInt>(bytes.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

}  // namespace corvane::stream_tests
