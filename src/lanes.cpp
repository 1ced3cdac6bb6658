#include "corvane/corvane.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>

#include "src/format/header.hpp"

namespace corvane {

namespace {

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

template <class Sample>
expected<void, CorvaneError> decompress_into(const LaneRun& run, Sample* out, unsigned threads,
                                             std::size_t first_lane) {
    const LaneLayout& layout = run.layout;
    return for_each_lane(layout.lanes() - first_lane, worker_count(threads, layout), [&](std::size_t k) {
        const std::size_t lane = first_lane + k;
        auto samples = decompress(run.streams[lane]);
        if (!samples) return expected<void, CorvaneError>(unexpected(std::move(samples).error()));
        Sample* first = out + (lane / layout.inner) * layout.length * layout.inner + lane % layout.inner;
        for (std::size_t t = 0; t < layout.length; ++t) first[t * layout.inner] = (*samples)[t];
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
        auto header = CorvaneHeader::from_bytes(rest);
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
        lanes.streams.push_back(rest.first(size));
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

expected<void, CorvaneError> decompress_lanes(const LaneRun& run, float* out, unsigned threads) {
    return decompress_into(run, out, threads, 0);
}

expected<void, CorvaneError> decompress_lanes(const LaneRun& run, double* out, unsigned threads) {
    return decompress_into(run, out, threads, 0);
}

expected<std::vector<float>, CorvaneError> decompress_lanes(const LaneRun& run, unsigned threads) {
    const LaneLayout& layout = run.layout;
    auto first = decompress(run.streams.front());
    if (!first) return unexpected(std::move(first).error());
    std::vector<float> out(layout.samples());
    for (std::size_t t = 0; t < layout.length; ++t) out[t * layout.inner] = (*first)[t];
    first = {};
    auto rest = decompress_into(run, out.data(), threads, 1);
    if (!rest) return unexpected(std::move(rest).error());
    return out;
}

}  // namespace corvane
