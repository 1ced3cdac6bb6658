// The companion's destination handling: an `out` buffer of any format, item
// size, length and alignment receiving a decoded stream. Input: byte 0 the
// item size (mod 17), byte 1 the alignment offset (mod 8), byte 2 how far the
// length is off the decoded size (signed, in bytes), byte 3 the format's
// length (mod 5) and then that many format characters; the rest is a stream.
// Only the formats the companion fills are filled, only when the size fits
// exactly, with exactly the decoded values or their bytes, and nothing is
// written outside the buffer.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "corvane/corvane.hpp"
#include "destination.hpp"
#include "fuzz_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace corvane;
    using namespace corvane::python;
    fuzz::Cursor in(data, size);
    const std::size_t itemsize = in.byte() % 17;
    const std::size_t offset = in.byte() % 8;
    const auto skew = static_cast<std::int8_t>(in.byte());
    std::string format;
    for (std::size_t k = in.byte() % 5; k > 0; --k) format.push_back(static_cast<char>(in.byte()));
    const BufferItems items = buffer_items(format.c_str(), itemsize);
    const auto samples = decompress_stream(in.rest());
    if (!samples) return 0;

    const bool raw = items == BufferItems::Integer;
    fuzz::check(fills(items, true) == (raw || items == BufferItems::Float32 || items == BufferItems::Float64),
                "a format filled that is neither float nor integer");
    fuzz::check(!fills(items, false) || !raw, "raw bytes written where they are not allowed");
    const std::size_t width = items == BufferItems::Float64 ? 8 : 4;
    const std::size_t wanted = width * samples->size();
    if (skew < 0 && static_cast<std::size_t>(-skew) > wanted) return 0;
    const std::size_t bytes = wanted + static_cast<std::size_t>(static_cast<std::ptrdiff_t>(skew));
    std::vector<std::uint8_t> memory(bytes + 16, 0xA5);
    std::uint8_t* out = memory.data() + offset;
    const Fit fit = store(*samples, out, bytes, items);
    const bool fits = fills(items, true) && bytes == wanted;
    fuzz::check((fit == Fit::Fits) == fits, "a store that fits differs from the rule");
    for (std::size_t k = 0; k < offset; ++k) fuzz::check(memory[k] == 0xA5, "a write before the buffer");
    for (std::size_t k = offset + bytes; k < memory.size(); ++k) fuzz::check(memory[k] == 0xA5, "a write past the buffer");
    if (!fits) {
        for (std::size_t k = 0; k < bytes; ++k) fuzz::check(out[k] == 0xA5, "a write into a buffer that does not fit");
        return 0;
    }
    for (std::size_t i = 0; i < samples->size(); ++i) {
        const float want = (*samples)[i];
        if (items == BufferItems::Float64) {
            double got = 0.0;
            std::memcpy(&got, out + 8 * i, 8);
            fuzz::check(got == static_cast<double>(want) || (std::isnan(got) && std::isnan(want)), "a float64 value changed");
        } else {
            fuzz::check(std::memcmp(out + 4 * i, &want, 4) == 0, "float32 bytes changed");
        }
    }
    return 0;
}
