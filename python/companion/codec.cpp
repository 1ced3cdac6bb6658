// compress and decompress: the codec on buffers, with the interpreter lock
// released while coding.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "binder.hpp"
#include "companion.hpp"
#include "corvane/corvane.hpp"
#include "numpy_bridge.hpp"
#include "options.hpp"

namespace corvane::python {
namespace {

constexpr const char* kDecompressNames[] = {"data", "out"};
constexpr Parameters kDecompressParameters{"decompress()", kDecompressNames, 2, 1};

using Samples = expected<std::vector<float>, CorvaneError>;

PyObject* compress_buffer(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    CompressArguments call;
    HeldSamples input;
    if (!bind_compress_arguments("compress()", args, nargs, kwnames, call) || !input.acquire(call.data, "compress()")) {
        return nullptr;
    }
    // Refused before float64 samples are narrowed into a copy of them all.
    if (auto refused = check_sample_count(input.count()); !refused) {
        return raise_codec_error(refused.error());
    }
    std::optional<Stream> stream;
    if (!without_gil([&] {
            stream.emplace(input.visit([&](auto samples) { return compress_samples(samples, call.config); }));
        })) {
        return nullptr;
    }
    return stream_bytes(*stream);
}

PyObject* decompress_buffer(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[2];
    if (!bind_arguments(kDecompressParameters, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    HeldBuffer input;
    HeldDestination to;
    if (!input.acquire(bound[0], PyBUF_SIMPLE) || !to.acquire(bound[1], "decompress()", true)) {
        return nullptr;
    }

    std::optional<Samples> samples;
    Fit fit = Fit::Fits;
    const bool ran = without_gil([&] {
        samples.emplace(decompress_stream(input.as_bytes()));
        if (*samples && to.given()) fit = store(**samples, to.data(), to.bytes(), to.items());
    });
    if (!ran) {
        return nullptr;
    }
    if (!*samples) {
        return raise_codec_error(samples->error());
    }
    const std::size_t n = (*samples)->size();
    switch (fit) {
    case Fit::Fits:
        break;
    case Fit::WrongCount:
        PyErr_Format(PyExc_ValueError, "out holds %zu values but the stream has %zu samples", to.count(), n);
        return nullptr;
    case Fit::WrongSize:
        PyErr_Format(PyExc_ValueError, "out holds %zu bytes but the stream decodes to %zu", to.bytes(), 4 * n);
        return nullptr;
    }
    return to.result(std::move(**samples));
}

PyMethodDef kCodecMethods[] = {
    {"compress", as_cfunction(compress_buffer), METH_FASTCALL | METH_KEYWORDS,
     "compress(data, options=None)\n--\n\n"
     "The corvane stream of the samples in `data`: any C-contiguous buffer of\n"
     "native-order float32 or float64 items, taken in memory order (float64 is\n"
     "narrowed to float32 first). `options` is a CompressionOptions of this module.\n"
     "The buffer is held, and the interpreter lock released, while compressing;\n"
     "the bytes are those compress_signal returns."},
    {"decompress", as_cfunction(decompress_buffer), METH_FASTCALL | METH_KEYWORDS,
     "decompress(data, out=None)\n--\n\n"
     "Decode the corvane stream in the bytes-like `data` into a new 1-D float32\n"
     "array, or into `out` and return it. `out` is a writeable C-contiguous\n"
     "buffer: of float32 or float64 items, one per sample (float64 receives the\n"
     "float32 values widened), or of any other items with four bytes per sample\n"
     "(the float32 bytes). Both buffers are held, and the interpreter lock\n"
     "released, while decoding."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_codec(PyObject* module) {
    // The module's own class (see use_module_options_type), under the name
    // callers of this module have always used.
    PyObject* type = reinterpret_cast<PyObject*>(options_type());
    if (type == nullptr) {
        return -1;
    }
    Py_INCREF(type);
    if (PyModule_AddObject(module, "CompressionOptions", type) < 0) {
        Py_DECREF(type);
        return -1;
    }
    return PyModule_AddFunctions(module, kCodecMethods);
}

}  // namespace corvane::python
