// The few declarations of HDF5's C interface the filter uses, written out here
// so that the plugin builds without HDF5's headers and links no HDF5 library:
// its functions are looked up at run time in the library that loaded it (see
// library.hpp). These are the types and signatures of HDF5 1.10 and later,
// whose filter and plugin interfaces have not changed since.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

using hid_t = std::int64_t;
using herr_t = int;
using htri_t = int;
using hsize_t = unsigned long long;
using H5Z_filter_t = int;

enum H5PL_type_t { H5PL_TYPE_ERROR = -1, H5PL_TYPE_FILTER = 0 };
enum H5T_class_t { H5T_NO_CLASS = -1, H5T_INTEGER = 0, H5T_FLOAT = 1 };
enum H5T_sign_t { H5T_SGN_ERROR = -1, H5T_SGN_NONE = 0, H5T_SGN_2 = 1 };
enum H5T_order_t { H5T_ORDER_ERROR = -1, H5T_ORDER_LE = 0, H5T_ORDER_BE = 1 };

inline constexpr hid_t H5E_DEFAULT = 0;
inline constexpr unsigned H5Z_FLAG_OPTIONAL = 0x0001;
inline constexpr unsigned H5Z_FLAG_REVERSE = 0x0100;
inline constexpr int H5Z_CLASS_T_VERS = 1;
// The most dimensions a dataset (and so a chunk) can have.
inline constexpr int H5S_MAX_RANK = 32;

using H5Z_can_apply_func_t = htri_t (*)(hid_t dcpl_id, hid_t type_id, hid_t space_id);
using H5Z_set_local_func_t = herr_t (*)(hid_t dcpl_id, hid_t type_id, hid_t space_id);
using H5Z_func_t = std::size_t (*)(unsigned flags, std::size_t cd_nelmts, const unsigned cd_values[],
                                   std::size_t nbytes, std::size_t* buf_size, void** buf);

struct H5Z_class2_t {
    int version;
    H5Z_filter_t id;
    unsigned encoder_present;
    unsigned decoder_present;
    const char* name;
    H5Z_can_apply_func_t can_apply;
    H5Z_set_local_func_t set_local;
    H5Z_func_t filter;
};

}  // extern "C"
