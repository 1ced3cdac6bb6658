// compress_lanes and decompress_lanes: every lane of a chunk its own stream,
// the lanes spread over the machine's cores with the interpreter lock released.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "binder.hpp"
#include "companion.hpp"
#include "numpy_bridge.hpp"
#include "corvane/corvane.hpp"
#include "corvane/layer.hpp"

namespace corvane::python {
namespace {

constexpr const char* kCompressNames[] = {"data", "outer", "length", "inner", "options", "threads"};
constexpr Parameters kCompressParameters{"compress_lanes()", kCompressNames, 6, 4};

constexpr const char* kDecompressNames[] = {"data", "inner", "out", "threads"};
constexpr Parameters kDecompressParameters{"decompress_lanes()", kDecompressNames, 4, 1};

// A count argument: a non-negative index, or false with an exception set.
bool read_count(PyObject* obj, const char* name, std::size_t& count) {
    if (obj == nullptr || obj == Py_None) return true;  // the default stays
    const Py_ssize_t value = PyNumber_AsSsize_t(obj, PyExc_OverflowError);
    if (value == -1 && PyErr_Occurred()) {
        prefix_type_error(name);
        return false;
    }
    if (value < 0) {
        PyErr_Format(PyExc_ValueError, "%s must not be negative, not %zd", name, value);
        return false;
    }
    count = static_cast<std::size_t>(value);
    return true;
}

bool read_threads(PyObject* obj, unsigned& threads) {
    std::size_t count = 0;
    if (!read_count(obj, "threads", count)) return false;
    threads = count > 4096 ? 4096u : static_cast<unsigned>(count);
    return true;
}

PyObject* compress_lanes_buffer(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[6];
    if (!bind_arguments(kCompressParameters, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    LaneLayout layout;
    CompressionConfig config;
    unsigned threads = 0;
    if (!read_count(bound[1], "outer", layout.outer) || !read_count(bound[2], "length", layout.length) ||
        !read_count(bound[3], "inner", layout.inner) || !read_options(bound[4], config) ||
        !read_threads(bound[5], threads)) {
        return nullptr;
    }
    HeldSamples input;
    if (!input.acquire(bound[0], "compress_lanes()")) {
        return nullptr;
    }
    const std::size_t count = input.count();
    std::size_t wanted = layout.outer;
    if (__builtin_mul_overflow(wanted, layout.length, &wanted) ||
        __builtin_mul_overflow(wanted, layout.inner, &wanted) || wanted != count) {
        PyErr_Format(PyExc_ValueError, "data holds %zu samples, not %zu lanes of %zu", count,
                     layout.outer * layout.inner, layout.length);
        return nullptr;
    }

    std::optional<Stream> run;
    if (!without_gil([&] {
            run.emplace(input.visit([&](auto samples) { return compress_lanes(samples, layout, config, threads); }));
        })) {
        return nullptr;
    }
    return stream_bytes(*run);
}

PyObject* decompress_lanes_buffer(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[4];
    if (!bind_arguments(kDecompressParameters, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    std::size_t inner = 0;
    unsigned threads = 0;
    if (!read_count(bound[1], "inner", inner) || !read_threads(bound[3], threads)) {
        return nullptr;
    }
    HeldBuffer input;
    HeldDestination out;
    if (!input.acquire(bound[0], PyBUF_SIMPLE) || !out.acquire(bound[2], "decompress_lanes()", false)) {
        return nullptr;
    }
    const std::size_t out_count = out.given() ? out.count() : 0;

    std::optional<expected<std::vector<float>, CorvaneError>> made;
    std::optional<CorvaneError> failure;
    std::size_t samples = 0;
    bool fits = true;
    const bool ran = without_gil([&] {
        auto run = split_lanes(input.as_bytes(), inner);
        if (!run) {
            failure = std::move(run).error();
            return;
        }
        samples = run->layout.samples();
        if (!out.given()) {
            made.emplace(decompress_lanes(*run, threads));
            return;
        }
        fits = samples == out_count;
        if (!fits) return;
        using Type = corvane::SampleType;
        const Type type = out.items() == BufferItems::Float32 ? Type::Float32 : Type::Float64;
        auto decoded = decompress_lanes(*run, out.data(), type, threads);
        if (!decoded) failure = std::move(decoded).error();
    });
    if (!ran) {
        return nullptr;
    }
    if (made && !*made) failure = made->error();
    if (failure) {
        return raise_codec_error(*failure);
    }
    if (!fits) {
        PyErr_Format(PyExc_ValueError, "out holds %zu values but the lanes have %zu samples", out_count, samples);
        return nullptr;
    }
    return out.result(made ? std::move(**made) : std::vector<float>());
}

PyMethodDef kLaneMethods[] = {
    {"compress_lanes", as_cfunction(compress_lanes_buffer), METH_FASTCALL | METH_KEYWORDS,
     "compress_lanes(data, outer, length, inner, options=None, threads=0)\n--\n\n"
     "The streams of every lane of a chunk, back to back. `data` is a C-contiguous\n"
     "buffer of native-order float32 or float64 items seen as (outer, length,\n"
     "inner): lane o * inner + i holds the `length` samples at (o * length + t) *\n"
     "inner + i. Each lane's stream is the one compress() makes of that lane.\n"
     "Lanes are coded on up to `threads` threads (0: one per core), with the\n"
     "buffer held and the interpreter lock released."},
    {"decompress_lanes", as_cfunction(decompress_lanes_buffer), METH_FASTCALL | METH_KEYWORDS,
     "decompress_lanes(data, inner=0, out=None, threads=0)\n--\n\n"
     "Decode a run of lane streams whose lanes form groups of `inner` (0: one\n"
     "group of all of them) into the (outer, length, inner) layout compress_lanes\n"
     "reads: into a new 1-D float32 array, or into `out` (a writeable C-contiguous\n"
     "buffer of native-order float32 or float64 items, one per sample), which is\n"
     "returned. Lanes are decoded on up to `threads` threads, with the buffers held\n"
     "and the interpreter lock released."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_lanes(PyObject* module) {
    return PyModule_AddFunctions(module, kLaneMethods);
}

}  // namespace corvane::python
