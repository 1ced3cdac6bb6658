// The CompressionOptions class: validates compression settings once and
// carries them as the codec's CompressionConfig. The module defines it; the
// codec layer's companion takes the module's class itself.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "corvane/corvane.hpp"

namespace corvane::python {

// The class object, created on first call and kept for the life of the
// process. Returns a borrowed reference, or nullptr with an exception set.
PyTypeObject* options_type();

// For the codec layer's companion: makes options_type() the class of the
// module `corvane` (importing it), so that the companion takes the module's
// own options. False with an exception set.
bool use_module_options_type();

// The record carried by `obj`, which must be an instance of options_type().
const CompressionConfig& options_config(PyObject* obj);

// An `options` argument: absent or None leaves `config` as it is, an instance
// of options_type() gives its record; anything else raises TypeError and
// returns false.
bool read_options(PyObject* options, CompressionConfig& config);

// The arguments of a call taking (data, options=None): `data` as given (a
// borrowed reference), the options read as read_options reads them. Options
// are settled before the data is looked at.
struct CompressArguments {
    PyObject* data = nullptr;
    CompressionConfig config;
};

// Binds a fastcall argument vector as (data, options=None) of `function` (as
// messages name it, e.g. "compress_signal()"); false with an exception set.
bool bind_compress_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                             CompressArguments& out);

}  // namespace corvane::python
