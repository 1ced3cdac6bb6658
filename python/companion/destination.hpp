// What a caller's buffer holds and how decoded samples go into it: the part
// of the companion's buffer handling that needs no Python objects, so that
// the fuzz harnesses drive the very code the companion runs.
#pragma once

#include <cstddef>
#include <span>

namespace corvane::python {

// What the items of a buffer are, judged by its format and item size.
enum class BufferItems { Float32, Float64, OtherFloat, Integer, Other };

// Float32 or Float64 for native-order single or double precision items
// ("f", "d", optionally prefixed by a byte-order mark that means this
// machine's order); OtherFloat for floating-point items of another size or
// byte order; Integer for bytes and integers of any size and order; Other for
// everything else (bool, object, pointer, complex, structured). A missing
// format (nullptr) means unsigned bytes.
BufferItems buffer_items(const char* format, std::size_t itemsize);

// Whether a destination of such items is filled: float32 and float64 items
// always, byte and integer items with the bytes of float32 samples where
// `raw_bytes` allows. Floats of another size or order would not read back as
// the samples; float bits in objects, pointers or bools make values their
// readers cannot hold.
bool fills(BufferItems items, bool raw_bytes);

enum class Fit { Fits, WrongCount, WrongSize };

// The samples into `bytes` bytes at `data` (any alignment, byte copies only),
// as values of its items' type or, for byte and integer items, as the bytes
// of float32 samples; nothing is written unless they fit exactly.
Fit store(std::span<const float> samples, void* data, std::size_t bytes, BufferItems items);

}  // namespace corvane::python
