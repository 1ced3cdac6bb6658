#include "hdf5/settings.hpp"

#include <bit>
#include <cmath>
#include <cstring>

namespace corvane::hdf5 {

namespace {

// The target names in the order of their stored values.
constexpr const char* kTargets[] = {"max_abs_error", "prd"};

std::optional<unsigned> target_index(const char* name) {
    for (unsigned i = 0; i < std::size(kTargets); ++i) {
        if (std::strcmp(kTargets[i], name) == 0) return i;
    }
    return std::nullopt;
}

// The numeric value of the setting `name` names, among `names`.
template <class Value, std::size_t N>
std::optional<unsigned> value_of(const Named<Value> (&names)[N], const char* name) {
    for (const auto& entry : names) {
        if (name != nullptr && entry.name == name) return static_cast<unsigned>(entry.value);
    }
    return std::nullopt;
}

std::string counted(std::size_t n) { return std::to_string(n) + (n == 1 ? " value" : " values"); }

}  // namespace

std::vector<unsigned> user_values(const UserSettings& settings) {
    const CompressionConfig& config = settings.config;
    const auto bound = std::bit_cast<std::uint64_t>(settings.target ? settings.target->bound : 0.0);
    return {kSettingsVersion,
            static_cast<unsigned>(config.method),
            config.scale,
            static_cast<unsigned>(config.cutoff),
            static_cast<unsigned>(config.coder),
            config.quant_multiplier ? std::bit_cast<std::uint32_t>(*config.quant_multiplier) : 0u,
            settings.target ? static_cast<unsigned>(settings.target->measure) + 1 : 0u,
            static_cast<unsigned>(bound & 0xFFFFFFFFu),
            static_cast<unsigned>(bound >> 32),
            settings.axis ? 1u : 0u,
            std::bit_cast<std::uint32_t>(settings.axis.value_or(0))};
}

expected<UserSettings, std::string> read_user(std::span<const unsigned> values) {
    UserSettings settings;
    if (values.empty()) return settings;
    if (values[0] != kSettingsVersion) {
        return unexpected("settings of version " + std::to_string(values[0]) + "; this filter reads version " +
                          std::to_string(kSettingsVersion));
    }
    if (values.size() < kUserValues) {
        return unexpected("the settings hold " + counted(values.size()) + ", not " + counted(kUserValues));
    }
    CompressionConfig& config = settings.config;
    if (values[1] > 3 || values[2] < kMinScale || values[2] > kMaxScale || values[3] > 2 || values[4] > 3 ||
        values[6] > 2 || values[9] > 1) {
        return unexpected(std::string("the settings hold a method, scale, cutoff, coder, target or lane flag "
                                      "out of range"));
    }
    config.method = static_cast<Method>(values[1]);
    config.scale = static_cast<std::uint8_t>(values[2]);
    config.cutoff = static_cast<Cutoff>(values[3]);
    config.coder = static_cast<Coder>(values[4]);
    if (values[5] != 0) {
        const float multiplier = std::bit_cast<float>(values[5]);
        if (!(multiplier > 0.0f) || !std::isfinite(multiplier)) {
            return unexpected(std::string("the quantiser multiplier must be a positive finite number"));
        }
        config.quant_multiplier = multiplier;
    }
    if (values[6] != 0) {
        const double bound = std::bit_cast<double>(std::uint64_t{values[7]} | std::uint64_t{values[8]} << 32);
        if (!(bound >= 0.0) || !std::isfinite(bound)) {
            return unexpected(std::string(kTargets[values[6] - 1]) + " must be a finite number of at least 0");
        }
        if (config.quant_multiplier) {
            return unexpected(std::string(kTargets[values[6] - 1]) +
                              " and quant_multiplier exclude each other: with a target the codec chooses the "
                              "multiplier");
        }
        settings.target = ErrorTarget{static_cast<ErrorMeasure>(values[6] - 1), bound};
    }
    if (values[9] != 0) settings.axis = std::bit_cast<std::int32_t>(values[10]);
    return settings;
}

expected<std::vector<unsigned>, std::string> local_values(const UserSettings& settings, SampleType type,
                                                          std::span<const hsize_t> chunk) {
    const auto rank = static_cast<std::int64_t>(chunk.size());
    if (settings.axis && (*settings.axis < -rank || *settings.axis >= rank)) {
        return unexpected("lane axis " + std::to_string(*settings.axis) + " is out of bounds for chunks of " +
                          std::to_string(rank) + (rank == 1 ? " dimension" : " dimensions"));
    }
    UserSettings resolved = settings;
    if (settings.axis && *settings.axis < 0) resolved.axis = static_cast<std::int32_t>(*settings.axis + rank);
    std::vector<unsigned> values = user_values(resolved);
    values.push_back(static_cast<unsigned>(type));
    values.push_back(static_cast<unsigned>(chunk.size()));
    for (const hsize_t extent : chunk) {
        if (extent == 0 || extent > 0xFFFFFFFFu) return unexpected(std::string("a chunk extent out of range"));
        values.push_back(static_cast<unsigned>(extent));
    }
    return values;
}

expected<ChunkSettings, std::string> read_local(std::span<const unsigned> values) {
    if (values.size() < kUserValues + 2) {
        return unexpected("the dataset's settings hold " + counted(values.size()) +
                          ", without the sample type and chunk shape the filter fills in");
    }
    auto user = read_user(values.first(kUserValues));
    if (!user) return unexpected(std::move(user).error());
    const unsigned type = values[kUserValues];
    const std::size_t rank = values[kUserValues + 1];
    if (type >= kSampleTypes || rank == 0 || rank > H5S_MAX_RANK || values.size() != kUserValues + 2 + rank) {
        return unexpected(std::string("the dataset's settings name no sample type or chunk shape the filter knows"));
    }
    ChunkSettings settings{{user->config, user->target, std::nullopt}, static_cast<SampleType>(type), {}};
    std::size_t samples = 1;
    for (const unsigned extent : values.subspan(kUserValues + 2)) {
        if (extent == 0 || __builtin_mul_overflow(samples, std::size_t{extent}, &samples)) {
            return unexpected(std::string("the dataset's settings give an impossible chunk shape"));
        }
        settings.shape.push_back(extent);
    }
    // HDF5 keeps no chunk of 4 GiB or more; neither is a chunk decoded to one.
    if (__builtin_mul_overflow(samples, sample_size(settings.type), &settings.bytes) || settings.bytes > 0xFFFFFFFFu) {
        return unexpected(std::string("the dataset's settings give a chunk larger than HDF5 keeps"));
    }
    if (user->axis) {
        if (*user->axis < 0 || static_cast<std::size_t>(*user->axis) >= rank) {
            return unexpected(std::string("the dataset's settings give a lane axis its chunks do not have"));
        }
        settings.coding.axis = static_cast<std::size_t>(*user->axis);
    }
    return settings;
}

expected<UserSettings, std::string> named_settings(const char* method, unsigned scale, const char* cutoff,
                                                   const char* coder, double multiplier, const char* target,
                                                   double bound, bool lanes, std::int32_t axis) {
    const auto m = value_of(kMethodNames, method);
    const auto c = value_of(kCutoffNames, cutoff);
    const auto k = value_of(kCoderNames, coder);
    const bool aimed = target != nullptr && *target != '\0';
    const auto t = aimed ? target_index(target) : std::optional<unsigned>(0);
    if (!m || !c || !k || !t || scale > 0xFF) return unexpected(std::string("a setting no filter takes"));
    UserSettings settings;
    settings.config = {static_cast<Method>(*m), static_cast<std::uint8_t>(scale), static_cast<Cutoff>(*c),
                       static_cast<Coder>(*k), std::nullopt};
    if (multiplier != 0.0) settings.config.quant_multiplier = static_cast<float>(multiplier);
    if (aimed) settings.target = ErrorTarget{static_cast<ErrorMeasure>(*t), bound};
    if (lanes) settings.axis = axis;
    // What could not be read back is refused here, where it is given.
    auto checked = read_user(user_values(settings));
    if (!checked) return unexpected(std::move(checked).error());
    return settings;
}

}  // namespace corvane::hdf5
