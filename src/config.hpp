// The in-core compression options. Numeric codes are part of the public
// contract: `Method` indexes the header's method codes, and the Python
// options class stores exactly these values.
#pragma once

#include <cstdint>
#include <optional>

namespace corvane {

enum class Method : std::uint8_t { Cdf53 = 0, Cdf97 = 1, Db4 = 2, Sym4 = 3 };
enum class Cutoff : std::uint8_t { Low = 0, Medium = 1, High = 2 };
enum class Coder : std::uint8_t { Deflate = 0, Arans = 1, Cmodel = 2, Auto = 3 };

struct CompressionConfig {
    Method method = Method::Cdf97;
    std::uint8_t scale = 11;  // 6..12, checked by whoever builds the config
    Cutoff cutoff = Cutoff::Low;
    Coder coder = Coder::Auto;
    std::optional<float> quant_multiplier;  // absent: 2^scale

    friend bool operator==(const CompressionConfig&, const CompressionConfig&) = default;
};

}  // namespace corvane
