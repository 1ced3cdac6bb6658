#include "src/format/parameters.hpp"

#include <string>

#include "src/format/quantiser.hpp"

namespace corvane {

expected<void, CorvaneError> check_scale(std::uint8_t scale) {
    if (!is_valid_scale(scale)) return unexpected(CorvaneError::unsupported_scale(scale));
    return {};
}

expected<void, CorvaneError> check_sample_count(std::size_t n) {
    if (n == 0) return unexpected(CorvaneError::unsupported_configuration("Can't compress empty data"));
    if (n > kMaxSamples) {
        return unexpected(CorvaneError::unsupported_configuration("Can't compress more than " +
                                                                  std::to_string(kMaxSamples) + " samples"));
    }
    return {};
}

expected<void, CorvaneError> check_config(const CompressionConfig& config) {
    if (auto refused = check_scale(config.scale); !refused) return refused;
    if (!is_valid(config.method) || !is_valid(config.cutoff) || !is_valid(config.coder)) {
        return unexpected(CorvaneError::unsupported_configuration("Unknown method, cutoff or coder value"));
    }
    if (config.quant_multiplier && !is_usable_multiplier(*config.quant_multiplier)) {
        return unexpected(CorvaneError::unsupported_configuration("Quantiser multiplier must be positive and finite"));
    }
    return {};
}

expected<void, CorvaneError> check_stream_parameters(const StreamParameters& p) {
    if (p.sample_count > kMaxSamples) {
        return unexpected(CorvaneError::decompress("Can't decompress data bigger than " + std::to_string(kMaxSamples) +
                                                   ", but data was " + std::to_string(p.sample_count)));
    }
    if (p.levels > kMaxLevels) {
        return unexpected(CorvaneError::decompress("Max supported level is " + std::to_string(kMaxLevels) +
                                                   " but it was " + std::to_string(p.levels)));
    }
    if (p.levels < kMinLevels) {
        return unexpected(CorvaneError::decompress("Min supported level is " + std::to_string(kMinLevels) +
                                                   " but it was " + std::to_string(p.levels)));
    }
    // A header with another scale is refused as it is read; parameters that
    // reach the decoder by another road meet the same check.
    return check_scale(p.scale);
}

}  // namespace corvane
