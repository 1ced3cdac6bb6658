#include "corvane/corvane.hpp"
#include "corvane/layer.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>

#include "src/codec/decompressor.hpp"
#include "src/entropy/payload.hpp"
#include "src/format/header.hpp"

namespace corvane {

namespace {

static_assert(std::tuple_size_v<decltype(LaneRun::headers)::value_type> == kHeaderSize);

// Below this many samples a thread of its own costs more than it saves.
constexpr std::size_t kSamplesPerThread = std::size_t{1} << 14;

unsigned worker_count(unsigned threads, const LaneLayout& layout) {
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t by_work = std::max<std::size_t>(1, layout.samples() / kSamplesPerThread);
    return static_cast<unsigned>(std::max<std::size_t>(1, std::min({std::size_t{threads}, layout.lanes(), by_work})));
}

// Runs code(lane) for every lane on up to `workers` threads, the calling one
// among them. Lanes are handed out in order, and once one fails no new lane
// starts; every lane before the failing one has started by then and runs to
// its end, so the error returned is the first lane's in lane order, however
// the lanes were spread. An exception (memory running out) is rethrown here.
template <class Code>
expected<void, CorvaneError> for_each_lane(std::size_t lanes, unsigned workers, Code&& code) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex guard;
    std::size_t failed_lane = lanes;
    std::optional<CorvaneError> error;
    std::exception_ptr thrown;

