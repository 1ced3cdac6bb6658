// The codec's facts as the Python layer reads them (names, stream layout,
// limits) and the error measures: each defined once, in C++.
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>

#include "binder.hpp"
#include "companion.hpp"
#include "corvane/corvane.hpp"

namespace corvane::python {
namespace {

template <class Value, std::size_t N>
PyObject* name_tuple(const Named<Value> (&names)[N]) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(N));
    if (tuple == nullptr) return nullptr;
    for (std::size_t i = 0; i < N; ++i) {
        PyObject* name = PyUnicode_FromStringAndSize(names[i].name.data(), static_cast<Py_ssize_t>(names[i].name.size()));
        if (name == nullptr) {
            Py_DECREF(tuple);
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), name);
    }
    return tuple;
}

int add_names(PyObject* module) {
    const struct {
        const char* attribute;
        PyObject* value;
    } lists[] = {
        {"METHODS", name_tuple(kMethodNames)},
        {"CUTOFFS", name_tuple(kCutoffNames)},
        {"CODERS", name_tuple(kCoderNames)},
        {"TARGETS", name_tuple(kErrorMeasureNames)},
    };
    int status = 0;
    for (const auto& list : lists) {
        // PyModule_AddObject takes a reference only when it succeeds.
        if (status == 0 && list.value != nullptr && PyModule_AddObject(module, list.attribute, list.value) == 0) continue;
        status = -1;
        Py_XDECREF(list.value);
    }
    return status;
}

int add_numbers(PyObject* module) {
    const struct {
        const char* attribute;
        std::size_t value;
    } numbers[] = {
        {"HEADER_SIZE", kHeaderSize},   {"SAMPLE_COUNT_OFFSET", kSampleCountOffset}, {"MAX_SAMPLES", kMaxSamples},
        {"MIN_SCALE", kMinScale},       {"MAX_SCALE", kMaxScale},
    };
    for (const auto& number : numbers) {
        if (PyModule_AddIntConstant(module, number.attribute, static_cast<long>(number.value)) < 0) return -1;
    }
    return 0;
}

// The target of a name in kErrorMeasureNames; ValueError naming them otherwise.
std::optional<ErrorMeasure> measure_named(PyObject* name) {
    // Compared with its length: a name with a NUL inside is no name.
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (text != nullptr) {
        const std::string_view given(text, static_cast<std::size_t>(size));
        for (const auto& entry : kErrorMeasureNames) {
            if (entry.name == given) return entry.value;
        }
    }
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "target must be 'max_abs_error' or 'prd'");
    return std::nullopt;
}

constexpr const char* kMeasureNames[] = {"target", "reference", "decoded"};
constexpr Parameters kMeasureParameters{"measure_error()", kMeasureNames, 3, 3};

PyObject* measure(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[3];
    if (!bind_arguments(kMeasureParameters, args, nargs, kwnames, bound)) return nullptr;
    const std::optional<ErrorMeasure> target = measure_named(bound[0]);
    if (!target) return nullptr;
    HeldSamples reference;
    HeldSamples decoded;
    if (!reference.acquire(bound[1], "measure_error()") || !decoded.acquire(bound[2], "measure_error()")) {
        return nullptr;
    }
    std::optional<std::span<const float>> decoded32;
    decoded.visit([&](auto values) {
        if constexpr (std::is_same_v<decltype(values), std::span<const float>>) decoded32 = values;
    });
    if (!decoded32) {
        PyErr_SetString(PyExc_TypeError, "measure_error() takes the decoded samples as float32");
        return nullptr;
    }
    if (decoded32->size() != reference.count()) {
        PyErr_Format(PyExc_ValueError, "measure_error() takes as many decoded samples as reference ones, not %zu and %zu",
                     decoded32->size(), reference.count());
        return nullptr;
    }
    double error = 0.0;
    if (!without_gil([&] {
            error = reference.visit([&](auto values) { return measure_error(*target, values, *decoded32); });
        })) {
        return nullptr;
    }
    return PyFloat_FromDouble(error);
}

PyMethodDef kFactMethods[] = {
    {"measure_error", as_cfunction(measure), METH_FASTCALL | METH_KEYWORDS,
     "measure_error(target, reference, decoded)\n--\n\n"
     "The error of `decoded` (float32 samples) against `reference` (float32 or\n"
     "float64, as many) as `target` ('max_abs_error' or 'prd') measures it: the\n"
     "measure compress_to_target keeps."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

std::optional<ErrorMeasure> target_measure(PyObject* name) { return measure_named(name); }

int add_facts(PyObject* module) {
    if (add_names(module) < 0 || add_numbers(module) < 0) return -1;
    return PyModule_AddFunctions(module, kFactMethods);
}

}  // namespace corvane::python
