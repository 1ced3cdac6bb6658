// Header parsing: whatever the bytes, from_bytes either fails or returns a
// header that passes its own checks and writes back to the same 52 bytes.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_common.hpp"
#include "src/format/header.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace corvane;
    const auto parsed = CorvaneHeader::from_bytes(std::span<const std::uint8_t>(data, size));
    if (!parsed) {
        fuzz::check(!parsed.error().message().empty(), "an error without a message");
        return 0;
    }
    fuzz::check(size >= kHeaderSize, "parsed a header from fewer than 52 bytes");
    const CorvaneHeader& h = *parsed;
    fuzz::check(h.scale >= 6 && h.scale <= 12, "accepted a scale outside 6..12");
    fuzz::check(h.coder <= 2, "accepted an unknown coder");
    fuzz::check(std::isfinite(h.min) && std::isfinite(h.max) && std::isfinite(h.mean),
                "accepted a non-finite statistic");
    Method method{};
    fuzz::check(method_from_code(h.method_code, method), "accepted an unknown method code");
    const auto bytes = h.to_bytes();
    fuzz::check(std::equal(bytes.begin(), bytes.end(), data), "header does not write back to its own bytes");
    return 0;
}
