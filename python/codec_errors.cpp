#include "codec_errors.hpp"

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

namespace corvane::python {

PyObject* raise_codec_error(const CorvaneError& error) {
    const std::string message = error.message();
    // Messages can quote raw stream bytes, NUL included, so pass the length.
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                          "replace");
    if (text != nullptr) {
        PyErr_SetObject(PyExc_ValueError, text);
        Py_DECREF(text);
    }
    return nullptr;
}

PyObject* raise_from_exception() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();  // a size past what any allocation could hold
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "unexpected C++ exception: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    return nullptr;
}

}  // namespace corvane::python
