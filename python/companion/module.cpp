// corvane_numcodecs._native: multi-phase initialisation whose exec step runs
// the parts in kParts (see companion.hpp for how to add one).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

#include "companion.hpp"
#include "numpy_bridge.hpp"

namespace corvane::python {

BufferItems buffer_items(const Py_buffer& view) {
    const char* format = view.format != nullptr ? view.format : "B";
    constexpr bool kLittle = PY_LITTLE_ENDIAN != 0;
    bool native = true;
    if (*format == '@' || *format == '=' || (*format == '<' && kLittle) ||
        ((*format == '>' || *format == '!') && !kLittle)) {
        ++format;
    } else if (*format == '<' || *format == '>' || *format == '!') {
        native = false;
        ++format;
    }
    const bool one_letter = format[0] != '\0' && format[1] == '\0';
    if (!one_letter || std::strchr("efdg", format[0]) == nullptr) return BufferItems::Other;
    if (native && format[0] == 'f' && view.itemsize == 4) return BufferItems::Float32;
    if (native && format[0] == 'd' && view.itemsize == 8) return BufferItems::Float64;
    return BufferItems::OtherFloat;
}

bool acquire_samples(HeldBuffer& held, PyObject* obj, const char* function, BufferItems& items) {
    if (!held.acquire(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) {
        return false;
    }
    items = buffer_items(held.view());
    if (items != BufferItems::Float32 && items != BufferItems::Float64) {
        PyErr_Format(PyExc_TypeError, "%s takes float32 or float64 samples in native byte order, not items of format '%s'",
                     function, held.view().format != nullptr ? held.view().format : "B");
        return false;
    }
    return true;
}

namespace {

using AddPart = int (*)(PyObject*);

// The parts of the module, in the order they are added.
constexpr AddPart kParts[] = {
    add_codec,
    add_targets,
    add_lanes,
};

int exec_module(PyObject* module) {
    // Fetched once here, under the import lock, so that no call races to do it.
    if (!ensure_numpy()) {
        return -1;
    }
    for (const AddPart add : kParts) {
        if (add(module) < 0) {
            return -1;
        }
    }
    return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    // Calls share no mutable state, and every part releases the lock for its
    // codec work anyway.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "corvane_numcodecs._native",
    "The codec layer's native path: corvane streams from any float buffer and\n"
    "back into any writeable buffer, with the interpreter lock released while\n"
    "coding. Streams and samples are those of the corvane module.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace corvane::python

PyMODINIT_FUNC PyInit__native(void) {
    return PyModuleDef_Init(&corvane::python::kModule);
}
