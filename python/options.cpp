#include "options.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "binder.hpp"
#include "corvane/corvane.hpp"

namespace corvane::python {
namespace {

struct OptionsObject {
    PyObject_HEAD
    CompressionConfig config;
};

// Instances are freed with tp_free alone.
static_assert(std::is_trivially_destructible_v<CompressionConfig>);

PyTypeObject* g_options_type = nullptr;

constexpr const char* kParameterNames[] = {"method", "scale", "cutoff", "coder", "quant_multiplier"};
constexpr Parameters kParameters{"CompressionOptions.__new__()", kParameterNames, 5, 0};

// The settings as given, after conversion and before validation. Text views
// point into the argument strings, which the caller keeps alive.
struct RawOptions {
    std::string_view method = "cdf97";
    long scale = 11;
    std::string_view cutoff = "low";
    std::optional<std::string_view> coder;
    std::optional<double> quant_multiplier;
};

// Text in double quotes, with the characters that would break the message
// escaped. Other control characters are shown as \u{hex}.
std::string quoted(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (const char c : text) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\0': out += "\\0"; break;
        default: {
            const auto byte = static_cast<unsigned char>(c);
            if (byte < 0x20 || byte == 0x7F) {
                out += "\\u{";
                if (byte >= 0x10) {
                    out += kHex[byte >> 4];
                }
                out += kHex[byte & 0xF];
                out += '}';
            } else {
                out += c;
            }
        }
        }
    }
    out += '"';
    return out;
}

bool convert_text(const char* param, PyObject* obj, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        raise_not_instance(param, obj, "str");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) {
        prefix_type_error(param);
        return false;
    }
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool convert_scale(PyObject* obj, long& out) {
    PyObject* index = PyNumber_Index(obj);
    if (index == nullptr) {
        prefix_type_error("scale");
        return false;
    }
    const long value = PyLong_AsLong(index);
    Py_DECREF(index);
    if (value == -1 && PyErr_Occurred()) {
        return false;  // too large for a C long: CPython's own OverflowError
    }
    if (value < 0 || value > 255) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = value;
    return true;
}

bool convert_multiplier(PyObject* obj, double& out) {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
        prefix_type_error("quant_multiplier");
        return false;
    }
    out = value;
    return true;
}

// Converts each given argument in parameter order; the first failure stops.
bool convert(PyObject* const* bound, RawOptions& raw) {
    if (bound[0] != nullptr && !convert_text("method", bound[0], raw.method)) {
        return false;
    }
    if (bound[1] != nullptr && !convert_scale(bound[1], raw.scale)) {
        return false;
    }
    if (bound[2] != nullptr && !convert_text("cutoff", bound[2], raw.cutoff)) {
        return false;
    }
    if (bound[3] != nullptr && bound[3] != Py_None) {
        std::string_view coder;
        if (!convert_text("coder", bound[3], coder)) {
            return false;
        }
        raw.coder = coder;
    }
    if (bound[4] != nullptr && bound[4] != Py_None) {
        double multiplier = 0.0;
        if (!convert_multiplier(bound[4], multiplier)) {
            return false;
        }
        raw.quant_multiplier = multiplier;
    }
    return true;
}

template <class Value, std::size_t N>
std::optional<Value> parse_name(std::string_view text, const Named<Value> (&names)[N]) {
    for (const auto& entry : names) {
        if (entry.name == text) return entry.value;
    }
    return std::nullopt;
}

// The first `count` names of a list, quoted, joined by `separator`:
// "'low' or 'medium' or 'high'".
template <class Value, std::size_t N>
std::string choices(const Named<Value> (&names)[N], const char* separator, std::size_t count = N) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) out += separator;
        out += '\'';
        out += names[i].name;
        out += '\'';
    }
    return out;
}

// ValueError: Unknown <what> "<text>", expected <choices>. Returns false.
bool refuse_name(const char* what, std::string_view text, const std::string& expected) {
    const std::string message = std::string("Unknown ") + what + " " + quoted(text) + ", expected " + expected;
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
}

// The decoder falls back to 2^scale for a multiplier that is not a positive
// finite single-precision number, so such a stream would not decode to what
// was compressed. Refuse it here, judging the value as it will be stored.
bool multiplier_is_usable(double value) {
    const auto stored = static_cast<float>(value);
    return stored > 0.0F && std::isfinite(stored);
}

void raise_bad_multiplier(double value) {
    PyObject* number = PyFloat_FromDouble(value);
    if (number == nullptr) {
        return;
    }
    PyErr_Format(PyExc_ValueError, "Invalid quant_multiplier %R, expected a positive finite number",
                 number);
    Py_DECREF(number);
}

