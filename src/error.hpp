// Internal helpers of the codec's error type (declared in the public header).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "corvane/corvane.hpp"

namespace corvane {

// Raw bytes as text: the whole sequence decoded as UTF-8, or `replacement`
// when it is not valid UTF-8 as a whole. Control characters and NUL are valid.
std::string utf8_or(const std::uint8_t* bytes, std::size_t count, const char* replacement);

}  // namespace corvane
