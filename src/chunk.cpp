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

// An int32 sample beyond +-2^24: the largest if one is beyond, else the smallest.
std::optional<InexactSample> inexact(std::span<const std::byte> chunk, SampleType type) {
    if (type != SampleType::Int32) return std::nullopt;
    std::int64_t low = 0;
    std::int64_t high = 0;
    for (std::size_t i = 0; i < chunk.size() / 4; ++i) {
        std::int32_t value;
        std::memcpy(&value, chunk.data() + 4 * i, 4);
        low = std::min<std::int64_t>(low, value);
        high = std::max<std::int64_t>(high, value);
    }
    if (high > kExactInt32) return InexactSample{high};
    if (low < -kExactInt32) return InexactSample{low};
    return std::nullopt;
}

// Calls code(span) with the chunk's samples as float32 or float64 values: the
// bytes themselves when they are aligned floats, else a converted copy
// (integers convert exactly).
template <class Code>
auto with_floats(std::span<const std::byte> chunk, SampleType type, Code&& code) {
    const auto converted = [&]<class Sample, class Float>(Sample, Float) {
        const std::size_t n = chunk.size() / sizeof(Sample);
        if (std::is_same_v<Sample, Float> && reinterpret_cast<std::uintptr_t>(chunk.data()) % alignof(Float) == 0) {
            return code(std::span<const Float>(reinterpret_cast<const Float*>(chunk.data()), n));
        }
        std::vector<Float> copy(n);
        for (std::size_t i = 0; i < n; ++i) {
            Sample value;
            std::memcpy(&value, chunk.data() + i * sizeof(Sample), sizeof(Sample));
            copy[i] = static_cast<Float>(value);
        }
        return code(std::span<const Float>(copy));
    };
    switch (type) {
        case SampleType::Float32: return converted(float{}, float{});
        case SampleType::Float64: return converted(double{}, double{});
        case SampleType::Int8: return converted(std::int8_t{}, float{});
        case SampleType::Int16: return converted(std::int16_t{}, float{});
        case SampleType::Int32: return converted(std::int32_t{}, float{});
        case SampleType::Uint8: return converted(std::uint8_t{}, float{});
        case SampleType::Uint16: break;
    }
    return converted(std::uint16_t{}, float{});
}

// Lane k of the chunk: its `length` samples are element first + t * inner.
std::size_t first_of_lane(const LaneLayout& layout, std::size_t k) {
    return (k / layout.inner) * layout.length * layout.inner + k % layout.inner;
}

// Every lane at the target, each tuned on its own, in lane order.
expected<Stream, ChunkError> lanes_at_target(std::span<const std::byte> chunk, SampleType type,
                                             const LaneLayout& layout, const ChunkCoding& coding) {
    Stream run;
    const std::size_t size = sample_size(type);
    // Allocated by new, so aligned for any sample type.
    std::vector<std::byte> lane(layout.length * size);
    for (std::size_t k = 0; k < layout.lanes(); ++k) {
        const std::size_t first = first_of_lane(layout, k);
        for (std::size_t t = 0; t < layout.length; ++t) {
            std::memcpy(lane.data() + t * size, chunk.data() + (first + t * layout.inner) * size, size);
        }
        auto stream = compress_at_target({lane.data(), type, layout.length}, coding.config, *coding.target);
        if (!stream) {
            return unexpected(std::visit([](auto&& why) { return ChunkError(std::move(why)); },
                                         std::move(stream).error()));
        }
        run.insert(run.end(), stream->begin(), stream->end());
    }
    return run;
}

}  // namespace

const char* sample_name(SampleType type) {
    constexpr const char* kNames[kSampleTypes] = {"float32", "float64", "int8", "int16", "int32", "uint8", "uint16"};
    return kNames[static_cast<std::uint8_t>(type)];
}

std::string describe(const ChunkError& error, const ChunkCoding& coding) {
    char text[320];
    if (const auto* miss = std::get_if<UnreachableTarget>(&error)) {
        const std::string method(name_of(kMethodNames, coding.config.method));
        // Rounded up, so that the figure named is itself reachable.
        std::snprintf(text, sizeof text,
                      "%s=%.6g is out of reach for these samples with method '%s': the smallest reachable is %.6g",
                      miss->measure == ErrorMeasure::MaxAbs ? "max_abs_error" : "prd",
                      coding.target ? coding.target->bound : 0.0, method.c_str(),
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
    if (auto beyond = inexact(chunk, type)) return unexpected(ChunkError(*beyond));
    if (coding.target) return lanes_at_target(chunk, type, layout, coding);
    return with_floats(chunk, type, [&]<class Sample>(std::span<const Sample> samples) -> expected<Stream, ChunkError> {
        auto run = compress_lanes(samples, layout, coding.config, threads);
        if (!run) return unexpected(ChunkError(std::move(run).error()));
        return std::move(*run);
    });
}

expected<void, CorvaneError> decode_chunk(std::span<const std::uint8_t> stream, SampleType type,
                                          std::span<const std::size_t> shape, std::optional<std::size_t> axis,
                                          std::span<std::byte> out, unsigned threads) {
    const LaneLayout want = layout_of(shape, axis);
    const std::size_t size = sample_size(type);
    if (out.size() != want.samples() * size) {
        return unexpected(CorvaneError::decompress("the destination holds " + std::to_string(out.size()) +
                                                   " bytes, not the " + std::to_string(want.samples()) +
                                                   " samples of the chunk"));
    }
    // Float lanes that are plain streams making up exactly the chunk's layout
    // decode on every core.
    if (!is_integer(type) && want.lanes() > 1 && threads != 1) {
        auto run = split_lanes(stream, want.inner);
        if (run && run->layout.outer == want.outer && run->layout.length == want.length) {
            return decompress_lanes(*run, out.data(), type, threads);
        }
    }
    // Otherwise each lane through the layer's decoding of one signal, which
    // knows every stream the layer writes and converts to the chunk's type; it
    // refuses a lane of another length, and the count of lanes is checked here.
    std::vector<std::byte> scattered(want.inner == 1 ? 0 : want.length * size);
    std::size_t offset = 0;
    for (std::size_t k = 0; k < want.lanes(); ++k) {
        const auto rest = stream.subspan(offset);
        auto length = stream_length(rest);
        if (!length) return unexpected(std::move(length).error());
        const std::size_t first = first_of_lane(want, k);
        std::byte* lane = want.inner == 1 ? out.data() + first * size : scattered.data();
        auto decoded = decompress_chunk_signal(rest.first(*length), type, lane, want.length);
        if (!decoded) return unexpected(std::move(decoded).error());
        if (want.inner != 1) {
            for (std::size_t t = 0; t < want.length; ++t) {
                std::memcpy(out.data() + (first + t * want.inner) * size, lane + t * size, size);
            }
        }
        offset += *length;
    }
    if (offset != stream.size()) {
        return unexpected(CorvaneError::decompress("the chunk holds more than the " + std::to_string(want.lanes()) +
                                                   " lanes of its shape"));
    }
    return {};
}

}  // namespace corvane