// Validates in a fixed order (method, cutoff, scale, coder, multiplier); the
// first failure is reported.
bool validate(const RawOptions& raw, CompressionConfig& config) {
    const auto method = parse_name(raw.method, kMethodNames);
    if (!method) return refuse_name("method", raw.method, choices(kMethodNames, " or "));
    const auto cutoff = parse_name(raw.cutoff, kCutoffNames);
    if (!cutoff) return refuse_name("cutoff level", raw.cutoff, choices(kCutoffNames, " or "));
    // The conversion has already bounded scale to 0..255.
    const auto scale = static_cast<std::uint8_t>(raw.scale);
    if (scale < kMinScale || scale > kMaxScale) {
        PyErr_SetString(PyExc_ValueError, CorvaneError::unsupported_scale(scale).message().c_str());
        return false;
    }
    Coder coder = Coder::Auto;
    if (raw.coder) {
        const auto parsed = parse_name(*raw.coder, kCoderNames);
        // The message has always named the first three coders only; callers
        // match it as it is.
        if (!parsed) return refuse_name("coder", *raw.coder, choices(kCoderNames, ", ", 3));
        coder = *parsed;
    }
    if (raw.quant_multiplier && !multiplier_is_usable(*raw.quant_multiplier)) {
        raise_bad_multiplier(*raw.quant_multiplier);
        return false;
    }
    config.method = *method;
    config.scale = scale;
    config.cutoff = *cutoff;
    config.coder = coder;
    if (raw.quant_multiplier) {
        config.quant_multiplier = static_cast<float>(*raw.quant_multiplier);
    }
    return true;
}

PyObject* options_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* bound[5];
    RawOptions raw;
    CompressionConfig config;
    OptionsObject* self = nullptr;
    try {
        if (!bind_arguments(kParameters, args, kwargs, bound)) {
            return nullptr;
        }
        if (!convert(bound, raw) || !validate(raw, config)) {
            return nullptr;
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    self = reinterpret_cast<OptionsObject*>(type->tp_alloc(type, 0));
    if (self == nullptr) {
        return nullptr;
    }
    new (&self->config) CompressionConfig(config);
    return reinterpret_cast<PyObject*>(self);
}

void options_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyType_Slot kOptionsSlots[] = {
    {Py_tp_doc, const_cast<char*>("CompressionOptions(method=\"cdf97\", scale=11, cutoff=\"low\", "
                                  "coder=None, quant_multiplier=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(options_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(options_dealloc)},
    {0, nullptr},
};

// One class object serves every module instance for the life of the process,
// so it is closed to attribute changes where the interpreter allows it.
#ifdef Py_TPFLAGS_IMMUTABLETYPE
constexpr unsigned long kOptionsFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned long kOptionsFlags = Py_TPFLAGS_DEFAULT;
#endif

PyType_Spec kOptionsSpec = {
    "corvane.CompressionOptions",
    sizeof(OptionsObject),
    0,
    kOptionsFlags,
    kOptionsSlots,
};

}  // namespace

PyTypeObject* options_type() {
    if (g_options_type == nullptr) {
        g_options_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kOptionsSpec));
    }
    return g_options_type;
}

bool use_module_options_type() {
    if (g_options_type != nullptr) return true;
    PyObject* module = PyImport_ImportModule("corvane");
    if (module == nullptr) return false;
    PyObject* type = PyObject_GetAttrString(module, "CompressionOptions");
    Py_DECREF(module);
    if (type == nullptr) return false;
    // Both classes are compiled from this file; a class of another layout
    // (a module from another build) is refused rather than misread.
    if (!PyType_Check(type) || std::string_view(reinterpret_cast<PyTypeObject*>(type)->tp_name) != kOptionsSpec.name ||
        reinterpret_cast<PyTypeObject*>(type)->tp_basicsize != static_cast<Py_ssize_t>(sizeof(OptionsObject))) {
        PyErr_SetString(PyExc_ImportError, "corvane.CompressionOptions is not the class this build reads");
        Py_DECREF(type);
        return false;
    }
    g_options_type = reinterpret_cast<PyTypeObject*>(type);  // kept for the life of the process
    return true;
}

const CompressionConfig& options_config(PyObject* obj) {
    return reinterpret_cast<OptionsObject*>(obj)->config;
}

bool bind_compress_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                             CompressArguments& out) {
    static constexpr const char* kNames[] = {"data", "options"};
    const Parameters parameters{function, kNames, 2, 1};
    PyObject* bound[2];
    if (!bind_arguments(parameters, args, nargs, kwnames, bound) || !read_options(bound[1], out.config)) {
        return false;
    }
    out.data = bound[0];
    return true;
}

bool read_options(PyObject* options, CompressionConfig& config) {
    if (options == nullptr || options == Py_None) {
        return true;
    }
    PyTypeObject* type = options_type();
    if (type == nullptr) {
        return false;
    }
    if (!PyObject_TypeCheck(options, type)) {
        raise_not_instance("options", options, "CompressionOptions");
        return false;
    }
    config = options_config(options);
    return true;
}

}  // namespace corvane::python
