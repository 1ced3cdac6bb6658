// HDF5's functions, found at run time in the library that uses the filter.
//
// A process may hold more than one HDF5 library (h5py wheels bring their own,
// loaded privately), and the filter must call the one that called it. In
// order of preference: the library named by bind() (the Python package binds
// h5py's before registering the filter), the library that asked for the
// plugin's description (HDF5 loading the plugin from its plugin path), and
// whatever HDF5 the process has in its global scope (a program linked
// against HDF5).
#pragma once

#include <cstddef>

#include "hdf5/abi.hpp"

namespace corvane::hdf5 {

struct Library {
    herr_t (*get_filter_by_id)(hid_t plist, H5Z_filter_t id, unsigned* flags, std::size_t* cd_nelmts,
                               unsigned cd_values[], std::size_t namelen, char name[], unsigned* config);
    herr_t (*modify_filter)(hid_t plist, H5Z_filter_t id, unsigned flags, std::size_t cd_nelmts,
                            const unsigned cd_values[]);
    int (*get_chunk)(hid_t plist, int max_ndims, hsize_t dims[]);
    H5T_class_t (*get_class)(hid_t type);
    std::size_t (*get_size)(hid_t type);
    H5T_sign_t (*get_sign)(hid_t type);
    H5T_order_t (*get_order)(hid_t type);
    herr_t (*push)(hid_t stack, const char* file, const char* function, unsigned line, hid_t cls, hid_t major,
                   hid_t minor, const char* format, ...);
    // The error class and messages HDF5 exports as variables.
    const hid_t* error_class;
    const hid_t* pipeline_error;
    const hid_t* filter_failed;
    // The allocator of HDF5's filter buffers; absent in old releases, where
    // it is the C library's.
    void* (*allocate)(std::size_t size, bool clear);
    herr_t (*release)(void* buffer);
};

// Binds the functions of the HDF5 library that `path` (a library, or a module
// linked against one) gives access to; false when it has none.
bool bind(const char* path);

// Remembers the code address of a call from HDF5, so that the library making
// it can be found when the filter first needs HDF5.
void note_caller(const void* address);

// The library, or null when no HDF5 could be found.
const Library* library();

// Puts the cause of a failure on HDF5's error stack, under the pipeline's
// "filter failed" entry, where the caller's error report shows it.
void push_error(const char* function, const char* message);

// A buffer HDF5 can take over and free, and the release of one it handed in.
void* allocate(std::size_t size);
void release(void* buffer);

}  // namespace corvane::hdf5
