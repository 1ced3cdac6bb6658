// The HDF5 filter: HDF5's plugin entry points, the filter's class and its
// three callbacks, and the few functions the Python package calls.
//
// Each chunk is coded by encode_chunk with the dataset's sample type and
// chunk shape, so its bytes are what the codec layer writes for it. No
// exception may cross into HDF5: every callback catches what it can throw.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "corvane/chunk.hpp"
#include "hdf5/abi.hpp"
#include "hdf5/library.hpp"
#include "hdf5/settings.hpp"

#define CORVANE_EXPORT extern "C" __attribute__((visibility("default")))

namespace corvane::hdf5 {

namespace {

// The sample type of an HDF5 datatype, or none for one the filter does not take.
std::optional<SampleType> sample_type(const Library& lib, hid_t type) {
    const H5T_class_t kind = lib.get_class(type);
    const std::size_t size = lib.get_size(type);
    if (lib.get_order(type) != H5T_ORDER_LE) return std::nullopt;
    if (kind == H5T_FLOAT) {
        if (size == 4) return SampleType::Float32;
        if (size == 8) return SampleType::Float64;
        return std::nullopt;
    }
    if (kind != H5T_INTEGER) return std::nullopt;
    const H5T_sign_t sign = lib.get_sign(type);
    if (sign == H5T_SGN_2) {
        if (size == 1) return SampleType::Int8;
        if (size == 2) return SampleType::Int16;
        if (size == 4) return SampleType::Int32;
    } else if (sign == H5T_SGN_NONE) {
        if (size == 1) return SampleType::Uint8;
        if (size == 2) return SampleType::Uint16;
    }
    return std::nullopt;
}

constexpr const char* kTypesTaken =
    "corvane takes little-endian float32, float64, int8, int16, int32, uint8 and uint16 samples";

// The cause of this thread's last refusal. Some HDF5 releases (2.0) drop what
// a filter puts on the error stack, so the Python package can name it too.
thread_local std::string last_refusal;

// Refusals of the callbacks: the cause on HDF5's error stack, then HDF5's
// failure value.
int refuse(const char* function, const std::string& cause) {
    try {
        last_refusal = "corvane: " + cause;
        push_error(function, last_refusal.c_str());
    } catch (const std::bad_alloc&) {
        push_error(function, "corvane: out of memory");
    }
    return -1;
}

htri_t can_apply(hid_t /*dcpl*/, hid_t type, hid_t /*space*/) {
    const Library* lib = library();
    if (lib == nullptr) return -1;
    if (!sample_type(*lib, type)) return refuse("can_apply", kTypesTaken);
    return 1;
}

herr_t set_local(hid_t dcpl, hid_t type, hid_t /*space*/) {
    const Library* lib = library();
    if (lib == nullptr) return -1;
    try {
        const auto sample = sample_type(*lib, type);
        if (!sample) return refuse("set_local", kTypesTaken);
        unsigned flags = 0;
        unsigned given[kUserValues + 2 + H5S_MAX_RANK];
        std::size_t count = std::size(given);
        if (lib->get_filter_by_id(dcpl, kFilterId, &flags, &count, given, 0, nullptr, nullptr) < 0) return -1;
        hsize_t chunk[H5S_MAX_RANK];
        const int rank = lib->get_chunk(dcpl, H5S_MAX_RANK, chunk);
        if (rank <= 0) return refuse("set_local", "the filter codes chunked datasets only");
        // A dataset copied with its settings (h5repack) has them all; the
        // user's part is what counts, the rest is this dataset's.
        auto user = read_user(std::span<const unsigned>(given, std::min(count, kUserValues)));
        if (!user) return refuse("set_local", user.error());
        auto values = local_values(*user, *sample, std::span<const hsize_t>(chunk, static_cast<std::size_t>(rank)));
        if (!values) return refuse("set_local", values.error());
        // The caller's flags stay: an optional filter (h5py makes every
        // filter it is given by number optional) that cannot code a chunk
        // leaves it stored as it is, exactly, marked as such in the chunk's
        // filter mask; a mandatory one fails the write.
        return lib->modify_filter(dcpl, kFilterId, flags, values->size(), values->data());
    } catch (const std::bad_alloc&) {
        return refuse("set_local", "out of memory");
    }
}

// A failed filter: the cause on HDF5's error stack, and 0, HDF5's sign of it.
std::size_t failed(const std::string& cause) {
    refuse("filter", cause);
    return 0;
}

// HDF5's buffer replaced by one of `size` bytes that fill() writes; the
// filter's result.
template <class Fill>
std::size_t hand_over(std::size_t size, std::size_t* buf_size, void** buf, Fill&& fill) {
    void* made = allocate(size);
    if (made == nullptr) return failed("out of memory");
    if (auto cause = fill(static_cast<std::byte*>(made)); !cause.empty()) {
        release(made);
        return failed(cause);
    }
    release(*buf);
    *buf = made;
    *buf_size = size;
    return size;
}

std::size_t run_filter(unsigned flags, std::size_t cd_nelmts, const unsigned cd_values[], std::size_t nbytes,
                       std::size_t* buf_size, void** buf) {
    auto settings = read_local(std::span<const unsigned>(cd_values, cd_nelmts));
    if (!settings) return failed(settings.error());
    const auto* in = static_cast<const std::byte*>(*buf);
    if (flags & H5Z_FLAG_REVERSE) {
        // Decoded straight into the buffer HDF5 takes over.
        const std::span stream(reinterpret_cast<const std::uint8_t*>(in), nbytes);
        return hand_over(settings->bytes, buf_size, buf, [&](std::byte* out) {
            auto decoded = decode_chunk(stream, settings->type, settings->shape, settings->coding.axis,
                                        std::span(out, settings->bytes), 0);
            return decoded ? std::string() : "a chunk does not decode: " + decoded.error().message();
        });
    }
    auto stream = encode_chunk(std::span(in, nbytes), settings->type, settings->shape, settings->coding, 0);
    if (!stream) return failed(describe(stream.error(), settings->coding));
    return hand_over(stream->size(), buf_size, buf, [&](std::byte* out) {
        std::memcpy(out, stream->data(), stream->size());
        return std::string();
    });
}

std::size_t filter(unsigned flags, std::size_t cd_nelmts, const unsigned cd_values[], std::size_t nbytes,
                   std::size_t* buf_size, void** buf) {
    // 0 is HDF5's sign of a failed filter.
    try {
        return run_filter(flags, cd_nelmts, cd_values, nbytes, buf_size, buf);
    } catch (const std::bad_alloc&) {
        refuse("filter", "out of memory");
    } catch (...) {
        refuse("filter", "an unexpected failure");
    }
    return 0;
}

const H5Z_class2_t kFilterClass = {
    H5Z_CLASS_T_VERS, kFilterId, 1, 1, "corvane: lossy wavelet compression of sampled signals",
    can_apply,        set_local, filter,
};

}  // namespace

}  // namespace corvane::hdf5

