// The codec layer's entry points for one signal: the sample types chunks hold,
// the rule that keeps a target on integers after their rounding, and decoding
// back into the chunk's type.
#include "corvane/layer.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <variant>

#include "src/format/header.hpp"
#include "src/refine/container.hpp"
#include "src/target/split.hpp"
#include "src/target/stages.hpp"

namespace corvane {

std::size_t sample_size(SampleType type) {
    switch (type) {
        case SampleType::Float64: return 8;
        case SampleType::Float32:
        case SampleType::Int32: return 4;
        case SampleType::Int16:
        case SampleType::Uint16: return 2;
        case SampleType::Int8:
        case SampleType::Uint8: return 1;
    }
    return 1;
}

bool is_integer(SampleType type) { return type != SampleType::Float32 && type != SampleType::Float64; }

namespace {

// int32 values beyond this have no exact single-precision value.
constexpr std::int32_t kExactInt32 = 1 << 24;

template <class F>
auto visit_integers(SampleType type, const void* data, F&& f) {
    switch (type) {
        case SampleType::Int8: return f(static_cast<const std::int8_t*>(data));
        case SampleType::Int16: return f(static_cast<const std::int16_t*>(data));
        case SampleType::Int32: return f(static_cast<const std::int32_t*>(data));
        case SampleType::Uint8: return f(static_cast<const std::uint8_t*>(data));
        default: return f(static_cast<const std::uint16_t*>(data));
    }
}

// Integer samples as the floats the codec works on, exactly.
expected<std::vector<float>, CorvaneError> integers_as_floats(const SignalView& signal) {
    std::vector<float> floats(signal.count);
    bool exact = true;
    visit_integers(signal.type, signal.data, [&](const auto* in) {
        for (std::size_t i = 0; i < signal.count; ++i) {
            const auto v = in[i];
            if constexpr (sizeof(v) == 4) exact = exact && v >= -kExactInt32 && v <= kExactInt32;
            floats[i] = static_cast<float>(v);
        }
    });
    if (!exact) {
        return unexpected(CorvaneError::unsupported_configuration(
            "int32 samples beyond +-2^24 have no exact single-precision value"));
    }
    return floats;
}

template <class T>
T rounded_to(float v) {
    // The nearest integer, ties to even, in single precision (every float
    // from 2^23 on is one already), without a call for the rounding mode's
    // rounding. Double holds every bound of these types exactly, so the clip
    // is exact.
    const float r = refine::nearest_integer(v);
    if (std::isnan(r)) return T{0};
    return static_cast<T>(std::clamp(static_cast<double>(r), static_cast<double>(std::numeric_limits<T>::min()),
                                     static_cast<double>(std::numeric_limits<T>::max())));
}

}  // namespace

void store_samples(std::span<const float> decoded, SampleType type, void* out) {
    switch (type) {
        case SampleType::Float32: std::memcpy(out, decoded.data(), decoded.size_bytes()); return;
        case SampleType::Float64:
            std::copy(decoded.begin(), decoded.end(), static_cast<double*>(out));
            return;
        default: break;
    }
    auto fill = [&](auto* dst) {
        using T = std::remove_pointer_t<decltype(dst)>;
        for (std::size_t i = 0; i < decoded.size(); ++i) dst[i] = rounded_to<T>(decoded[i]);
    };
    switch (type) {
        case SampleType::Int8: fill(static_cast<std::int8_t*>(out)); break;
        case SampleType::Int16: fill(static_cast<std::int16_t*>(out)); break;
        case SampleType::Int32: fill(static_cast<std::int32_t*>(out)); break;
        case SampleType::Uint8: fill(static_cast<std::uint8_t*>(out)); break;
        default: fill(static_cast<std::uint16_t*>(out)); break;
    }
}

namespace {

// Decoded samples as the chunk's integers give them back, as floats again.
std::vector<float> rounded(std::span<const float> decoded, SampleType type) {
    std::vector<float> out(decoded.size());
    auto fill = [&](auto zero) {
        using T = decltype(zero);
        for (std::size_t i = 0; i < decoded.size(); ++i) out[i] = static_cast<float>(rounded_to<T>(decoded[i]));
    };
    switch (type) {
        case SampleType::Int8: fill(std::int8_t{}); break;
        case SampleType::Int16: fill(std::int16_t{}); break;
        case SampleType::Int32: fill(std::int32_t{}); break;
        case SampleType::Uint8: fill(std::uint8_t{}); break;
        default: fill(std::uint16_t{}); break;
    }
    return out;
}

using Coded = expected<std::vector<std::uint8_t>, TuningError>;

Coded stream_of(expected<TunedStream, TuningError>&& tuned) {
    if (!tuned) return unexpected(std::move(tuned).error());
    return std::move(tuned->stream);
}

// Rounding can move a PRD either way, so the rounded result is checked,
// aiming lower by what the last attempt missed; a PRD of half the bound
// always holds after rounding (no sample's error more than doubles), and the
// finest stream is the last resort.
constexpr double kAimBelowMiss = 0.98;

Coded integers_at_prd(std::span<const float> x, SampleType type, const CompressionConfig& config, double bound) {
    auto rounded_prd = [&](std::span<const std::uint8_t> stream) -> expected<double, CorvaneError> {
        auto decoded = decompress(stream);
        if (!decoded) return unexpected(std::move(decoded).error());
        return measure_error(ErrorMeasure::Prd, x, rounded(*decoded, type));
    };
    const double aims[] = {bound, -1.0, -1.0, bound / 2.0};
    double previous = bound, got = bound;
    std::optional<double> finest;
    for (double aim : aims) {
        if (aim < 0.0) aim = previous * kAimBelowMiss * bound / got;
        auto tuned = compress_to_target(x, config, {ErrorMeasure::Prd, aim});
        if (!tuned) {
            const auto* miss = std::get_if<UnreachableTarget>(&tuned.error());
            if (miss == nullptr) return unexpected(std::move(tuned).error());
            finest = miss->best;
            break;
        }
        auto error = rounded_prd(tuned->stream);
        if (!error) return unexpected(TuningError(std::move(error).error()));
        got = *error;
        if (got <= bound) return std::move(tuned->stream);
        previous = aim;
    }
    if (!finest) return unexpected(TuningError(UnreachableTarget{ErrorMeasure::Prd, got}));
    auto last = stream_of(compress_to_target(x, config, {ErrorMeasure::Prd, *finest}));
    if (!last) return last;
    auto error = rounded_prd(*last);
    if (!error) return unexpected(TuningError(std::move(error).error()));
    if (*error <= bound) return last;
    return unexpected(TuningError(UnreachableTarget{ErrorMeasure::Prd, *error}));
}

// 1 where a single-precision value is not an integer of magnitude below
// kExactInt32 (a NaN included): below 2^23, adding and taking away 2^23
// rounds it to an integer, which must leave it as it was; from 2^23 on every
// float is whole. (Without an instruction to round, std::trunc takes
// branches per value; this vectorises.)
unsigned not_whole_single(float v) {
    constexpr float kWholeFrom = 8388608.0f;  // 2^23
    const float a = std::abs(v);
    const float rounded = (a + kWholeFrom) - kWholeFrom;
    const unsigned large = a >= kWholeFrom, beyond = !(a < static_cast<float>(kExactInt32)), off = rounded != a;
    return (large & beyond) | (~large & off & 1u);
}

// Whether every sample is an integer single precision holds exactly.
bool integer_valued(const target::Held& held) {
    if (held.narrow.empty()) return false;
    if (!held.wide.empty()) {
        return std::all_of(held.wide.begin(), held.wide.end(),
                           [](double v) { return std::abs(v) < kExactInt32 && std::trunc(v) == v; });
    }
    // (a block at a time, without a branch per value)
    const std::span<const float> x = held.narrow;
    for (std::size_t at = 0; at < x.size(); at += 1024) {
        unsigned off = 0;
        for (std::size_t i = at; i < std::min(x.size(), at + 1024); ++i) off |= not_whole_single(x[i]);
        if (off != 0) return false;
    }
    return true;
}

// A float chunk at a largest error: the refinement reaches any bound above 0.
// A bound of 0 asks for the samples exactly: integers get them from the
// integer corrections, other floats only from a plain stream that happens to
// decode to them.
Coded floats_at_largest_error(const target::Held& held, const CompressionConfig& config, double bound) {
    // Float samples that are all integers (counts stored as floats) take the
    // integer corrections whenever their step, 2 floor(E) + 1, is at least
    // the float one (about 2E): below a bound of 1/2 that stores them exactly.
    if (integer_valued(held) && bound - std::floor(bound) <= 0.5) {
        target::Held counts = held;
        counts.integers = true;
        return target::refined_at_largest_error(counts, config, bound);
    }
    if (bound > 0.0) return target::refined_at_largest_error(held, config, bound);
    auto plain = stream_of(compress_to_target(held.narrow, config, {ErrorMeasure::MaxAbs, 0.0}, held.wide));
    if (!plain && std::holds_alternative<UnreachableTarget>(plain.error())) {
        return unexpected(TuningError(CorvaneError::unsupported_configuration(
            "Float samples are not stored exactly: a largest error of 0 is out of reach, any bound above 0 is reachable")));
    }
    return plain;
}

}  // namespace

Coded compress_at_target(SignalView signal, const CompressionConfig& config, ErrorTarget target) {
    if (signal.count > 0 && signal.data == nullptr) {
        return unexpected(TuningError(CorvaneError::unsupported_configuration("Samples are missing")));
    }
    std::vector<float> own;
    target::Held held;
    switch (signal.type) {
        case SampleType::Float32: held.narrow = {static_cast<const float*>(signal.data), signal.count}; break;
        case SampleType::Float64: {
            held.wide = {static_cast<const double*>(signal.data), signal.count};
            own.resize(signal.count);
            if (auto done = narrow_to_single(held.wide, own.data()); !done) return unexpected(TuningError(done.error()));
            held.narrow = own;
            break;
        }
        default: {
            auto floats = integers_as_floats(signal);
            if (!floats) return unexpected(TuningError(std::move(floats).error()));
            own = std::move(*floats);
            held.narrow = own;
            held.integers = true;
            held.reader_rounds = true;
        }
    }
    if (auto refused = tuning::check_arguments(held.narrow, config, target, held.wide); !refused) {
        return unexpected(TuningError(std::move(refused).error()));
    }
    if (target.measure == ErrorMeasure::Prd) {
        if (held.integers) return integers_at_prd(held.narrow, signal.type, config, target.bound);
        return stream_of(compress_to_target(held.narrow, config, target, held.wide));
    }
    if (held.integers) return target::refined_at_largest_error(held, config, target.bound);
    return floats_at_largest_error(held, config, target.bound);
}

expected<std::size_t, CorvaneError> stream_length(std::span<const std::uint8_t> streams) {
    if (refine::is_container(streams)) return refine::container_length(streams);
    auto header = CorvaneHeader::from_bytes(streams);
    if (!header) return unexpected(std::move(header).error());
    const std::size_t length = kHeaderSize + std::size_t{header->payload_len};
    if (length > streams.size()) {
        return unexpected(CorvaneError::decompress("The stream is longer than the bytes given"));
    }
    return length;
}

expected<std::vector<float>, CorvaneError> decompress_chunk_signal(std::span<const std::uint8_t> stream) {
    if (refine::is_container(stream)) return refine::decode_container(stream);
    return decompress(stream);
}

expected<void, CorvaneError> decompress_chunk_signal(std::span<const std::uint8_t> stream, SampleType type,
                                                     void* out, std::size_t count) {
    auto decoded = decompress_chunk_signal(stream);
    if (!decoded) return unexpected(std::move(decoded).error());
    if (decoded->size() != count) {
        return unexpected(CorvaneError::decompress("The stream holds " + std::to_string(decoded->size()) +
                                                   " samples, not the " + std::to_string(count) + " expected"));
    }
    store_samples(*decoded, type, out);
    return {};
}

expected<DecodedLanes, CorvaneError> decompress_chunk_lanes(std::span<const std::uint8_t> chunk) {
    DecodedLanes out;
    std::size_t length = 0;
    while (!chunk.empty() || out.lanes == 0) {
        auto size = stream_length(chunk);
        if (!size) return unexpected(std::move(size).error());
        auto lane = decompress_chunk_signal(chunk.first(*size));
        if (!lane) return unexpected(std::move(lane).error());
        if (out.lanes == 0) length = lane->size();
        if (lane->size() != length) {
            return unexpected(CorvaneError::decompress("The chunk's lanes differ in length"));
        }
        if (out.lanes == 0) {
            out.samples = std::move(*lane);  // one lane is the whole chunk: no copy
        } else {
            out.samples.insert(out.samples.end(), lane->begin(), lane->end());
        }
        ++out.lanes;
        chunk = chunk.subspan(*size);
    }
    return out;
}

}  // namespace corvane
