// The definition both extension modules are made from.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace corvane::python {

// A module of multi-phase initialisation that keeps no per-module state: no
// state size, methods, traverse, clear or free of its own; its slots (an exec
// step, and whatever else the module declares) add everything it holds.
// `slots` ends with {0, nullptr} and lives as long as the process.
inline PyModuleDef stateless_module(const char* name, const char* doc, PyModuleDef_Slot* slots) {
    return {PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, slots, nullptr, nullptr, nullptr};
}

}  // namespace corvane::python
