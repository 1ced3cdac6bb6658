// The neighbourhood a miss is coded in: how large the two misses before it
// were. Residual codes choose their contexts by it.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>

namespace corvane::refine {

// The neighbourhood of miss i is 2|e[i-1]| + |e[i-2]|, taken as 0 or the
// length of its binary form, at most kActivities - 1.
inline constexpr std::uint32_t kActivities = 12;

// The length of the binary form of every neighbourhood up to the last one
// told apart, looked up (fewer instructions in a decoder's loop than
// counting the digits).
struct Activities {
    static constexpr std::uint32_t kCount = 1u << (kActivities - 1);
    std::uint8_t of[kCount];
    constexpr Activities() : of{} {
        for (std::uint32_t v = 0; v < kCount; ++v) of[v] = static_cast<std::uint8_t>(std::bit_width(v));
    }
};
inline constexpr Activities kActivityOf{};

// a and b: the magnitudes of the last miss and the one before it.
constexpr std::uint32_t activity(std::uint32_t a, std::uint32_t b) {
    return kActivityOf.of[std::min<std::uint32_t>(2 * a + b, Activities::kCount - 1)];
}

}  // namespace corvane::refine
