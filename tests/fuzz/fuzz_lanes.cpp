// Runs of lane streams through the split and every lanes decode. Input: byte 0
// the group size `inner` (mod 4), byte 1 the threads (mod 3) and, in bit 7,
// whether the run is decoded into caller memory a byte off alignment; the rest
// is the run. A run the split accepts has a layout that adds up, and bounded
// by what its payloads can yield (libFuzzer's -malloc_limit_mb catches an
// output made for headers alone); decoded into a new buffer and into float32
// and float64 memory, it gives the same samples, or the same error, and
// writes nothing outside the memory it was given.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "corvane/corvane.hpp"
#include "corvane/layer.hpp"
#include "fuzz_common.hpp"

namespace {

constexpr std::uint8_t kGuard = 0xA5;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace corvane;
    fuzz::Cursor in(data, size);
    const std::size_t inner = in.byte() % 4;
    const std::uint8_t b1 = in.byte();
    const unsigned threads = b1 % 3;
    const std::size_t offset = (b1 >> 7) & 1;
    const auto run = split_lanes(in.rest(), inner);
    if (!run) {
        fuzz::check(!run.error().message().empty(), "an error without a message");
        return 0;
    }
    const LaneLayout& layout = run->layout;
    fuzz::check(run->streams.size() == layout.lanes() && run->headers.size() == layout.lanes(), "a lane count that does not add up");
    fuzz::check(layout.inner == (inner == 0 ? layout.lanes() : inner), "groups of another size");

    const auto made = decompress_lanes(*run, threads);
    for (const SampleType type : {SampleType::Float32, SampleType::Float64}) {
        const std::size_t item = type == SampleType::Float32 ? 4 : 8;
        const std::size_t bytes = item * layout.samples();
        std::vector<std::uint8_t> memory(bytes + 2 * 8, kGuard);
        std::uint8_t* out = memory.data() + 8 + offset;
        const auto into = decompress_lanes(*run, out, type, threads);
        fuzz::check(into.has_value() == made.has_value(), "the decodes into new and given memory disagree");
        for (std::size_t k = 0; k < 8 + offset; ++k) fuzz::check(memory[k] == kGuard, "a write before the output");
        for (std::size_t k = 8 + offset + bytes; k < memory.size(); ++k) fuzz::check(memory[k] == kGuard, "a write past the output");
        if (!made) {
            fuzz::check(into.error() == made.error(), "the decodes fail differently");
            continue;
        }
        fuzz::check(made->size() == layout.samples(), "decoded another sample count than the layout's");
        for (std::size_t k = 0; k < made->size(); ++k) {
            float f = 0.0f;
            double d = 0.0;
            if (type == SampleType::Float32) std::memcpy(&f, out + 4 * k, 4);
            if (type == SampleType::Float64) std::memcpy(&d, out + 8 * k, 8);
            const float want = (*made)[k];
            const bool same = type == SampleType::Float32 ? std::memcmp(&f, &want, 4) == 0
                                                          : (d == static_cast<double>(want) || (std::isnan(d) && std::isnan(want)));
            fuzz::check(same, "the decodes give different samples");
        }
    }
    return 0;
}
