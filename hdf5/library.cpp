#include "hdf5/library.hpp"

#include <dlfcn.h>

#include <cstdlib>
#include <mutex>
#include <optional>

namespace corvane::hdf5 {

namespace {

std::mutex guard;
std::optional<Library> bound;
const void* caller = nullptr;
bool searched = false;

template <class Function>
bool find(void* handle, const char* name, Function& into) {
    into = reinterpret_cast<Function>(dlsym(handle, name));
    return into != nullptr;
}

// Every function the filter cannot do without, from `handle`.
std::optional<Library> resolve(void* handle) {
    Library lib{};
    const bool complete = find(handle, "H5Pget_filter_by_id2", lib.get_filter_by_id) &&
                          find(handle, "H5Pmodify_filter", lib.modify_filter) &&
                          find(handle, "H5Pget_chunk", lib.get_chunk) && find(handle, "H5Tget_class", lib.get_class) &&
                          find(handle, "H5Tget_size", lib.get_size) && find(handle, "H5Tget_sign", lib.get_sign) &&
                          find(handle, "H5Tget_order", lib.get_order) && find(handle, "H5Epush2", lib.push) &&
                          find(handle, "H5E_ERR_CLS_g", lib.error_class) &&
                          find(handle, "H5E_PLINE_g", lib.pipeline_error) &&
                          find(handle, "H5E_CANTFILTER_g", lib.filter_failed);
    if (!complete) return std::nullopt;
    // The allocator goes as a pair or not at all.
    if (!find(handle, "H5allocate_memory", lib.allocate) || !find(handle, "H5free_memory", lib.release)) {
        lib.allocate = nullptr;
        lib.release = nullptr;
    }
    return lib;
}

// The library holding `address`, if it is an HDF5. RTLD_NOLOAD: it is loaded
// already, and is only looked up, never loaded a second time.
std::optional<Library> resolve_at(const void* address) {
    Dl_info info{};
    if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr) return std::nullopt;
    void* handle = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) return std::nullopt;
    auto lib = resolve(handle);
    dlclose(handle);  // the library stays: whoever loaded it holds it
    return lib;
}

}  // namespace

bool bind(const char* path) {
    // Loading a module that is loaded already only hands back its handle; the
    // handle stays open so the functions stay valid.
    void* handle = dlopen(path, RTLD_LAZY | RTLD_LOCAL);
    if (handle == nullptr) return false;
    auto lib = resolve(handle);
    if (!lib) {
        dlclose(handle);
        return false;
    }
    const std::lock_guard lock(guard);
    bound = lib;
    searched = true;
    return true;
}

void note_caller(const void* address) {
    const std::lock_guard lock(guard);
    if (caller == nullptr) caller = address;
}

const Library* library() {
    const std::lock_guard lock(guard);
    if (!searched) {
        bound = resolve_at(caller);
        if (!bound) bound = resolve(RTLD_DEFAULT);
        searched = bound.has_value();
    }
    return bound ? &*bound : nullptr;
}

void push_error(const char* function, const char* message) {
    const Library* lib = library();
    if (lib == nullptr) return;
    lib->push(H5E_DEFAULT, __FILE__, function, __LINE__, *lib->error_class, *lib->pipeline_error,
              *lib->filter_failed, "%s", message);
}

void* allocate(std::size_t size) {
    const Library* lib = library();
    // Never zero bytes: a null buffer is HDF5's sign of failure.
    if (size == 0) size = 1;
    return lib != nullptr && lib->allocate != nullptr ? lib->allocate(size, false) : std::malloc(size);
}

void release(void* buffer) {
    const Library* lib = library();
    if (lib != nullptr && lib->release != nullptr) {
        lib->release(buffer);
    } else {
        std::free(buffer);
    }
}

}  // namespace corvane::hdf5
