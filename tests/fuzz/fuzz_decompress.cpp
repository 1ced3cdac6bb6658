// Whole streams through the decoder. Every input either decodes to exactly
// the declared number of samples or fails with an error; the sanitizers and
// libFuzzer's allocation limit (-malloc_limit_mb) catch the rest.
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_common.hpp"
#include "src/codec/decompressor.hpp"
#include "src/format/header.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace corvane;
    const std::span<const std::uint8_t> stream(data, size);
    const auto samples = decompress(stream);
    if (!samples) {
        fuzz::check(!samples.error().message().empty(), "an error without a message");
        return 0;
    }
    const auto header = CorvaneHeader::from_bytes(stream);
    fuzz::check(header.has_value(), "decoded a stream whose header does not parse");
    fuzz::check(samples->size() == header->sample_count, "decoded length differs from the header's count");
    return 0;
}
