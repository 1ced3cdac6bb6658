#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "corvane/corvane.hpp"
#include "corvane/layer.hpp"

namespace corvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A chunk of lanes that differ in scale and shape, in C order of the layout.
template <class Sample>
std::vector<Sample> chunk_of(const LaneLayout& layout) {
    std::vector<Sample> chunk(layout.samples());
    for (std::size_t lane = 0; lane < layout.lanes(); ++lane) {
        const std::size_t o = lane / layout.inner, i = lane % layout.inner;
        const double gain = std::pow(10.0, static_cast<double>(lane % 5) - 2.0);
        for (std::size_t t = 0; t < layout.length; ++t) {
            const double x = std::sin(static_cast<double>(t) / (3.0 + static_cast<double>(lane)));
            chunk[(o * layout.length + t) * layout.inner + i] = static_cast<Sample>(gain * x + static_cast<double>(lane));
        }
    }
    return chunk;
}

template <class Sample>
std::vector<float> lane_of(const std::vector<Sample>& chunk, const LaneLayout& layout, std::size_t lane) {
    std::vector<float> x(layout.length);
    const std::size_t o = lane / layout.inner, i = lane % layout.inner;
    for (std::size_t t = 0; t < layout.length; ++t) {
        x[t] = static_cast<float>(chunk[(o * layout.length + t) * layout.inner + i]);
    }
    return x;
}

template <class Sample>
void expect_lanes_are_their_own_streams(const LaneLayout& layout) {
    CompressionConfig config;
    config.scale = 10;
    const auto chunk = chunk_of<Sample>(layout);
    Bytes expected_run;
    std::vector<float> expected_samples(layout.samples());
    for (std::size_t lane = 0; lane < layout.lanes(); ++lane) {
        const auto stream = *compress(lane_of(chunk, layout, lane), config);
        expected_run.insert(expected_run.end(), stream.begin(), stream.end());
        const auto decoded = *decompress(stream);
        const std::size_t o = lane / layout.inner, i = lane % layout.inner;
        for (std::size_t t = 0; t < layout.length; ++t) {
            expected_samples[(o * layout.length + t) * layout.inner + i] = decoded[t];
        }
    }
    // The bytes and the samples are the same however many threads share the lanes.
    for (const unsigned threads : {1u, 3u, 0u}) {
        auto run = compress_lanes(std::span<const Sample>(chunk), layout, config, threads);
        ASSERT_TRUE(run) << run.error().message();
        ASSERT_EQ(*run, expected_run) << threads << " threads";

        auto split = split_lanes(*run, layout.outer == 1 ? 0 : layout.inner);
        ASSERT_TRUE(split) << split.error().message();
        EXPECT_EQ(split->layout.outer, layout.outer);
        EXPECT_EQ(split->layout.length, layout.length);
        EXPECT_EQ(split->layout.inner, layout.inner);

        std::vector<float> narrow(layout.samples());
        std::vector<double> wide(layout.samples());
        ASSERT_TRUE(decompress_lanes(*split, narrow.data(), threads));
        ASSERT_TRUE(decompress_lanes(*split, wide.data(), threads));
        auto made = decompress_lanes(*split, threads);
        ASSERT_TRUE(made);
        for (std::size_t k = 0; k < layout.samples(); ++k) {
            ASSERT_EQ(std::bit_cast<std::uint32_t>(narrow[k]), std::bit_cast<std::uint32_t>(expected_samples[k])) << k;
            ASSERT_EQ(wide[k], static_cast<double>(expected_samples[k])) << k;
            ASSERT_EQ(std::bit_cast<std::uint32_t>((*made)[k]), std::bit_cast<std::uint32_t>(expected_samples[k])) << k;
        }
    }
}

TEST(Lanes, EveryLaneIsTheStreamOfItsSamplesAndDecodesInPlace) {
    // Lanes along the last axis, the first, a middle one; one lane; lanes long
    // enough that several threads share them.
    for (const LaneLayout layout : {LaneLayout{3, 50, 1}, LaneLayout{1, 300, 12}, LaneLayout{2, 77, 5},
                                    LaneLayout{1, 9, 1}, LaneLayout{1, 40000, 4}}) {
        SCOPED_TRACE(std::to_string(layout.outer) + "x" + std::to_string(layout.length) + "x" +
                     std::to_string(layout.inner));
        expect_lanes_are_their_own_streams<float>(layout);
        expect_lanes_are_their_own_streams<double>(layout);
    }
}

