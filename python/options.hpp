// The CompressionOptions class: validates compression settings once and
// carries them as the codec's CompressionConfig.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "corvane/corvane.hpp"

namespace corvane::python {

// The class object, created on first call and kept for the life of the
// process. Returns a borrowed reference, or nullptr with an exception set.
PyTypeObject* options_type();

// The record carried by `obj`, which must be an instance of options_type().
const CompressionConfig& options_config(PyObject* obj);

}  // namespace corvane::python
