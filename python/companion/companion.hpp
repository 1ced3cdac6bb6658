// corvane_numcodecs._native, the codec layer's native companion: what its
// parts share.
//
// Extension point. The module is assembled from parts; each part lives in its
// own source file, declares one function below,
//
//     int add_<part>(PyObject* module);   // 0, or -1 with an exception set
//
// that adds its functions (a PyMethodDef table through PyModule_AddFunctions)
// and any types to the module, and is listed once in kParts in module.cpp and
// in this folder's CMakeLists.txt. Parts run in the order listed, after NumPy's
// C API has been fetched. A part's functions must take the interpreter lock
// off for the codec work (without_gil below) and must not keep state between
// calls: the module declares that it runs without the GIL where the
// interpreter is free-threaded.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "binder.hpp"  // as_cfunction and the binding every part does
#include "codec_errors.hpp"
#include "destination.hpp"
#include "options.hpp"  // read_options: the options argument every part takes
#include "corvane/corvane.hpp"

namespace corvane::python {

// The codec: compress and decompress (codec.cpp).
int add_codec(PyObject* module);
// Error targets: compress_to_target (targets.cpp).
int add_targets(PyObject* module);

// Lanes: compress_lanes and decompress_lanes (lanes.cpp).
int add_lanes(PyObject* module);

// The codec's facts (name lists, stream layout, limits) and measure_error
// (facts.cpp).
int add_facts(PyObject* module);

// The error measure a target name ('max_abs_error', 'prd') stands for;
// nullopt with ValueError set for any other.
std::optional<ErrorMeasure> target_measure(PyObject* name);

// Inspection: stream_facts (stream_facts.cpp).
int add_inspect(PyObject* module);

// A buffer export held for the length of a call: while it is held the
// exporter can neither resize nor free the memory (a bytearray refuses to
// resize, a NumPy array to be resized), so the memory may be read or written
// with the interpreter lock off.
class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    // PyObject_GetBuffer with `flags`; false with the exporter's exception set.
    bool acquire(PyObject* obj, int flags) {
        held_ = PyObject_GetBuffer(obj, &view_, flags) == 0;
        return held_;
    }

    const Py_buffer& view() const { return view_; }
    std::size_t bytes() const { return static_cast<std::size_t>(view_.len); }
    // The memory as bytes (a stream to decode).
    std::span<const std::uint8_t> as_bytes() const { return {static_cast<const std::uint8_t*>(view_.buf), bytes()}; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// What the items of a buffer are (see destination.hpp). Needs PyBUF_FORMAT.
BufferItems buffer_items(const Py_buffer& view);

// The samples of a call, held for its length: a C-contiguous buffer of
// native-order float32 or float64 items.
class HeldSamples {
public:
    // False with the exporter's exception set, or a TypeError that `function`
    // ("compress()") takes no items of that format.
    bool acquire(PyObject* obj, const char* function);

    std::size_t count() const { return count_; }

    // f(std::span<const float>) or f(std::span<const double>), as the items
    // are; what f returns. Items that do not lie at a multiple of their size
    // are copied to aligned memory first. Needs no Python objects.
    template <class F>
    auto visit(F&& f) const {
        if (items_ == BufferItems::Float32) return visit_as<float>(f);
        return visit_as<double>(f);
    }

private:
    template <class T, class F>
    auto visit_as(F& f) const {
        const void* data = held_.view().buf;
        std::unique_ptr<T[]> aligned;
        if (reinterpret_cast<std::uintptr_t>(data) % alignof(T) != 0) {
            aligned = std::make_unique_for_overwrite<T[]>(count_);
            std::memcpy(aligned.get(), data, count_ * sizeof(T));
            data = aligned.get();
        }
        return f(std::span<const T>(static_cast<const T*>(data), count_));
    }

    HeldBuffer held_;
    BufferItems items_ = BufferItems::Other;
    std::size_t count_ = 0;
};

// The `out` argument of a decoding call, held for its length: absent or None
// asks for a new array; anything else must be a writeable C-contiguous buffer.
class HeldDestination {
public:
    // False with the exporter's exception set, or a TypeError that `function`
    // ("decompress()") fills no items of that format: it fills native-order
    // float32 and float64 items and, where `raw_bytes` allows, the bytes of
    // float32 samples into items of a byte or integer format. The memory may
    // have any alignment.
    bool acquire(PyObject* out, const char* function, bool raw_bytes);

    bool given() const { return out_ != nullptr; }
    void* data() const { return held_.view().buf; }
    std::size_t bytes() const { return held_.bytes(); }
    BufferItems items() const { return items_; }
    // Items, of whatever format (none when no buffer was given).
    std::size_t count() const {
        const Py_ssize_t size = held_.view().itemsize;
        return size > 0 ? bytes() / static_cast<std::size_t>(size) : 0;
    }

    // What the call returns once the samples are in: `out` itself, or, when
    // none was given, a new array of `made`. A new reference, or nullptr with
    // an exception set.
    PyObject* result(std::vector<float>&& made) const;

private:
    PyObject* out_ = nullptr;
    HeldBuffer held_;
    BufferItems items_ = BufferItems::Other;
};

// Runs `work()` with the interpreter lock released. An exception escaping it
// is turned into the matching Python exception once the lock is back, and
// false returned; true otherwise. `work` must not touch Python objects.
template <class Work>
bool without_gil(Work&& work) {
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS
    try {
        work();
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (!failure) return true;
    try {
        std::rethrow_exception(failure);
    } catch (...) {
        raise_from_exception();
    }
    return false;
}

}  // namespace corvane::python
