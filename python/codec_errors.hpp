// The codec as both extension modules call it, and the mapping of its results
// and failures onto Python, shared by the module and the codec layer's
// companion so both compress alike and report a failure in the same words.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

#include "corvane/corvane.hpp"

namespace corvane::python {

using Stream = expected<std::vector<std::uint8_t>, CorvaneError>;

// The stream of the samples: float64 samples are narrowed to single precision
// first, by the module's own rule. Needs no Python objects.
Stream compress_samples(std::span<const float> samples, const CompressionConfig& config);
Stream compress_samples(std::span<const double> samples, const CompressionConfig& config);

// The stream as a new bytes object, or its error raised (nullptr).
PyObject* stream_bytes(const Stream& stream);

// Sets ValueError with the error's text; returns nullptr.
PyObject* raise_codec_error(const CorvaneError& error);

// Call from inside a catch block: memory exhaustion becomes MemoryError,
// anything else SystemError. Nothing may unwind into the interpreter.
// Returns nullptr.
PyObject* raise_from_exception();

}  // namespace corvane::python
