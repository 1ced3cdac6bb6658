#include "src/entropy/deflate.hpp"

#include <zlib.h>

#include <algorithm>
#include <string>

namespace corvane {

namespace {

std::string zlib_message(const z_stream& zs, int code) {
    if (zs.msg != nullptr) return zs.msg;
    return "deflate failed with code " + std::to_string(code);
}

std::string inflate_message(const z_stream& zs, int code) {
    if (code == Z_DATA_ERROR) return "corrupt deflate stream";
    if (code == Z_BUF_ERROR) return "unexpected end of deflate stream";
    if (zs.msg != nullptr) return zs.msg;
    if (code == Z_MEM_ERROR) return "out of memory while inflating";
    return "inflate failed with code " + std::to_string(code);
}

}  // namespace

// Raw DEFLATE (no wrapper) at level 6 of the whole byte string.
expected<std::vector<std::uint8_t>, CorvaneError> deflate_raw(std::span<const std::uint8_t> bytes) {
    z_stream zs{};
    int rc = deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    if (rc != Z_OK) return unexpected(CorvaneError::io(zlib_message(zs, rc)));
    std::vector<std::uint8_t> out(deflateBound(&zs, static_cast<uLong>(bytes.size())));
    zs.next_in = const_cast<Bytef*>(bytes.data());
    std::size_t in_left = bytes.size();
    zs.next_out = out.data();
    zs.avail_out = 0;
    // zlib counts in 32-bit units; feed large inputs in slices.
    constexpr std::size_t kSlice = std::size_t{1} << 30;
    do {
        const std::size_t take = std::min(in_left, kSlice);
        zs.avail_in = static_cast<uInt>(take);
        in_left -= take;
        const int flush = in_left == 0 ? Z_FINISH : Z_NO_FLUSH;
        do {
            const std::size_t produced = static_cast<std::size_t>(zs.next_out - out.data());
            if (produced == out.size()) out.resize(out.size() + out.size() / 2 + 64);
            zs.next_out = out.data() + produced;
            zs.avail_out = static_cast<uInt>(std::min(out.size() - produced, kSlice));
            rc = deflate(&zs, flush);
            if (rc == Z_STREAM_ERROR) {
                const std::string message = zlib_message(zs, rc);
                deflateEnd(&zs);
                return unexpected(CorvaneError::io(message));
            }
        } while (zs.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
    } while (in_left > 0);
    out.resize(static_cast<std::size_t>(zs.next_out - out.data()));
    deflateEnd(&zs);
    return out;
}

// Inflates the raw DEFLATE payload to its end, so corrupt data anywhere is
// reported, but keeps only the first `keep` bytes: nothing past the layout's
// coefficients is ever used, and a small crafted payload can inflate to
// gigabytes. The kept bytes grow with what is really inflated.
expected<std::vector<std::uint8_t>, CorvaneError> inflate_prefix(std::span<const std::uint8_t> payload,
                                                                 std::size_t keep) {
    z_stream zs{};
    int rc = inflateInit2(&zs, -15);
    if (rc != Z_OK) return unexpected(CorvaneError::decompress(inflate_message(zs, rc)));

    std::vector<std::uint8_t> kept;
    std::vector<std::uint8_t> discard;
    constexpr std::size_t kChunk = std::size_t{1} << 16;
    constexpr std::size_t kSlice = std::size_t{1} << 30;
    const std::uint8_t* in = payload.data();
    std::size_t in_left = payload.size();
    for (;;) {
        if (zs.avail_in == 0 && in_left > 0) {
            const std::size_t take = std::min(in_left, kSlice);
            zs.next_in = const_cast<Bytef*>(in);
            zs.avail_in = static_cast<uInt>(take);
            in += take;
            in_left -= take;
        }
        const bool into_kept = kept.size() < keep;
        const std::size_t at = kept.size();
        std::size_t room = 0;
        if (into_kept) {
            const std::size_t grow = std::min(keep - at, std::max(kChunk, at));
            kept.resize(at + grow);
            zs.next_out = kept.data() + at;
            room = std::min(grow, kSlice);
        } else {
            if (discard.empty()) discard.resize(kChunk);
            zs.next_out = discard.data();
            room = discard.size();
        }
        zs.avail_out = static_cast<uInt>(room);
        rc = inflate(&zs, Z_NO_FLUSH);
        if (into_kept) kept.resize(at + (room - zs.avail_out));
        if (rc == Z_STREAM_END) break;
        if (rc == Z_OK) continue;
        // Input is refilled before every call and output always has room, so
        // a buffer error means the payload ended inside the DEFLATE stream.
        const std::string message = inflate_message(zs, rc);
        inflateEnd(&zs);
        return unexpected(CorvaneError::decompress(message));
    }
    inflateEnd(&zs);
    return kept;
}

}  // namespace corvane
