// corvane_numcodecs._native: multi-phase initialisation whose exec step runs
// the parts in kParts (see companion.hpp for how to add one).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <utility>

#include "companion.hpp"
#include "module_def.hpp"
#include "numpy_bridge.hpp"

namespace corvane::python {

BufferItems buffer_items(const Py_buffer& view) {
    return buffer_items(view.format, static_cast<std::size_t>(view.itemsize));
}

namespace {

// The format as messages quote it.
const char* format_of(const Py_buffer& view) { return view.format != nullptr ? view.format : "B"; }

}  // namespace

bool HeldSamples::acquire(PyObject* obj, const char* function) {
    if (!held_.acquire(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) {
        return false;
    }
    items_ = buffer_items(held_.view());
    if (items_ != BufferItems::Float32 && items_ != BufferItems::Float64) {
        PyErr_Format(PyExc_TypeError, "%s takes float32 or float64 samples in native byte order, not items of format '%s'",
                     function, format_of(held_.view()));
        return false;
    }
    count_ = held_.bytes() / static_cast<std::size_t>(held_.view().itemsize);
    return true;
}

bool HeldDestination::acquire(PyObject* out, const char* function, bool raw_bytes) {
    if (out == nullptr || out == Py_None) {
        return true;
    }
    if (!held_.acquire(out, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS)) {
        return false;
    }
    out_ = out;
    items_ = buffer_items(held_.view());
    if (fills(items_, raw_bytes)) return true;
    if (items_ == BufferItems::Other && raw_bytes) {
        PyErr_Format(PyExc_TypeError,
                     "%s fills float32 or float64 values, or the bytes of float32 samples into items of a byte "
                     "or integer format, not items of format '%s'",
                     function, format_of(held_.view()));
        return false;
    }
    PyErr_Format(PyExc_TypeError, "%s fills float32 or float64 values in native byte order, not items of format '%s'",
                 function, format_of(held_.view()));
    return false;
}

PyObject* HeldDestination::result(std::vector<float>&& made) const {
    if (out_ != nullptr) {
        Py_INCREF(out_);
        return out_;
    }
    return adopt_samples(std::move(made));
}

namespace {

using AddPart = int (*)(PyObject*);

// The parts of the module, in the order they are added.
constexpr AddPart kParts[] = {
    add_codec,
    add_targets,
    add_lanes,
    add_facts,
    add_inspect,
};

int exec_module(PyObject* module) {
    // Fetched once here, under the import lock, so that no call races to do it.
    if (!ensure_numpy()) {
        return -1;
    }
    // The options every part takes are the module's own.
    if (!use_module_options_type()) {
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

PyModuleDef kModule = stateless_module(
    "corvane_numcodecs._native",
    "The codec layer's native path: corvane streams from any float buffer and\n"
    "back into any writeable buffer, with the interpreter lock released while\n"
    "coding. Streams and samples are those of the corvane module.",
    kSlots);

}  // namespace
}  // namespace corvane::python

PyMODINIT_FUNC PyInit__native(void) {
    return PyModuleDef_Init(&corvane::python::kModule);
}
