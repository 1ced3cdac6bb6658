// The coefficient-model decoder on its own. The fuzz input starts with a
// description of the expected band lengths, then the coefficient stream:
//   byte 0 < 0x80: method = bits 0-1, levels = 1 + (bits 2-6) % 10, then a
//     32-bit sample count (top bit dropped); the lengths are derived exactly
//     as the decoding pipeline derives them;
//   byte 0 >= 0x80: (byte 0 & 15) raw 32-bit lengths follow.
// Declared lengths may be enormous: the decoder must not allocate them before
// the stream has shown it holds them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz_common.hpp"
#include "src/entropy/cmodel.hpp"
#include "src/codec/compressor.hpp"
#include "src/codec/forward.hpp"
#include "src/entropy/payload.hpp"
#include "src/format/bands.hpp"
#include "src/format/quantiser.hpp"

namespace {

// Re-encoding is checked only for results of moderate size, to keep runs fast.
constexpr std::size_t kRecodeLimit = std::size_t{1} << 18;

std::vector<std::size_t> pipeline_lengths(corvane::Method method, std::size_t levels, std::size_t samples) {
    return corvane::band_lengths(*corvane::make_executor(method), samples, levels);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace corvane;
    fuzz::Cursor in(data, size);
    const std::uint8_t mode = in.byte();
    std::vector<std::size_t> lengths;
    if (mode < 0x80) {
        const auto method = static_cast<Method>(mode & 3);
        const std::size_t levels = 1 + ((mode >> 2) % 10);
        lengths = pipeline_lengths(method, levels, in.u32() & 0x7FFFFFFFu);
    } else {
        lengths.resize(mode & 15);
        for (auto& len : lengths) len = in.u32();
    }
    const auto stream = in.rest();

    const auto bands = decode_coeffs(stream, lengths);
    if (!bands) return 0;
    fuzz::check(bands->size() == lengths.size(), "band count differs from the expected count");
    std::size_t total = 0;
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        fuzz::check((*bands)[i].size() == lengths[i], "a band's length differs from the expected length");
        total += lengths[i];
    }
    if (total > kRecodeLimit) return 0;

    // Whatever a stream decodes to, the encoder codes it so that it decodes
    // back to the same bands.
    std::vector<std::span<const std::int16_t>> views(bands->begin(), bands->end());
    const auto recoded = encode_coeffs(views);
    const auto again = decode_coeffs(recoded, lengths);
    fuzz::check(again.has_value(), "re-encoded bands fail to decode");
    fuzz::check(*again == *bands, "re-encoded bands decode differently");
    return 0;
}