    auto work = [&] {
        while (!failed.load(std::memory_order_relaxed)) {
            const std::size_t lane = next.fetch_add(1, std::memory_order_relaxed);
            if (lane >= lanes) return;
            try {
                auto done = code(lane);
                if (done) continue;
                const std::lock_guard lock(guard);
                if (lane < failed_lane) {
                    failed_lane = lane;
                    error = std::move(done).error();
                }
            } catch (...) {
                const std::lock_guard lock(guard);
                if (!thrown) thrown = std::current_exception();
            }
            failed.store(true, std::memory_order_relaxed);
        }
    };
    {
        std::vector<std::jthread> helpers;
        helpers.reserve(workers - 1);
        try {
            for (unsigned w = 1; w < workers; ++w) helpers.emplace_back(work);
        } catch (const std::system_error&) {
            // No more threads to be had: the ones running share the lanes.
        }
        work();
    }  // joined
    if (thrown) std::rethrow_exception(thrown);
    if (error) return unexpected(std::move(*error));
    return {};
}

// The samples of one lane, contiguous and in single precision.
template <class Sample>
expected<std::span<const float>, CorvaneError> lane_samples(std::span<const Sample> chunk, const LaneLayout& layout,
                                                            std::size_t lane, std::vector<float>& scratch) {
    const std::size_t o = lane / layout.inner;
    const std::size_t i = lane % layout.inner;
    const Sample* first = chunk.data() + o * layout.length * layout.inner + i;
    if constexpr (std::is_same_v<Sample, float>) {
        if (layout.inner == 1) return std::span<const float>(first, layout.length);
        scratch.resize(layout.length);
        for (std::size_t t = 0; t < layout.length; ++t) scratch[t] = first[t * layout.inner];
    } else {
        std::vector<double> wide(layout.length);
        for (std::size_t t = 0; t < layout.length; ++t) wide[t] = first[t * layout.inner];
        scratch.resize(layout.length);
        auto narrowed = narrow_to_single(wide, scratch.data());
        if (!narrowed) return unexpected(std::move(narrowed).error());
    }
    return std::span<const float>(scratch);
}

template <class Sample>
expected<std::vector<std::uint8_t>, CorvaneError> compress_any(std::span<const Sample> chunk, const LaneLayout& layout,
                                                               const CompressionConfig& config, unsigned threads) {
    if (layout.samples() == 0) return compress({}, config);  // the refusal of empty data
    // A lane too long for a stream is refused before any lane is copied.
    if (auto refused = check_sample_count(layout.length); !refused) return unexpected(std::move(refused).error());
    std::vector<std::vector<std::uint8_t>> streams(layout.lanes());
    auto coded = for_each_lane(layout.lanes(), worker_count(threads, layout), [&](std::size_t lane) {
        std::vector<float> scratch;
        auto samples = lane_samples(chunk, layout, lane, scratch);
        if (!samples) return expected<void, CorvaneError>(unexpected(std::move(samples).error()));
        auto stream = compress(*samples, config);
        if (!stream) return expected<void, CorvaneError>(unexpected(std::move(stream).error()));
        streams[lane] = std::move(*stream);
        return expected<void, CorvaneError>();
    });
    if (!coded) return unexpected(std::move(coded).error());

    std::size_t total = 0;
    for (const auto& stream : streams) total += stream.size();
    std::vector<std::uint8_t> run;
    run.reserve(total);
    for (auto& stream : streams) {
        run.insert(run.end(), stream.begin(), stream.end());
        stream = {};
    }
    return run;
}

// decompress(), with a layout the transform cannot rebuild named in the
// codec's words: the encoder never writes more levels than the sample count
// allows, so only a count that lies makes the reconstruction fail.
expected<std::vector<float>, CorvaneError> decode_parsed(const CorvaneHeader& header,
                                                         std::span<const std::uint8_t> stream) {
    auto samples = decompress_parsed(header, stream);
    if (!samples && samples.error().tag() == CorvaneError::Tag::Wavelet) {
        return unexpected(CorvaneError::decompress("the header's sample count, " +
                                                   std::to_string(header.sample_count) + ", is too small for its " +
                                                   std::to_string(unsigned{header.levels}) + " levels"));
    }
    return samples;
}

// One lane, decoded from the header split read and the payload bytes it
// counted; it has exactly the layout's length or is refused.
expected<std::vector<float>, CorvaneError> decode_lane(const LaneRun& run, std::size_t lane) {
    auto header = CorvaneHeader::from_bytes(run.headers[lane]);
    if (!header) return unexpected(std::move(header).error());
    auto samples = decode_parsed(*header, run.streams[lane]);
    if (samples && samples->size() != run.layout.length) {
        return unexpected(CorvaneError::decompress("lane " + std::to_string(lane) + " decodes to " +
                                                   std::to_string(samples->size()) + " samples, not " +
                                                   std::to_string(run.layout.length)));
    }
    return samples;
}

// Lane `lane`'s samples into `out`, where the layout puts them, one byte copy
// per value, so `out` may have any alignment.
template <class Sample>
void scatter(std::span<const float> samples, const LaneLayout& layout, std::size_t lane, std::byte* out) {
    const std::size_t first = (lane / layout.inner) * layout.length * layout.inner + lane % layout.inner;
    std::byte* at = out + first * sizeof(Sample);
    const std::size_t stride = layout.inner * sizeof(Sample);
    for (std::size_t t = 0; t < layout.length; ++t, at += stride) {
        const Sample value = samples[t];
        std::memcpy(at, &value, sizeof(Sample));
    }
}

template <class Sample>
expected<void, CorvaneError> decompress_into(const LaneRun& run, std::byte* out, unsigned threads,
                                             std::size_t first_lane) {
    const LaneLayout& layout = run.layout;
    return for_each_lane(layout.lanes() - first_lane, worker_count(threads, layout), [&](std::size_t k) {
        const std::size_t lane = first_lane + k;
        auto samples = decode_lane(run, lane);
        if (!samples) return expected<void, CorvaneError>(unexpected(std::move(samples).error()));
        scatter<Sample>(*samples, layout, lane, out);
        return expected<void, CorvaneError>();
    });
}

}  // namespace

expected<std::vector<std::uint8_t>, CorvaneError> compress_lanes(std::span<const float> chunk,
                                                                 const LaneLayout& layout,
                                                                 const CompressionConfig& config, unsigned threads) {
    return compress_any(chunk, layout, config, threads);
}

expected<std::vector<std::uint8_t>, CorvaneError> compress_lanes(std::span<const double> chunk,
                                                                 const LaneLayout& layout,
                                                                 const CompressionConfig& config, unsigned threads) {
    return compress_any(chunk, layout, config, threads);
}

