// The module's only contact with NumPy: inspecting input arrays and wrapping
// decoded samples. NumPy's C API table is fetched on first use, so importing
// the module does not import NumPy.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <vector>

namespace corvane::python {

enum class SampleType { Float32, Float64, Unsupported };

// What compress_signal needs to know about its `data` argument.
struct ArrayView {
    SampleType type = SampleType::Unsupported;
    const void* data = nullptr;  // native-order samples of `type`, valid while the array lives
    std::size_t count = 0;
    bool readable_in_place = false;  // aligned and contiguous (trivially so when empty)
};

// Fetches NumPy's C API table unless that has been done. Returns false with
// an exception set when NumPy cannot be imported or its table is unusable.
bool ensure_numpy();

// Classifies `obj`: a 1-D ndarray (or subclass) whose dtype is equivalent to
// float32 or float64 gets that type, anything else is Unsupported.
// Returns false with an exception set only when NumPy itself is unavailable.
// Does not raise for an unsupported object; the caller decides what to say.
bool inspect_array(PyObject* obj, ArrayView& view);

// A writeable 1-D float32 array whose memory is `samples`' own buffer, kept
// alive by the array's base object. Requires ensure_numpy() to have succeeded.
// Returns a new reference, or nullptr with an exception set; `samples` is
// left empty either way.
PyObject* adopt_samples(std::vector<float>&& samples);

}  // namespace corvane::python
