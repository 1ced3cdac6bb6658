// Argument binding for the module's callables.
//
// Callers see Python-style binding messages ("takes from 1 to 2 positional
// arguments", "got multiple values for argument ...") that are part of the
// module's behaviour, so binding is done here rather than by PyArg_Parse*,
// whose wording differs.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace corvane::python {

// Every parameter is positional-or-keyword; the first `required` of them have
// no default.
struct Parameters {
    const char* function;  // as it appears in messages, e.g. "compress_signal()"
    const char* const* names;
    Py_ssize_t count;
    Py_ssize_t required;
};

// Binds a fastcall argument vector. On success `out[i]` holds a borrowed
// reference to the i-th argument, or nullptr when it was not given; on failure
// a TypeError is set and false returned.
bool bind_arguments(const Parameters& params, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);

// The same for a tuple and an optional keyword dict (type constructors).
bool bind_arguments(const Parameters& params, PyObject* args, PyObject* kwargs, PyObject** out);

// Raises TypeError "argument '<param>': '<type>' object is not an instance of
// '<expected>'" ("'None' is not an instance of ..." for None).
void raise_not_instance(const char* param, PyObject* obj, const char* expected);

// A conversion of `param` failed. A pending TypeError is replaced by
// "argument '<param>': <its text>", carrying over its cause; any other
// exception is left as it is.
void prefix_type_error(const char* param);

// A fastcall-with-keywords function as a method table takes it.
template <class Function>
PyCFunction as_cfunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace corvane::python
