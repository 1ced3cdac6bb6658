#include "destination.hpp"

#include <bit>
#include <cstddef>
#include <cstring>

namespace corvane::python {

BufferItems buffer_items(const char* format, std::size_t itemsize) {
    if (format == nullptr) format = "B";
    constexpr bool kLittle = std::endian::native == std::endian::little;
    bool native = true;
    if (*format == '@' || *format == '=' || (*format == '<' && kLittle) ||
        ((*format == '>' || *format == '!') && !kLittle)) {
        ++format;
    } else if (*format == '<' || *format == '>' || *format == '!') {
        native = false;
        ++format;
    }
    const bool one_letter = format[0] != '\0' && format[1] == '\0';
    if (one_letter && std::strchr("bBchHiIlLqQnN", format[0]) != nullptr) return BufferItems::Integer;
    if (!one_letter || std::strchr("efdg", format[0]) == nullptr) return BufferItems::Other;
    if (native && format[0] == 'f' && itemsize == 4) return BufferItems::Float32;
    if (native && format[0] == 'd' && itemsize == 8) return BufferItems::Float64;
    return BufferItems::OtherFloat;
}

bool fills(BufferItems items, bool raw_bytes) {
    return items == BufferItems::Float32 || items == BufferItems::Float64 ||
           (items == BufferItems::Integer && raw_bytes);
}

Fit store(std::span<const float> samples, void* data, std::size_t bytes, BufferItems items) {
    const std::size_t n = samples.size();
    auto* out = static_cast<std::byte*>(data);
    switch (items) {
    case BufferItems::Float64:
        if (bytes != 8 * n) return Fit::WrongCount;
        for (std::size_t i = 0; i < n; ++i) {
            const double value = samples[i];
            std::memcpy(out + 8 * i, &value, 8);
        }
        return Fit::Fits;
    case BufferItems::Float32:
        if (bytes != 4 * n) return Fit::WrongCount;
        break;
    case BufferItems::Integer:
        if (bytes != 4 * n) return Fit::WrongSize;
        break;
    case BufferItems::OtherFloat:  // never filled
    case BufferItems::Other:
        return Fit::WrongSize;
    }
    if (n > 0) std::memcpy(out, samples.data(), 4 * n);
    return Fit::Fits;
}

}  // namespace corvane::python
