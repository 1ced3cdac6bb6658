#include "signal_functions.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
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

constexpr const char* kCompressNames[] = {"data", "options"};
constexpr Parameters kCompressParameters{"compress_signal()", kCompressNames, 2, 1};

constexpr const char* kDecompressNames[] = {"data"};
constexpr Parameters kDecompressParameters{"decompress_signal()", kDecompressNames, 1, 1};

PyObject* compress_signal(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    PyObject* bound[2];
    if (!bind_arguments(kCompressParameters, args, nargs, kwnames, bound)) {
        return nullptr;
    }

    // Options are settled before the data is looked at.
    CompressionConfig config;
    if (!read_options(bound[1], config)) {
        return nullptr;
    }

    ArrayView view;
    if (!inspect_array(bound[0], view)) {
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
        // float32 samples are read where they lie: the interpreter lock is
        // held for the whole call, so no Python code can change them meanwhile.
        std::unique_ptr<float[]> narrowed;
        std::span<const float> samples;
        if (view.type == SampleType::Float32) {
            samples = std::span<const float>(static_cast<const float*>(view.data), view.count);
        } else {
            narrowed = std::make_unique_for_overwrite<float[]>(view.count);
            const std::span<const double> wide(static_cast<const double*>(view.data), view.count);
            if (auto done = narrow_to_single(wide, narrowed.get()); !done) {
                return raise_codec_error(done.error());
            }
            samples = std::span<const float>(narrowed.get(), view.count);
        }
        const auto stream = compress(samples, config);
        if (!stream) {
            return raise_codec_error(stream.error());
        }
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(stream->data()),
                                         static_cast<Py_ssize_t>(stream->size()));
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

template <class Function>
PyCFunction as_cfunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
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
