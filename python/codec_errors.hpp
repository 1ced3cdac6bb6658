// The mapping of codec failures onto Python exceptions, shared by the module
// and the codec layer's companion so both report a failure in the same words.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "corvane/corvane.hpp"

namespace corvane::python {

// Sets ValueError with the error's text; returns nullptr.
PyObject* raise_codec_error(const CorvaneError& error);

// Call from inside a catch block: memory exhaustion becomes MemoryError,
// anything else SystemError. Nothing may unwind into the interpreter.
// Returns nullptr.
PyObject* raise_from_exception();

}  // namespace corvane::python
