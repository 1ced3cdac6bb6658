// The rANS byte-stream decoder on its own: any input decodes or fails; what
// decodes re-encodes to a stream that decodes to the same bytes. The pair
// count may claim up to 2^28 pairs in a few bytes: memory must follow what the
// planes really hold.
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_common.hpp"
#include "src/entropy/arans.hpp"

namespace {
constexpr std::size_t kRecodeLimit = std::size_t{1} << 18;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace corvane;
    const std::span<const std::uint8_t> stream(data, size);
    const auto decoded = decode_stream(stream);
    if (!decoded) return 0;
    if (size <= 5) fuzz::check(decoded->size() == size, "a short stream is not returned as it is");
    if (decoded->size() > kRecodeLimit) return 0;
    const auto recoded = encode_stream(*decoded);
    const auto again = decode_stream(recoded);
    fuzz::check(again.has_value(), "re-encoded bytes fail to decode");
    fuzz::check(*again == *decoded, "re-encoded bytes decode differently");
    return 0;
}
