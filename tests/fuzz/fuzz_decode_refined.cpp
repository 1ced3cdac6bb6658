// Refined chunks through their decoder. Every input either decodes to exactly
// the count its header declares, within the length its header gives, or fails
// with an error; the sanitizers and libFuzzer's allocation limit catch the
// rest (a count or length that is trusted before the bytes back it).
#include <cstddef>
#include <cstdint>
#include <span>

#include "corvane/layer.hpp"
#include "fuzz_common.hpp"
#include "src/refine/container.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace corvane;
    const std::span<const std::uint8_t> bytes(data, size);
    const auto samples = refine::decode_container(bytes);
    if (!samples) {
        fuzz::check(!samples.error().message().empty(), "an error without a message");
        return 0;
    }
    const auto length = refine::container_length(bytes);
    fuzz::check(length.has_value() && *length <= size, "decoded a chunk whose length does not parse");
    const std::uint32_t count = std::uint32_t{data[8]} | std::uint32_t{data[9]} << 8 |
                                std::uint32_t{data[10]} << 16 | std::uint32_t{data[11]} << 24;
    fuzz::check(samples->size() == count, "decoded length differs from the header's count");
    const auto through_layer = decompress_chunk_signal(bytes.first(*length));
    fuzz::check(through_layer.has_value() && through_layer->size() == count, "the layer reads it otherwise");
    return 0;
}
