// compress_signal and decompress_signal: argument checks, conversion to and
// from the codec's types, and the mapping of codec errors onto exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace corvane::python {

extern PyMethodDef compress_signal_def;
extern PyMethodDef decompress_signal_def;

}  // namespace corvane::python
