#include "binder.hpp"

#include <cstring>
#include <new>
#include <string>

namespace corvane::python {
namespace {

Py_ssize_t find_parameter(const Parameters& params, PyObject* keyword) {
    if (!PyUnicode_Check(keyword)) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < params.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, params.names[i]) == 0) {
            return i;
        }
    }
    return -1;
}

bool check_positional_count(const Parameters& params, Py_ssize_t nargs) {
    if (nargs <= params.count) {
        return true;
    }
    const char* verb = nargs == 1 ? "was" : "were";
    if (params.required == params.count) {
        PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                     params.function, params.count, nargs, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                     params.function, params.required, params.count, nargs, verb);
    }
    return false;
}

bool assign_keyword(const Parameters& params, PyObject* keyword, PyObject* value, PyObject** out) {
    const Py_ssize_t index = find_parameter(params, keyword);
    if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", params.function,
                     keyword);
        return false;
    }
    if (out[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", params.function,
                     params.names[index]);
        return false;
    }
    out[index] = value;
    return true;
}

// Names the missing required parameters the way Python does: 'a', 'a' and 'b',
// or 'a', 'b', and 'c'.
bool check_required(const Parameters& params, PyObject** out) {
    Py_ssize_t missing = 0;
    for (Py_ssize_t i = 0; i < params.required; ++i) {
        missing += out[i] == nullptr ? 1 : 0;
    }
    if (missing == 0) {
        return true;
    }
    try {
        std::string names;
        Py_ssize_t listed = 0;
        for (Py_ssize_t i = 0; i < params.required; ++i) {
            if (out[i] != nullptr) {
                continue;
            }
            if (listed > 0) {
                names += missing == 2 ? " and " : (listed == missing - 1 ? ", and " : ", ");
            }
            names += '\'';
            names += params.names[i];
            names += '\'';
            ++listed;
        }
        PyErr_Format(PyExc_TypeError, "%s missing %zd required positional argument%s: %s",
                     params.function, missing, missing == 1 ? "" : "s", names.c_str());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return false;
}

void clear_bound(const Parameters& params, PyObject** out) {
    for (Py_ssize_t i = 0; i < params.count; ++i) {
        out[i] = nullptr;
    }
}

const char* type_name(PyObject* obj) {
    // tp_name of an extension type carries its module ("numpy.ndarray");
    // callers are shown the plain class name.
    const char* name = Py_TYPE(obj)->tp_name;
    const char* dot = std::strrchr(name, '.');
    return dot != nullptr ? dot + 1 : name;
}

}  // namespace

bool bind_arguments(const Parameters& params, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
    clear_bound(params, out);
    if (!check_positional_count(params, nargs)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out[i] = args[i];
    }
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (!assign_keyword(params, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) {
            return false;
        }
    }
    return check_required(params, out);
}

bool bind_arguments(const Parameters& params, PyObject* args, PyObject* kwargs, PyObject** out) {
    clear_bound(params, out);
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!check_positional_count(params, nargs)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out[i] = PyTuple_GET_ITEM(args, i);
    }
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* keyword = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &keyword, &value)) {
            if (!assign_keyword(params, keyword, value, out)) {
                return false;
            }
        }
    }
    return check_required(params, out);
}

void raise_not_instance(const char* param, PyObject* obj, const char* expected) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "argument '%s': 'None' is not an instance of '%s'", param,
                     expected);
    } else {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object is not an instance of '%s'", param,
                     type_name(obj), expected);
    }
}

void prefix_type_error(const char* param) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
        return;
    }
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyObject* cause = nullptr;
    PyObject* renamed = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value == nullptr) {
        goto error;
    }
    {
        PyObject* message = PyUnicode_FromFormat("argument '%s': %S", param, value);
        if (message == nullptr) {
            goto error;
        }
        renamed = PyObject_CallOneArg(PyExc_TypeError, message);
        Py_DECREF(message);
        if (renamed == nullptr) {
            goto error;
        }
    }
    cause = PyException_GetCause(value);  // new reference, or nullptr
    PyException_SetCause(renamed, cause);  // steals `cause`; also suppresses the context
    PyErr_SetObject(PyExc_TypeError, renamed);
    Py_DECREF(renamed);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return;

error:
    // A failure while building the new error (memory) replaces the original;
    // otherwise the original stands.
    Py_XDECREF(renamed);
    if (PyErr_Occurred()) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return;
    }
    PyErr_Restore(type, value, traceback);
}

}  // namespace corvane::python
