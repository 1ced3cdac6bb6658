// Helpers shared by the harnesses. A harness signals a finding by aborting:
// libFuzzer then keeps the input that caused it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

namespace corvane::fuzz {

[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "harness check failed: %s\n", what);
    std::abort();
}

inline void check(bool ok, const char* what) {
    if (!ok) fail(what);
}

inline std::uint32_t load_u32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

// Consumes bytes from the front of the fuzz input; reads past the end give 0.
class Cursor {
public:
    Cursor(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint32_t u32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= std::uint32_t{byte()} << (8 * i);
        return v;
    }
    std::span<const std::uint8_t> rest() const {
        return pos_ < size_ ? std::span<const std::uint8_t>(data_ + pos_, size_ - pos_)
                            : std::span<const std::uint8_t>();
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace corvane::fuzz
