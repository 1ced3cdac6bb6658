// Codec entry points and shared executors used from several threads at once.
// Every call is independent, so each thread must get exactly the bytes and
// samples a lone call gets. Built under ThreadSanitizer (CORVANE_TSAN) this
// also shows that no call writes state another call reads. The codec layer's
// companion calls the codec this way with the interpreter lock released:
// threads reading chunks of one shared recording and writing into slices of
// one shared output.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <thread>
#include <vector>

#include "src/format/bands.hpp"
#include "wavelet/factory.hpp"

namespace corvane {
namespace {

constexpr int kThreads = 6;
constexpr int kRounds = 4;

std::vector<float> signal_for(int index) {
    std::vector<float> x(700 + 131 * static_cast<std::size_t>(index));
    for (std::size_t i = 0; i < x.size(); ++i) {
        const float t = static_cast<float>(i);
        x[i] = std::sin(t * (0.01f + 0.003f * static_cast<float>(index))) + 0.2f * std::cos(t * 0.7f);
    }
    return x;
}

CompressionConfig config_for(int index) {
    CompressionConfig c;
    c.method = static_cast<Method>(index % 4);
    c.coder = static_cast<Coder>(index % 4);
    c.scale = static_cast<std::uint8_t>(6 + index % 7);
    return c;
}

struct Outcome {
    std::vector<std::uint8_t> stream;
    std::vector<float> samples;
};

Outcome run_codec(int index) {
    const auto x = signal_for(index);
    auto stream = compress(x, config_for(index));
    if (!stream) return {};
    auto samples = decompress(*stream);
    if (!samples) return {};
    return {std::move(*stream), std::move(*samples)};
}

TEST(Concurrency, ThreadsCodingDifferentSignalsGetTheSerialResults) {
    std::vector<Outcome> serial;
    for (int i = 0; i < kThreads; ++i) {
        serial.push_back(run_codec(i));
        ASSERT_FALSE(serial.back().stream.empty()) << i;
        ASSERT_EQ(serial.back().samples.size(), signal_for(i).size()) << i;
    }

    std::vector<std::vector<Outcome>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([i, &seen] {
            for (int r = 0; r < kRounds; ++r) seen[i].push_back(run_codec((i + r) % kThreads));
        });
    }
    for (auto& t : threads) t.join();

    for (int i = 0; i < kThreads; ++i) {
        for (int r = 0; r < kRounds; ++r) {
            const Outcome& want = serial[(i + r) % kThreads];
            EXPECT_EQ(seen[i][r].stream, want.stream) << i << "/" << r;
            // Bit for bit: compare the patterns, not the values.
            ASSERT_EQ(seen[i][r].samples.size(), want.samples.size());
            EXPECT_EQ(0, std::memcmp(seen[i][r].samples.data(), want.samples.data(), 4 * want.samples.size()));
        }
    }
}

TEST(Concurrency, ThreadsCodingChunksOfOneSharedRecordingIntoOneSharedOutput) {
    constexpr std::size_t kChunk = 3001;
    std::vector<double> recording(kThreads * kChunk);
    for (std::size_t i = 0; i < recording.size(); ++i) {
        recording[i] = std::sin(static_cast<double>(i) / 37.0) * 1e3 + std::cos(static_cast<double>(i) * 0.61);
    }
    const CompressionConfig config;
    auto code_chunk = [&](int index, float* decoded) {
        const std::span<const double> chunk(recording.data() + index * kChunk, kChunk);
        std::vector<float> narrowed(kChunk);
        if (!narrow_to_single(chunk, narrowed.data())) return std::vector<std::uint8_t>{};
        auto stream = compress(narrowed, config);
        if (!stream) return std::vector<std::uint8_t>{};
        auto samples = decompress(*stream);
        if (!samples || samples->size() != kChunk) return std::vector<std::uint8_t>{};
        std::memcpy(decoded, samples->data(), 4 * kChunk);
        return std::move(*stream);
    };

    std::vector<float> serial_out(recording.size());
    std::vector<std::vector<std::uint8_t>> serial(kThreads);
    for (int i = 0; i < kThreads; ++i) {
        serial[i] = code_chunk(i, serial_out.data() + i * kChunk);
        ASSERT_FALSE(serial[i].empty()) << i;
    }
    std::vector<float> shared_out(recording.size());
    std::vector<std::vector<std::uint8_t>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] { seen[i] = code_chunk(i, shared_out.data() + i * kChunk); });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(seen, serial);
    EXPECT_EQ(0, std::memcmp(shared_out.data(), serial_out.data(), 4 * serial_out.size()));
}

TEST(Concurrency, OneExecutorSharedByManyThreads) {
    const std::vector<std::shared_ptr<wavelet::DwtExecutor>> executors{
        make_executor(Method::Cdf53), make_executor(Method::Cdf97), make_executor(Method::Db4),
        make_executor(Method::Sym4)};
    for (const auto& executor : executors) {
        const auto x = signal_for(3);
        const auto forward = executor->multi_dwt(x, 5);
        ASSERT_TRUE(forward.has_value());
        std::vector<std::span<const float>> details;
        for (const auto& level : forward->levels) details.emplace_back(level.details);
        const wavelet::MultiDwtInput input{details, forward->levels.back().approximations};
        const auto want = executor->multi_idwt(input);
        ASSERT_TRUE(want.has_value());

        std::vector<int> mismatches(kThreads, 0);
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                for (int r = 0; r < kRounds; ++r) {
                    const auto again = executor->multi_dwt(x, 5);
                    const auto back = executor->multi_idwt(input);
                    if (!again || !back || *back != *want ||
                        again->levels.back().approximations != forward->levels.back().approximations)
                        ++mismatches[i];
                }
            });
        }
        for (auto& t : threads) t.join();
        for (int i = 0; i < kThreads; ++i) EXPECT_EQ(mismatches[i], 0) << "thread " << i;
    }
}

}  // namespace
}  // namespace corvane
