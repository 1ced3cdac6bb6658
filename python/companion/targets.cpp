// compress_to_target: the smallest stream that keeps an error target,
// decompress_chunk, which reads what it writes, and store_samples, which gives
// decoded samples back in a chunk's type; the interpreter lock released while
// coding.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "binder.hpp"
#include "companion.hpp"
#include "corvane/corvane.hpp"
#include "corvane/layer.hpp"
#include "numpy_bridge.hpp"
#include "options.hpp"

namespace corvane::python {
namespace {

constexpr const char* kNames[] = {"data", "options", "target", "bound"};
constexpr Parameters kParameters{"compress_to_target()", kNames, 4, 4};

// The sample type of a buffer's items: native-order floats of 4 or 8 bytes,
// or integers of the served widths; false for anything else.
bool sample_type_of(const Py_buffer& view, corvane::SampleType& type) {
    const char* format = view.format != nullptr ? view.format : "B";
    constexpr bool kLittle = PY_LITTLE_ENDIAN != 0;
    if (*format == '@' || *format == '=' || (*format == '<' && kLittle) || ((*format == '>' || *format == '!') && !kLittle))
        ++format;
    if (format[0] == '\0' || format[1] != '\0') return false;
    const char c = format[0];
    const Py_ssize_t size = view.itemsize;
    const bool is_signed = std::strchr("bhilq", c) != nullptr, is_unsigned = std::strchr("BHILQ", c) != nullptr;
    if (c == 'f' && size == 4) type = corvane::SampleType::Float32;
    else if (c == 'd' && size == 8) type = corvane::SampleType::Float64;
    else if (is_signed && size == 1) type = corvane::SampleType::Int8;
    else if (is_signed && size == 2) type = corvane::SampleType::Int16;
    else if (is_signed && size == 4) type = corvane::SampleType::Int32;
    else if (is_unsigned && size == 1) type = corvane::SampleType::Uint8;
    else if (is_unsigned && size == 2) type = corvane::SampleType::Uint16;
    else return false;
    return true;
}

PyObject* raise_unreachable(const char* target, double bound, Method method, const UnreachableTarget& miss) {
    // Rounded up, so that the figure named is itself reachable.
    const std::string method_name(name_of(kMethodNames, method));
    char text[256];
    std::snprintf(text, sizeof text,
                  "%s=%.6g is out of reach for these samples with method '%s': the smallest reachable is %.6g",
                  target, bound, method_name.c_str(), miss.best * (1.0 + 1e-5));
    // The figure travels with the exception too, as `best`, for callers that
    // aim again.
    PyObject* error = PyObject_CallFunction(PyExc_ValueError, "s", text);
    if (error == nullptr) return nullptr;
    PyObject* best = PyFloat_FromDouble(miss.best);
    if (best == nullptr || PyObject_SetAttrString(error, "best", best) < 0) {
        Py_XDECREF(best);
        Py_DECREF(error);
        return nullptr;
    }
    Py_DECREF(best);
    PyErr_SetObject(PyExc_ValueError, error);
    Py_DECREF(error);
    return nullptr;
}

PyObject* compress_to_target_buffer(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    PyObject* bound[4];
    if (!bind_arguments(kParameters, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    PyTypeObject* type = options_type();
    if (type == nullptr) {
        return nullptr;
    }
    if (!PyObject_TypeCheck(bound[1], type)) {
        raise_not_instance("options", bound[1], "CompressionOptions");
        return nullptr;
    }
    const CompressionConfig config = options_config(bound[1]);

    const std::optional<ErrorMeasure> measure = target_measure(bound[2]);
    if (!measure) {
        return nullptr;
    }
    const char* target_name = PyUnicode_AsUTF8(bound[2]);
    ErrorTarget target;
    target.measure = *measure;
    target.bound = PyFloat_AsDouble(bound[3]);
    if (target.bound == -1.0 && PyErr_Occurred()) {
        prefix_type_error("bound");
        return nullptr;
    }
    if (!(target.bound >= 0.0) || !std::isfinite(target.bound)) {
        PyErr_Format(PyExc_ValueError, "%s must be a finite number of at least 0, not %R", target_name, bound[3]);
        return nullptr;
    }

    HeldBuffer input;
    if (!input.acquire(bound[0], PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) {
        return nullptr;
    }
    SignalView signal{input.view().buf, corvane::SampleType::Float32, 0};
    if (!sample_type_of(input.view(), signal.type)) {
        PyErr_Format(PyExc_TypeError,
                     "compress_to_target() takes float32, float64, int8, int16, int32, uint8 or uint16 samples "
                     "in native byte order, not items of format '%s'",
                     input.view().format != nullptr ? input.view().format : "B");
        return nullptr;
    }
    signal.count = input.bytes() / sample_size(signal.type);
    // Refused before the samples are converted into a copy of them all.
    if (signal.count > kMaxSamples) {
        return raise_codec_error(check_sample_count(signal.count).error());
    }

    std::optional<expected<std::vector<std::uint8_t>, TuningError>> tuned;
    if (!without_gil([&] {
            // Samples that do not lie at a multiple of their size are read
            // from an aligned copy.
            std::unique_ptr<std::uint64_t[]> aligned;
            if (reinterpret_cast<std::uintptr_t>(signal.data) % sample_size(signal.type) != 0) {
                aligned = std::make_unique_for_overwrite<std::uint64_t[]>(input.bytes() / 8 + 1);
                std::memcpy(aligned.get(), signal.data, input.bytes());
                signal.data = aligned.get();
            }
            tuned.emplace(compress_at_target(signal, config, target));
        })) {
        return nullptr;
    }
    if (!*tuned) {
        const TuningError& failure = tuned->error();
        if (const auto* miss = std::get_if<UnreachableTarget>(&failure)) {
            return raise_unreachable(target_name, target.bound, config.method, *miss);
        }
        return raise_codec_error(std::get<CorvaneError>(failure));
    }
    const std::vector<std::uint8_t>& stream = **tuned;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(stream.data()),
                                     static_cast<Py_ssize_t>(stream.size()));
}

constexpr const char* kChunkNames[] = {"data"};
constexpr Parameters kChunkParameters{"decompress_chunk()", kChunkNames, 1, 1};

PyObject* decompress_chunk(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[1];
    if (!bind_arguments(kChunkParameters, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    HeldBuffer input;
    if (!input.acquire(bound[0], PyBUF_SIMPLE)) {
        return nullptr;
    }
    std::optional<expected<DecodedLanes, CorvaneError>> decoded;
    if (!without_gil([&] { decoded.emplace(decompress_chunk_lanes(input.as_bytes())); })) {
        return nullptr;
    }
    if (!*decoded) {
        return raise_codec_error(decoded->error());
    }
    const std::size_t lanes = (*decoded)->lanes;
    PyObject* samples = adopt_samples(std::move((*decoded)->samples));
    if (samples == nullptr) {
        return nullptr;
    }
    return Py_BuildValue("(Nn)", samples, static_cast<Py_ssize_t>(lanes));
}

constexpr const char* kStoreNames[] = {"samples", "out"};
constexpr Parameters kStoreParameters{"store_samples()", kStoreNames, 2, 2};

PyObject* store_samples_buffer(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[2];
    if (!bind_arguments(kStoreParameters, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    HeldBuffer samples, out;
    if (!samples.acquire(bound[0], PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) ||
        !out.acquire(bound[1], PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE)) {
        return nullptr;
    }
    corvane::SampleType from = corvane::SampleType::Float64, type = corvane::SampleType::Float32;
    if (!sample_type_of(samples.view(), from) || from != corvane::SampleType::Float32) {
        PyErr_SetString(PyExc_TypeError, "store_samples() takes float32 samples in native byte order");
        return nullptr;
    }
    if (!sample_type_of(out.view(), type)) {
        PyErr_SetString(PyExc_TypeError,
                        "store_samples() fills float32, float64, int8, int16, int32, uint8 or uint16 items in "
                        "native byte order");
        return nullptr;
    }
    const std::size_t count = samples.bytes() / sizeof(float), size = sample_size(type);
    if (out.bytes() != count * size) {
        PyErr_Format(PyExc_ValueError, "out holds %zu bytes, not the %zu of %zu samples", out.bytes(), count * size,
                     count);
        return nullptr;
    }
    const auto at = [](const HeldBuffer& b) { return reinterpret_cast<std::uintptr_t>(b.view().buf); };
    if (count > 0 && (at(samples) % sizeof(float) != 0 || at(out) % size != 0)) {
        PyErr_SetString(PyExc_ValueError, "store_samples() needs samples and out aligned to their items");
        return nullptr;
    }
    const std::span<const float> decoded(static_cast<const float*>(samples.view().buf), count);
    if (!without_gil([&] { store_samples(decoded, type, out.view().buf); })) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef kTargetMethods[] = {
    {"compress_to_target", as_cfunction(compress_to_target_buffer), METH_FASTCALL | METH_KEYWORDS,
     "compress_to_target(data, options, target, bound)\n--\n\n"
     "The smallest stream the search finds whose decoded samples keep `target`\n"
     "('max_abs_error': every |x - y| at most `bound`; 'prd':\n"
     "100 * ||x - y|| / ||x - mean(x)|| at most `bound`) against the samples of\n"
     "`data` (a C-contiguous buffer of native-order float32, float64, int8,\n"
     "int16, int32, uint8 or uint16 items; integers are judged as decoding\n"
     "rounds them, to the nearest integer). For 'max_abs_error' it is a refined\n"
     "chunk (a coarser corvane stream and corrections; decompress_chunk reads\n"
     "it, decompress_signal refuses it) or, when the base needs no correction, a\n"
     "plain corvane stream; for 'prd' a plain stream. The method and coder are\n"
     "those of `options` (a CompressionOptions of this module). The result is\n"
     "decoded and checked before it is returned. ValueError when nothing keeps\n"
     "the target, naming the smallest error reachable (also its `best`\n"
     "attribute). The interpreter lock is released while searching."},
    {"decompress_chunk", as_cfunction(decompress_chunk), METH_FASTCALL | METH_KEYWORDS,
     "decompress_chunk(data)\n--\n\n"
     "(samples, lanes): the streams compress_to_target writes (plain or refined),\n"
     "back to back in `data`, decoded into one float32 array, lane after lane.\n"
     "The interpreter lock is released while decoding."},
    {"store_samples", as_cfunction(store_samples_buffer), METH_FASTCALL | METH_KEYWORDS,
     "store_samples(samples, out)\n--\n\n"
     "Decoded float32 `samples` (a C-contiguous buffer) into `out`, a writeable\n"
     "C-contiguous buffer of as many float32, float64, int8, int16, int32, uint8\n"
     "or uint16 items: floats as they are (float64 widened), integers rounded to\n"
     "nearest (ties to even), NaN to 0 and clipped to the type's range. The\n"
     "interpreter lock is released while converting."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_targets(PyObject* module) { return PyModule_AddFunctions(module, kTargetMethods); }

}  // namespace corvane::python
