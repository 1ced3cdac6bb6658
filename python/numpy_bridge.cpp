#include "numpy_bridge.hpp"

#include <new>
#include <utility>

// Built against NumPy 2 headers but loadable by NumPy 1.21 and later: the
// target version keeps the header macros to what both expose. The API table
// is this file's own (no import_array(); see ensure_numpy()).
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_21_API_VERSION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"  // the header's own _import_array()
#include <numpy/arrayobject.h>
#pragma GCC diagnostic pop

namespace corvane::python {
namespace {

constexpr const char* kKeeperName = "corvane.samples";

// Process-lifetime references: the capsule that owns the API table, and the
// two dtype singletons compared against.
PyObject* g_api_capsule = nullptr;
PyArray_Descr* g_float32 = nullptr;
PyArray_Descr* g_float64 = nullptr;

PyObject* import_attribute(const char* module_name, const char* attribute) {
    PyObject* module = PyImport_ImportModule(module_name);
    if (module == nullptr) {
        return nullptr;
    }
    PyObject* value = PyObject_GetAttrString(module, attribute);
    Py_DECREF(module);
    return value;
}

// NumPy 2 moved its core package from numpy.core to numpy._core (the old name
// still imports there, with a warning), so the major version picks the name.
long numpy_major_version() {
    long major = -1;
    PyObject* version = import_attribute("numpy", "__version__");
    PyObject* parser = nullptr;
    PyObject* parsed = nullptr;
    PyObject* major_obj = nullptr;
    if (version == nullptr) {
        goto done;
    }
    parser = import_attribute("numpy.lib", "NumpyVersion");
    if (parser == nullptr) {
        goto done;
    }
    parsed = PyObject_CallOneArg(parser, version);
    if (parsed == nullptr) {
        goto done;
    }
    major_obj = PyObject_GetAttrString(parsed, "major");
    if (major_obj == nullptr) {
        goto done;
    }
    major = PyLong_AsLong(major_obj);
done:
    Py_XDECREF(major_obj);
    Py_XDECREF(parsed);
    Py_XDECREF(parser);
    Py_XDECREF(version);
    return major;
}

// Checks the running NumPy against the headers we were built with, through
// the freshly fetched table.
bool table_is_compatible() {
    const unsigned abi = PyArray_GetNDArrayCVersion();
    if (abi > NPY_VERSION) {
        PyErr_Format(PyExc_ImportError,
                     "corvane was built against NumPy ABI version 0x%x, but the running NumPy "
                     "has ABI version 0x%x",
                     static_cast<unsigned>(NPY_VERSION), abi);
        return false;
    }
    const unsigned feature = PyArray_GetNDArrayCFeatureVersion();
    if (feature < NPY_FEATURE_VERSION) {
        PyErr_Format(PyExc_ImportError,
                     "corvane needs NumPy C-API version 0x%x or later, but the running NumPy "
                     "has version 0x%x",
                     static_cast<unsigned>(NPY_FEATURE_VERSION), feature);
        return false;
    }
    PyArray_RUNTIME_VERSION = static_cast<int>(feature);
    return true;
}

void release_samples(PyObject* keeper) {
    delete static_cast<std::vector<float>*>(PyCapsule_GetPointer(keeper, kKeeperName));
}

}  // namespace

bool ensure_numpy() {
    if (PyArray_API != nullptr) {
        return true;
    }
    const long major = numpy_major_version();
    if (major == -1 && PyErr_Occurred()) {
        return false;
    }
    PyObject* capsule = import_attribute(
        major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray", "_ARRAY_API");
    if (capsule == nullptr) {
        return false;
    }
    if (!PyCapsule_CheckExact(capsule)) {
        PyErr_SetString(PyExc_ImportError, "NumPy's _ARRAY_API is not a capsule");
        Py_DECREF(capsule);
        return false;
    }
    void* table = PyCapsule_GetPointer(capsule, nullptr);
    if (table == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, "NumPy's _ARRAY_API capsule is empty");
        }
        Py_DECREF(capsule);
        return false;
    }
    PyArray_API = static_cast<void**>(table);
    if (!table_is_compatible()) {
        PyArray_API = nullptr;
        Py_DECREF(capsule);
        return false;
    }
    g_float32 = PyArray_DescrFromType(NPY_FLOAT32);
    g_float64 = PyArray_DescrFromType(NPY_FLOAT64);
    if (g_float32 == nullptr || g_float64 == nullptr) {
        Py_CLEAR(g_float32);
        Py_CLEAR(g_float64);
        PyArray_API = nullptr;
        Py_DECREF(capsule);
        return false;
    }
    g_api_capsule = capsule;
    return true;
}

bool inspect_array(PyObject* obj, ArrayView& view) {
    view = ArrayView{};
    if (!ensure_numpy()) {
        return false;
    }
    if (!PyArray_Check(obj)) {
        return true;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != 1) {
        return true;
    }
    // Equivalence, not identity: any native-order float32 dtype object
    // qualifies, a byte-swapped one does not.
    PyArray_Descr* dtype = PyArray_DESCR(array);
    if (PyArray_EquivTypes(dtype, g_float32)) {
        view.type = SampleType::Float32;
    } else if (PyArray_EquivTypes(dtype, g_float64)) {
        view.type = SampleType::Float64;
    } else {
        return true;
    }
    view.count = static_cast<std::size_t>(PyArray_DIM(array, 0));
    view.data = PyArray_DATA(array);
    const int flags = PyArray_FLAGS(array);
    const bool aligned = (flags & NPY_ARRAY_ALIGNED) != 0;
    const bool contiguous = (flags & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) != 0;
    view.readable_in_place = view.count == 0 || (aligned && contiguous && view.data != nullptr);
    return true;
}

PyObject* adopt_samples(std::vector<float>&& samples) {
    npy_intp dims[1] = {static_cast<npy_intp>(samples.size())};
    if (samples.empty()) {
        // Nothing to adopt; NumPy owns the (empty) allocation.
        Py_INCREF(g_float32);
        return PyArray_NewFromDescr(&PyArray_Type, g_float32, 1, dims, nullptr, nullptr, 0, nullptr);
    }
    auto* owned = new (std::nothrow) std::vector<float>(std::move(samples));
    if (owned == nullptr) {
        samples = std::vector<float>();
        return PyErr_NoMemory();
    }
    // The keeper owns the vector from here on; releasing it frees the samples.
    PyObject* keeper = PyCapsule_New(owned, kKeeperName, release_samples);
    if (keeper == nullptr) {
        delete owned;
        return nullptr;
    }
    npy_intp strides[1] = {static_cast<npy_intp>(sizeof(float))};
    Py_INCREF(g_float32);  // the constructor steals the dtype
    PyObject* array = PyArray_NewFromDescr(&PyArray_Type, g_float32, 1, dims, strides, owned->data(),
                                           NPY_ARRAY_WRITEABLE, nullptr);
    if (array == nullptr) {
        Py_DECREF(keeper);
        return nullptr;
    }
    // Steals the keeper even on failure.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), keeper) < 0) {
        Py_DECREF(array);
        return nullptr;
    }
    return array;
}

}  // namespace corvane::python
