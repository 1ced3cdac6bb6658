// The extension module `corvane`: multi-phase initialisation whose single exec
// step adds the options class and the two functions, listing each in __all__.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "module_def.hpp"
#include "options.hpp"
#include "signal_functions.hpp"

namespace corvane::python {
namespace {

// Appends `name` to the module's __all__ (creating the list on first use),
// then binds it. Does not steal `value`.
int add_public(PyObject* module, const char* name, PyObject* value) {
    PyObject* all = nullptr;
    PyObject* name_obj = nullptr;
    int status = -1;
    all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            goto done;
        }
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
            goto done;
        }
    }
    name_obj = PyUnicode_FromString(name);
    if (name_obj == nullptr || PyList_Append(all, name_obj) < 0) {
        goto done;
    }
    status = PyObject_SetAttr(module, name_obj, value);
done:
    Py_XDECREF(name_obj);
    Py_XDECREF(all);
    return status;
}

int add_function(PyObject* module, PyMethodDef* def) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) {
        return -1;
    }
    PyObject* function = PyCFunction_NewEx(def, module, module_name);
    Py_DECREF(module_name);
    if (function == nullptr) {
        return -1;
    }
    const int status = add_public(module, def->ml_name, function);
    Py_DECREF(function);
    return status;
}

int exec_module(PyObject* module) {
    PyTypeObject* type = options_type();
    if (type == nullptr ||
        add_public(module, "CompressionOptions", reinterpret_cast<PyObject*>(type)) < 0) {
        return -1;
    }
    if (add_function(module, &compress_signal_def) < 0) {
        return -1;
    }
    return add_function(module, &decompress_signal_def);
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = stateless_module("corvane", "", kSlots);

}  // namespace
}  // namespace corvane::python

PyMODINIT_FUNC PyInit_corvane(void) {
    return PyModuleDef_Init(&corvane::python::kModule);
}
