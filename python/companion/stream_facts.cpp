// stream_facts: what the headers of a stream, or of a chunk's lanes, say.
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "binder.hpp"
#include "companion.hpp"
#include "corvane/corvane.hpp"

namespace corvane::python {
namespace {

constexpr const char* kNames[] = {"data"};
constexpr Parameters kParameters{"stream_facts()", kNames, 1, 1};

// How a refined chunk is corrected, as a dict keyed by the fields of
// corvane_numcodecs.RefinementInfo, or None. A new reference, or nullptr.
PyObject* refinement_of(const StreamFacts& f) {
    if (!f.refinement) Py_RETURN_NONE;
    const RefinementFacts& r = *f.refinement;
    return Py_BuildValue("{s:s,s:d,s:k,s:n}", "kind", r.integer ? "integer" : "float", "step", double{r.step},
                         "escapes", static_cast<unsigned long>(r.escapes), "correction_bytes",
                         static_cast<Py_ssize_t>(r.correction_bytes));
}

// One stream's facts as a dict; the keys are the fields of
// corvane_numcodecs.StreamInfo. A new reference, or nullptr.
PyObject* facts_dict(const StreamFacts& f) {
    PyObject* refinement = refinement_of(f);
    if (refinement == nullptr) return nullptr;
    return Py_BuildValue("{s:(ii),s:s,s:i,s:i,s:s,s:k,s:d,s:d,s:d,s:d,s:k,s:n,s:N}",
                         "version", int{f.version[0]}, int{f.version[1]},
                         "method", std::string(name_of(kMethodNames, f.method)).c_str(),
                         "levels", int{f.levels},
                         "scale", int{f.scale},
                         "coder", std::string(name_of(kCoderNames, f.coder)).c_str(),
                         "samples", static_cast<unsigned long>(f.sample_count),
                         "multiplier", double{f.multiplier},
                         "minimum", double{f.min},
                         "maximum", double{f.max},
                         "mean", double{f.mean},
                         "payload_length", static_cast<unsigned long>(f.payload_length),
                         "length", static_cast<Py_ssize_t>(f.length),
                         "refinement", refinement);
}

PyObject* stream_facts(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[1];
    HeldBuffer input;
    if (!bind_arguments(kParameters, args, nargs, kwnames, bound) || !input.acquire(bound[0], PyBUF_SIMPLE)) {
        return nullptr;
    }
    // Headers only: too little work to be worth taking the lock off.
    auto facts = inspect_streams(input.as_bytes());
    if (!facts) {
        return raise_codec_error(facts.error());
    }
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(facts->size()));
    if (list == nullptr) {
        return nullptr;
    }
    for (std::size_t i = 0; i < facts->size(); ++i) {
        PyObject* item = facts_dict((*facts)[i]);
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

PyMethodDef kInspectMethods[] = {
    {"stream_facts", as_cfunction(stream_facts), METH_FASTCALL | METH_KEYWORDS,
     "stream_facts(data)\n--\n\n"
     "The header fields of every stream in the bytes-like `data` (one stream,\n"
     "or a chunk's lanes back to back), one dict per stream, in order.\n"
     "ValueError, with the decoder's message, for a header the decoder refuses\n"
     "or a stream cut short."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_inspect(PyObject* module) { return PyModule_AddFunctions(module, kInspectMethods); }

}  // namespace corvane::python
