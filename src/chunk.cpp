#include "corvane/chunk.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <numeric>
#include <type_traits>
#include <utility>

namespace corvane {

namespace {

// Every integer up to 2^24 in magnitude has an exact single-precision value.
constexpr std::int64_t kExactInt32 = std::int64_t{1} << 24;

using Stream = std::vector<std::uint8_t>;

LaneLayout layout_of(std::span<const std::size_t> shape, std::optional<std::size_t> axis) {
    const auto product = [](auto first, auto last) {
        return std::accumulate(first, last, std::size_t{1}, std::multiplies<>());
    };
    if (!axis) return {1, product(shape.begin(), shape.end()), 1};
    const auto at = shape.begin() + static_cast<std::ptrdiff_t>(*axis);
    return {product(shape.begin(), at), *at, product(at + 1, shape.end())};
}

const char* method_name(Method method) {
    switch (method) {
        case Method::Cdf53: return "cdf53";
        case Method::Cdf97: return "cdf97";
        case Method::Db4: return "db4";
        case Method::Sym4: return "sym4";
    }
    return "cdf97";
}

// Calls code(span) with the chunk's samples as float32 or float64 values:
// the bytes themselves when they are aligned floats, else a converted copy.
template <class Code>
auto with_floats(std::span<const std::byte> chunk, SampleType type, Code&& code)
    -> decltype(code(std::span<const float>())) {
    const auto as = [&]<class Sample>(Sample) -> decltype(code(std::span<const float>())) {
        const std::size_t n = chunk.size() / sizeof(Sample);
        if (reinterpret_cast<std::uintptr_t>(chunk.data()) % alignof(Sample) == 0) {
            return code(std::span<const Sample>(reinterpret_cast<const Sample*>(chunk.data()), n));
        }
        std::vector<Sample> copy(n);
        std::memcpy(copy.data(), chunk.data(), chunk.size());
        return code(std::span<const Sample>(copy));
    };
    const auto exact = [&]<class Int>(Int) -> decltype(code(std::span<const float>())) {
        const std::size_t n = chunk.size() / sizeof(Int);
        std::vector<float> converted(n);
        std::int64_t low = 0;
        std::int64_t high = 0;
        for (std::size_t i = 0; i < n; ++i) {
            Int value;
            std::memcpy(&value, chunk.data() + i * sizeof(Int), sizeof(Int));
            low = std::min<std::int64_t>(low, value);
            high = std::max<std::int64_t>(high, value);
            converted[i] = static_cast<float>(value);
        }
        // The largest is named when it is beyond, else the smallest.
        if (high > kExactInt32) return unexpected(ChunkError(InexactSample{high}));
        if (low < -kExactInt32) return unexpected(ChunkError(InexactSample{low}));
        return code(std::span<const float>(converted));
    };
    switch (type) {
        case SampleType::Float32: return as(float{});
        case SampleType::Float64: return as(double{});
        case SampleType::Int8: return exact(std::int8_t{});
        case SampleType::Int16: return exact(std::int16_t{});
        case SampleType::Int32: return exact(std::int32_t{});
        case SampleType::Uint8: return exact(std::uint8_t{});
        case SampleType::Uint16: return exact(std::uint16_t{});
    }
    return unexpected(ChunkError(CorvaneError::unsupported_configuration("sample type")));
}

// Every lane at the target, each tuned on its own, in lane order; float64
// lanes are narrowed for the codec but keep the target against their values.
template <class Sample>
expected<Stream, ChunkError> lanes_at_target(std::span<const Sample> samples, const LaneLayout& layout,
                                             const ChunkCoding& coding) {
    Stream run;
    std::vector<float> lane(layout.length);
    std::vector<double> reference;
    for (std::size_t k = 0; k < layout.lanes(); ++k) {
        const Sample* first = samples.data() + (k / layout.inner) * layout.length * layout.inner + k % layout.inner;
        if constexpr (std::is_same_v<Sample, double>) {
            reference.resize(layout.length);
            for (std::size_t t = 0; t < layout.length; ++t) reference[t] = first[t * layout.inner];
            if (auto done = narrow_to_single(reference, lane.data()); !done) {
                return unexpected(ChunkError(std::move(done).error()));
            }
        } else {
            for (std::size_t t = 0; t < layout.length; ++t) lane[t] = first[t * layout.inner];
        }
        auto tuned = compress_to_target(lane, coding.config, *coding.target, reference);
        if (!tuned) {
            return unexpected(std::visit([](auto&& why) { return ChunkError(std::move(why)); },
                                         std::move(tuned).error()));
        }
        run.insert(run.end(), tuned->stream.begin(), tuned->stream.end());
    }
    return run;
}

// Decoded float32 samples as integers of the chunk's type.
template <class Int>
void restore(std::span<const float> samples, std::byte* out) {
    constexpr double kLow = std::numeric_limits<Int>::min();
    constexpr double kHigh = std::numeric_limits<Int>::max();
    for (std::size_t i = 0; i < samples.size(); ++i) {
        // nearbyint rounds ties to even in the default rounding mode; every
        // bound of these types is exact in double precision.
        double wide = std::nearbyint(static_cast<double>(samples[i]));
        wide = std::isnan(wide) ? 0.0 : std::clamp(wide, kLow, kHigh);
        const Int value = static_cast<Int>(wide);
        std::memcpy(out + i * sizeof(Int), &value, sizeof(Int));
    }
}

template <class Sample>
expected<void, CorvaneError> decode_floats(const LaneRun& run, std::span<std::byte> out, unsigned threads) {
    if (reinterpret_cast<std::uintptr_t>(out.data()) % alignof(Sample) == 0) {
        return decompress_lanes(run, reinterpret_cast<Sample*>(out.data()), threads);
    }
    std::vector<Sample> aligned(out.size() / sizeof(Sample));
    auto done = decompress_lanes(run, aligned.data(), threads);
    if (done) std::memcpy(out.data(), aligned.data(), out.size());
    return done;
}

}  // namespace

std::size_t sample_size(SampleType type) {
    constexpr std::size_t kSizes[kSampleTypes] = {4, 8, 1, 2, 4, 1, 2};
    return kSizes[static_cast<std::uint8_t>(type)];
}

const char* sample_name(SampleType type) {
    constexpr const char* kNames[kSampleTypes] = {"float32", "float64", "int8", "int16", "int32", "uint8", "uint16"};
    return kNames[static_cast<std::uint8_t>(type)];
}

std::string describe(const ChunkError& error, const ChunkCoding& coding) {
    char text[320];
    if (const auto* miss = std::get_if<UnreachableTarget>(&error)) {
        // Rounded up, so that the figure named is itself reachable.
        std::snprintf(text, sizeof text,
                      "%s=%.6g is out of reach for these samples with method '%s': the smallest reachable is %.6g",
                      miss->measure == ErrorMeasure::MaxAbs ? "max_abs_error" : "prd",
                      coding.target ? coding.target->bound : 0.0, method_name(coding.config.method),
                      miss->best * (1.0 + 1e-5));
        return text;
    }
    if (const auto* inexact = std::get_if<InexactSample>(&error)) {
        std::snprintf(text, sizeof text,
                      "int32 sample %lld lies beyond +-2**24, where single precision cannot hold every integer; "
                      "corvane does not round samples silently (store the array as float32 to accept the "
                      "rounding, or scale it down)",
                      static_cast<long long>(inexact->value));
        return text;
    }
    return std::get<CorvaneError>(error).message();
}

expected<Stream, ChunkError> encode_chunk(std::span<const std::byte> chunk, SampleType type,
                                          std::span<const std::size_t> shape, const ChunkCoding& coding,
                                          unsigned threads) {
    const LaneLayout layout = layout_of(shape, coding.axis);
    if (chunk.size() != layout.samples() * sample_size(type)) {
        return unexpected(ChunkError(CorvaneError::decompress("the chunk holds " + std::to_string(chunk.size()) +
                                                              " bytes, not the " +
                                                              std::to_string(layout.samples()) + " samples of its shape")));
    }
    if (coding.target && type != SampleType::Float32 && type != SampleType::Float64) {
        return unexpected(ChunkError(CorvaneError::unsupported_configuration(
            std::string("error targets on ") + sample_name(type) + " samples")));
    }
    return with_floats(chunk, type, [&]<class Sample>(std::span<const Sample> samples) -> expected<Stream, ChunkError> {
        if (coding.target) return lanes_at_target(samples, layout, coding);
        auto run = compress_lanes(samples, layout, coding.config, threads);
        if (!run) return unexpected(ChunkError(std::move(run).error()));
        return std::move(*run);
    });
}

expected<void, CorvaneError> decode_chunk(std::span<const std::uint8_t> stream, SampleType type,
                                          std::span<const std::size_t> shape, std::optional<std::size_t> axis,
                                          std::span<std::byte> out, unsigned threads) {
    const LaneLayout want = layout_of(shape, axis);
    if (out.size() != want.samples() * sample_size(type)) {
        return unexpected(CorvaneError::decompress("the destination holds " + std::to_string(out.size()) +
                                                   " bytes, not the " + std::to_string(want.samples()) +
                                                   " samples of the chunk"));
    }
    auto run = split_lanes(stream, want.inner);
    if (!run) return unexpected(std::move(run).error());
    const LaneLayout& got = run->layout;
    if (got.outer != want.outer || got.length != want.length || got.inner != want.inner) {
        return unexpected(CorvaneError::decompress(
            "the chunk holds " + std::to_string(got.lanes()) + " lanes of " + std::to_string(got.length) +
            " samples, not the " + std::to_string(want.lanes()) + " of " + std::to_string(want.length) +
            " its shape has"));
    }
    switch (type) {
        case SampleType::Float32: return decode_floats<float>(*run, out, threads);
        case SampleType::Float64: return decode_floats<double>(*run, out, threads);
        default: break;
    }
    auto samples = decompress_lanes(*run, threads);
    if (!samples) return unexpected(std::move(samples).error());
    switch (type) {
        case SampleType::Int8: restore<std::int8_t>(*samples, out.data()); break;
        case SampleType::Int16: restore<std::int16_t>(*samples, out.data()); break;
        case SampleType::Int32: restore<std::int32_t>(*samples, out.data()); break;
        case SampleType::Uint8: restore<std::uint8_t>(*samples, out.data()); break;
        case SampleType::Uint16: restore<std::uint16_t>(*samples, out.data()); break;
        default: break;
    }
    return {};
}

}  // namespace corvane
