#include "signal_functions.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "binder.hpp"
#include "codec_errors.hpp"
#include "numpy_bridge.hpp"
#include "options.hpp"
#include "corvane/corvane.hpp"

namespace corvane::python {
namespace {

constexpr const char* kDecompressNames[] = {"data"};
constexpr Parameters kDecompressParameters{"decompress_signal()", kDecompressNames, 1, 1};

PyObject* compress_signal(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    CompressArguments call;
    if (!bind_compress_arguments("compress_signal()", args, nargs, kwnames, call)) {
        return nullptr;
    }
    ArrayView view;
    if (!inspect_array(call.data, view)) {
        return nullptr;
    }
    if (view.type == SampleType::Unsupported) {
        PyErr_SetString(PyExc_ValueError, "expected a 1-D float32 or float64 NumPy array");
        return nullptr;
    }
    if (!view.readable_in_place) {
        PyErr_SetString(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
        return nullptr;
    }

    try {
        // The samples are read where they lie: the interpreter lock is held
        // for the whole call, so no Python code can change them meanwhile.
        if (view.type == SampleType::Float32) {
            return stream_bytes(
                compress_samples(std::span<const float>(static_cast<const float*>(view.data), view.count), call.config));
        }
        return stream_bytes(
            compress_samples(std::span<const double>(static_cast<const double*>(view.data), view.count), call.config));
    } catch (...) {
        return raise_from_exception();
    }
}

PyObject* decompress_signal(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    PyObject* bound[1];
    if (!bind_arguments(kDecompressParameters, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    PyObject* data = bound[0];
    if (!PyBytes_Check(data)) {
        raise_not_instance("data", data, "bytes");
        return nullptr;
    }
    // Fail before decoding rather than after, should NumPy be unusable.
    if (!ensure_numpy()) {
        return nullptr;
    }
    try {
        const std::span<const std::uint8_t> stream(
            reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data)),
            static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
        auto samples = decompress(stream);
        if (!samples) {
            return raise_codec_error(samples.error());
        }
        return adopt_samples(std::move(*samples));
    } catch (...) {
        return raise_from_exception();
    }
}

}  // namespace

PyMethodDef compress_signal_def = {
    "compress_signal",
    as_cfunction(compress_signal),
    METH_FASTCALL | METH_KEYWORDS,
    "compress_signal(data, options=None)\n--\n\n"
    "Compress a 1-D float32 **or** float64 NumPy array into Corvane `bytes`.\n\n"
    "float64 input is downcast to float32 before compression (the codec works in\n"
    "f32 internally and always reconstructs f32 on decompress).",
};

PyMethodDef decompress_signal_def = {
    "decompress_signal",
    as_cfunction(decompress_signal),
    METH_FASTCALL | METH_KEYWORDS,
    "decompress_signal(data)\n--\n\n"
    "Decompress a Corvane bytes object into a 1-D float32 NumPy array.",
};

}  // namespace corvane::python
