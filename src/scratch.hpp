// Working memory that one call hands from stage to stage. The first write to
// a page of fresh memory costs the kernel a fault and a page clear, and large
// allocations are fresh memory on every call, so a stage whose input is dead
// by the time it starts reuses the pages an earlier stage has written
// instead of asking for new ones.
#pragma once

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

    std::span<std::byte> bytes() const { return {storage_.get(), bytes_}; }

    // The storage as `count` objects of type T (at least one, and no more
    // than it holds); whatever lived in those bytes before ends there. No
    // code runs: the values are whatever the bytes held.
    template <class T>
    T* as(std::size_t count) const {
        static_assert(std::is_trivially_default_constructible_v<T> && std::is_trivially_destructible_v<T>);
        CORVANE_ASSERT(count != 0 && count * sizeof(T) <= bytes_);
        return ::new (static_cast<void*>(storage_.get())) T[count];
    }

private:
    std::unique_ptr<std::byte[]> storage_;
    std::size_t bytes_ = 0;
};

}  // namespace corvane
