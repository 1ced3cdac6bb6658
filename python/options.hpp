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

// An `options` argument: absent or None leaves `config` as it is, an instance
// of options_type() gives its record; anything else raises TypeError and
// returns false.
bool read_options(PyObject* options, CompressionConfig& config);

}  // namespace corvane::python