TEST(Lanes, TheFirstFailingLaneInLaneOrderIsReported) {
    const LaneLayout layout{1, 20000, 8};
    auto chunk = chunk_of<double>(layout);
    // Lane 2 holds a value beyond single precision, lane 5 a range beyond it;
    // lane 2 comes first, however the lanes are spread.
    chunk[19000 * 8 + 2] = -1e300;
    chunk[100 * 8 + 5] = 3e38;
    chunk[101 * 8 + 5] = -3e38;
    const auto lane5 = compress(lane_of(chunk, layout, 5), {});
    ASSERT_FALSE(lane5);  // with an error of its own
    ASSERT_EQ(lane5.error(), CorvaneError::unsupported_configuration("Can't compress data whose range exceeds single precision"));
    for (const unsigned threads : {1u, 4u}) {
        auto run = compress_lanes(std::span<const double>(chunk), layout, {}, threads);
        ASSERT_FALSE(run);
        EXPECT_EQ(run.error(), CorvaneError::unsupported_configuration("Can't compress data whose samples exceed single precision"));
    }
    EXPECT_EQ(compress_lanes(std::span<const float>(), LaneLayout{1, 0, 3}, {}, 0).error(), compress({}, {}).error());

    // A lane whose payload is damaged fails as that stream alone fails.
    const auto floats = chunk_of<float>(layout);
    auto run = *compress_lanes(std::span<const float>(floats), layout, {}, 0);
    auto split = *split_lanes(run, 0);
    const std::size_t damaged = 6;
    const auto start = static_cast<std::size_t>(split.streams[damaged].data() - run.data());
    for (std::size_t k = 52; k < split.streams[damaged].size(); ++k) run[start + k] = 0xFF;
    const Bytes alone(split.streams[damaged].begin(), split.streams[damaged].end());
    const auto expected = decompress(alone);
    ASSERT_FALSE(expected);
    std::vector<float> out(layout.samples());
    for (const unsigned threads : {1u, 4u}) {
        auto decoded = decompress_lanes(split, out.data(), threads);
        ASSERT_FALSE(decoded);
        EXPECT_EQ(decoded.error(), expected.error());
    }
}

TEST(Lanes, RunsThatDoNotSplitIntoEqualLanesAreRefused) {
    const LaneLayout layout{1, 300, 3};
    const auto floats = chunk_of<float>(layout);
    const auto run = *compress_lanes(std::span<const float>(floats), layout, {}, 1);
    const auto shorter = *compress(std::vector<float>(299, 1.0f), {});
    auto message = [](const Bytes& bytes, std::size_t inner) {
        auto split = split_lanes(bytes, inner);
        return split ? std::string("<split>") : split.error().message();
    };
    Bytes unequal = run;
    unequal.insert(unequal.end(), shorter.begin(), shorter.end());
    Bytes trailing = run;
    trailing.push_back(0);
    EXPECT_EQ(message(unequal, 0), "Can't decompress data, reason: the lanes of a chunk differ in length: 300 and 299 samples");
    EXPECT_EQ(message(run, 2), "Can't decompress data, reason: 3 lanes do not make groups of 2");
    EXPECT_EQ(message(trailing, 0), "Header is invalid");
    EXPECT_EQ(message({}, 0), "Header is invalid");
    // A bare header claiming a flat lane's length has no payload to yield it.
    Bytes bare = *compress(std::vector<float>(10000, 1.0f), {});
    bare.insert(bare.end(), bare.begin(), bare.begin() + 52);
    for (int k = 32; k < 36; ++k) bare[bare.size() - 52 + k] = 0;
    EXPECT_EQ(message(bare, 0), "Can't decompress data, reason: lane 1 claims 10000 samples, more than its payload of 0 bytes can hold");
    // A last stream cut short is kept for its decoder to refuse.
    const Bytes cut(run.begin(), run.end() - 1);
    auto split = split_lanes(cut, 0);
    ASSERT_TRUE(split);
    std::vector<float> out(layout.samples());
    EXPECT_FALSE(decompress_lanes(*split, out.data(), 1));
}

TEST(Lanes, DecodingReadsTheHeadersAsSplitReadThemIntoMemoryOfAnyAlignment) {
    const LaneLayout layout{1, 700, 3};
    const auto floats = chunk_of<float>(layout);
    auto run = *compress_lanes(std::span<const float>(floats), layout, {}, 1);
    const auto split = *split_lanes(run, 0);
    std::vector<float> expected(layout.samples());
    ASSERT_TRUE(decompress_lanes(split, expected.data(), 1));

    // The caller's bytes change after the split: lane 1's header now claims
    // fewer samples and another method. The lanes decode as split read them.
    const auto at = static_cast<std::size_t>(split.streams[1].data() - run.data());
    run[at + 16] ^= 1;
    run[at + 8] = 'd';
    for (const auto type : {SampleType::Float32, SampleType::Float64}) {
        const std::size_t size = type == SampleType::Float32 ? 4 : 8;
        std::vector<std::uint8_t> memory(size * layout.samples() + 1);
        ASSERT_TRUE(decompress_lanes(split, memory.data() + 1, type, 2));
        for (std::size_t k = 0; k < layout.samples(); ++k) {
            float f = 0.0f;
            double d = 0.0;
            if (type == SampleType::Float32) std::memcpy(&f, memory.data() + 1 + 4 * k, 4);
            if (type == SampleType::Float64) std::memcpy(&d, memory.data() + 1 + 8 * k, 8);
            ASSERT_EQ(type == SampleType::Float32 ? f : d, expected[k]) << k;
        }
    }
}

}  // namespace
}  // namespace corvane