expected<LaneRun, CorvaneError> split_lanes(std::span<const std::uint8_t> run, std::size_t inner) {
    LaneRun lanes;
    std::size_t offset = 0;
    do {
        // Each header is checked as the decoder checks it; an empty run or a
        // tail too short for a header is an invalid header.
        const auto rest = run.subspan(offset);
        if (rest.size() < kHeaderSize) return unexpected(CorvaneError::invalid_header());
        // The header is read once, from a private copy: the caller's bytes
        // may change while the lanes decode.
        std::array<std::uint8_t, kHeaderSize> copy;
        std::memcpy(copy.data(), rest.data(), kHeaderSize);
        auto header = CorvaneHeader::from_bytes(copy);
        if (!header) return unexpected(std::move(header).error());
        if (lanes.streams.empty()) {
            lanes.layout.length = header->sample_count;
        } else if (header->sample_count != lanes.layout.length) {
            return unexpected(CorvaneError::decompress("the lanes of a chunk differ in length: " +
                                                       std::to_string(lanes.layout.length) + " and " +
                                                       std::to_string(header->sample_count) + " samples"));
        }
        // A stream cut short keeps what is there, for its decoder to refuse.
        const std::size_t size = std::min<std::size_t>(rest.size(), kHeaderSize + std::size_t{header->payload_len});
        // No output is made for more samples than the payload could hold.
        const std::size_t payload = size - kHeaderSize;
        if (header->sample_count > max_coefficients(header->parameters().coder, payload)) {
            return unexpected(CorvaneError::decompress(
                "lane " + std::to_string(lanes.streams.size()) + " claims " + std::to_string(header->sample_count) +
                " samples, more than its payload of " + std::to_string(payload) + " bytes can hold"));
        }
        lanes.streams.push_back(rest.first(size));
        lanes.headers.push_back(copy);
        offset += size;
    } while (offset < run.size());

    const std::size_t count = lanes.streams.size();
    lanes.layout.inner = inner == 0 ? count : inner;
    if (count % lanes.layout.inner != 0) {
        return unexpected(CorvaneError::decompress(std::to_string(count) + " lanes do not make groups of " +
                                                   std::to_string(lanes.layout.inner)));
    }
    lanes.layout.outer = count / lanes.layout.inner;
    return lanes;
}

expected<void, CorvaneError> decompress_lanes(const LaneRun& run, void* out, SampleType type, unsigned threads) {
    auto* bytes = static_cast<std::byte*>(out);
    if (type == SampleType::Float64) return decompress_into<double>(run, bytes, threads, 0);
    if (type == SampleType::Float32) return decompress_into<float>(run, bytes, threads, 0);
    return unexpected(CorvaneError::unsupported_configuration("Lanes decode into float32 or float64 samples"));
}

expected<void, CorvaneError> decompress_lanes(const LaneRun& run, float* out, unsigned threads) {
    return decompress_lanes(run, out, SampleType::Float32, threads);
}

expected<void, CorvaneError> decompress_lanes(const LaneRun& run, double* out, unsigned threads) {
    return decompress_lanes(run, out, SampleType::Float64, threads);
}

expected<std::vector<float>, CorvaneError> decompress_lanes(const LaneRun& run, unsigned threads) {
    // The first lane is decoded before the output is made, so a run whose
    // first lane is damaged costs nothing more; one lane is its own output.
    auto first = decode_lane(run, 0);
    if (!first || run.layout.lanes() == 1) return first;
    std::vector<float> out(run.layout.samples());
    auto* bytes = reinterpret_cast<std::byte*>(out.data());
    scatter<float>(*first, run.layout, 0, bytes);
    first = {};
    auto rest = decompress_into<float>(run, bytes, threads, 1);
    if (!rest) return unexpected(std::move(rest).error());
    return out;
}

expected<std::vector<float>, CorvaneError> decompress_stream(std::span<const std::uint8_t> stream) {
    auto header = CorvaneHeader::from_bytes(stream);
    if (!header) return unexpected(std::move(header).error());
    return decode_parsed(*header, stream);
}

}  // namespace corvane
