// The filter's settings as HDF5 stores them with a dataset: a list of 32-bit
// values (cd_values), versioned by the first.
//
//   0       version (1)
//   1..4    method, scale, cutoff, coder (the codec's numeric values)
//   5       quantiser multiplier as float32 bits; 0: none (2^scale)
//   6       error target: 0 none, 1 max_abs_error, 2 prd
//   7, 8    the target's bound as float64 bits, low word first
//   9       1: lanes along the axis in 10; 0: one stream per chunk
//   10      lane axis as int32 bits, negative counting from the last
//   -- the values a user gives end here; the dataset fills in the rest --
//   11      sample type (corvane::SampleType)
//   12      rank of the chunk
//   13..    the chunk's extents, slowest first
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "corvane/chunk.hpp"
#include "corvane/expected.hpp"
#include "hdf5/abi.hpp"

namespace corvane::hdf5 {

// Provisional: from the range HDF5 leaves for filters under test (256-511),
// until HDF5 assigns the filter an id of its own. Defined here only; the
// Python package reads it from the plugin.
inline constexpr H5Z_filter_t kFilterId = 461;

inline constexpr unsigned kSettingsVersion = 1;
inline constexpr std::size_t kUserValues = 11;

struct UserSettings {
    CompressionConfig config;
    std::optional<ErrorTarget> target;
    std::optional<std::int32_t> axis;
};

// The settings of a dataset: the user's, resolved against its chunks.
struct ChunkSettings {
    ChunkCoding coding;
    SampleType type = SampleType::Float32;
    std::vector<std::size_t> shape;
    std::size_t bytes = 0;  // of a chunk's samples, within HDF5's bound on a chunk
};

std::vector<unsigned> user_values(const UserSettings& settings);

// The user's settings from the first values (none at all: the defaults).
expected<UserSettings, std::string> read_user(std::span<const unsigned> values);

// Every value, with the sample type and chunk shape filled in; refuses a lane
// axis the chunk does not have.
expected<std::vector<unsigned>, std::string> local_values(const UserSettings& settings, SampleType type,
                                                          std::span<const hsize_t> chunk);

// The settings of every chunk of a dataset, from all its values.
expected<ChunkSettings, std::string> read_local(std::span<const unsigned> values);

// Settings by name (as the Python codec takes them); an unknown name is an error.
expected<UserSettings, std::string> named_settings(const char* method, unsigned scale, const char* cutoff,
                                                   const char* coder, double multiplier, const char* target,
                                                   double bound, bool lanes, std::int32_t axis);

}  // namespace corvane::hdf5