using namespace corvane::hdf5;

CORVANE_EXPORT H5PL_type_t H5PLget_plugin_type() { return H5PL_TYPE_FILTER; }

CORVANE_EXPORT const void* H5PLget_plugin_info() {
    // HDF5 asks when it loads the plugin: the caller is the library to use.
    note_caller(__builtin_return_address(0));
    return &kFilterClass;
}

// For the Python package: the filter's id, binding to the HDF5 library h5py
// loaded (its extension module's path), and the settings' values.
CORVANE_EXPORT int corvane_h5_filter_id() { return kFilterId; }

CORVANE_EXPORT int corvane_h5_bind(const char* path) { return bind(path) ? 0 : -1; }

CORVANE_EXPORT const char* corvane_h5_last_failure() { return last_refusal.c_str(); }

// Writes the values into out[0 .. capacity) and returns their count, or
// returns -1 with the cause in message[0 .. message_size).
CORVANE_EXPORT int corvane_h5_settings(const char* method, unsigned scale, const char* cutoff, const char* coder,
                                       double multiplier, const char* target, double bound, int lanes, int axis,
                                       unsigned* out, std::size_t capacity, char* message, std::size_t message_size) {
    try {
        auto settings = named_settings(method, scale, cutoff, coder, multiplier, target, bound, lanes != 0, axis);
        if (!settings) {
            std::snprintf(message, message_size, "%s", settings.error().c_str());
            return -1;
        }
        const auto values = user_values(*settings);
        if (values.size() > capacity) {
            std::snprintf(message, message_size, "the settings need %zu values", values.size());
            return -1;
        }
        std::copy(values.begin(), values.end(), out);
        return static_cast<int>(values.size());
    } catch (const std::bad_alloc&) {
        std::snprintf(message, message_size, "out of memory");
        return -1;
    }
}
