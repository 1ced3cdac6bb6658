#include "codec_errors.hpp"

#include <cstddef>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace corvane::python {

Stream compress_samples(std::span<const float> samples, const CompressionConfig& config) {
    return compress(samples, config);
}

Stream compress_samples(std::span<const double> samples, const CompressionConfig& config) {
    const std::size_t count = samples.size();
    auto narrowed = std::make_unique_for_overwrite<float[]>(count);
    if (auto done = narrow_to_single(samples, narrowed.get()); !done) {
        return unexpected(std::move(done).error());
    }
    return compress(std::span<const float>(narrowed.get(), count), config);
}

PyObject* stream_bytes(const Stream& stream) {
    if (!stream) {
        return raise_codec_error(stream.error());
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(stream->data()),
                                     static_cast<Py_ssize_t>(stream->size()));
}

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
