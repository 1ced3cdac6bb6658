// Working memory that one call hands from stage to stage. The first write to
// a page of fresh memory costs the kernel a fault and a page clear, and large
// allocations are fresh memory on every call, so a stage whose input is dead
// by the time it starts reuses the pages an earlier stage has written
// instead of asking for new ones.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <type_traits>

#include "src/check.hpp"

namespace corvane {

class Scratch {
public:
    Scratch() = default;
    explicit Scratch(std::size_t bytes) : storage_(std::make_unique_for_overwrite<std::byte[]>(bytes)), bytes_(bytes) {}

    // The bytes a later stage may overwrite: all of them, or the first ones
    // that keep_front() has left it.
    std::span<std::byte> bytes() const { return {storage_.get(), bytes_}; }

    // From here on only the first `bytes` are handed on; what lies past them
    // is the caller's and lives as long as the storage does.
    void keep_front(std::size_t bytes) { bytes_ = std::min(bytes_, bytes); }

    // `count` objects of type T (at least one) from byte `offset` on, a
    // multiple of T's size, within the storage; whatever lived in those bytes
    // before ends there. No code runs: the values are whatever the bytes held.
    template <class T>
    T* as(std::size_t count, std::size_t offset = 0) const {
        static_assert(std::is_trivially_default_constructible_v<T> && std::is_trivially_destructible_v<T>);
        CORVANE_ASSERT(count != 0 && offset % sizeof(T) == 0 && offset + count * sizeof(T) <= bytes_);
        return ::new (static_cast<void*>(storage_.get() + offset)) T[count];
    }

private:
    std::unique_ptr<std::byte[]> storage_;
    std::size_t bytes_ = 0;
};

}  // namespace corvane
