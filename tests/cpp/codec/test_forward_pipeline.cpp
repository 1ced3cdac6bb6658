// The codec runs the transform levels itself (buffers taken in turns, bands
// quantised or dequantised as each level needs them). These tests hold it to
// the executors' own multi-level drivers, bit for bit, for every method at
// the lengths where level sizes round differently, and check that the byte
// coders' in-place view of the coefficients is their little-endian bytes.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "src/codec/forward.hpp"
#include "src/format/bands.hpp"
#include "src/format/header.hpp"

namespace corvane {
namespace {

constexpr Method kMethods[] = {Method::Cdf53, Method::Cdf97, Method::Db4, Method::Sym4};
constexpr std::size_t kLengths[] = {1, 3, 9, 10, 19, 20, 39, 41, 59, 61, 79, 80, 81, 97, 160, 161, 1023, 1025, 4099};

std::vector<float> noisy_tones(std::size_t n) {
    std::mt19937 rng(static_cast<unsigned>(n));
    std::normal_distribution<float> noise(0.0f, 0.05f);
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = std::sin(0.07f * static_cast<float>(i)) + noise(rng);
    return x;
}

std::vector<std::uint32_t> bits_of(std::span<const float> v) {
    std::vector<std::uint32_t> out(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) out[i] = std::bit_cast<std::uint32_t>(v[i]);
    return out;
}

TEST(LevelDrivers, QuantisedBandsMatchTheExecutorsDecomposition) {
    const float m = 2048.0f;
    for (const Method method : kMethods) {
        const auto executor = make_executor(method);
        for (const std::size_t n : kLengths) {
            const auto w = normalise_signal(noisy_tones(n), executor->filter_length());
            ASSERT_TRUE(w.has_value());
            const std::uint8_t levels = pick_levels(n, method);
            const auto q = decompose_and_quantise(*executor, w->samples, levels, m, 2);
            ASSERT_TRUE(q.has_value()) << q.error().message();

            const auto reference = executor->multi_dwt(w->samples, levels);
            ASSERT_TRUE(reference.has_value());
            const auto& lv = reference->levels;
            std::vector<std::int16_t> want(lv.back().approximations.size());
            quantise_band(lv.back().approximations, m, 0, want.data());
            std::vector<std::size_t> lengths{want.size()};
            for (const auto& level : lv) {
                const std::size_t at = want.size();
                want.resize(at + level.details.size());
                quantise_band(level.details, m, 2, want.data() + at);
                lengths.push_back(level.details.size());
            }
            EXPECT_EQ(q->values, want) << static_cast<int>(method) << " n=" << n;
            EXPECT_EQ(q->lengths, lengths) << static_cast<int>(method) << " n=" << n;
        }
    }
}

TEST(LevelDrivers, DecodedSamplesMatchTheExecutorsReconstruction) {
    for (const Method method : kMethods) {
        const auto executor = make_executor(method);
        for (const std::size_t n : kLengths) {
            CompressionConfig config;
            config.method = method;
            const std::vector<float> x = noisy_tones(n);
            const auto stream = compress(x, config);
            ASSERT_TRUE(stream.has_value());
            const auto decoded = decompress(*stream);
            ASSERT_TRUE(decoded.has_value()) << decoded.error().message();

            // Rebuild from the same quantised bands through multi_idwt.
            const auto w = normalise_signal(x, executor->filter_length());
            const auto h = CorvaneHeader::from_bytes(*stream);
            ASSERT_TRUE(h.has_value());
            const auto q = decompose_and_quantise(*executor, w->samples, h->levels, h->multiplier, 2);
            ASSERT_TRUE(q.has_value());
            const float inv = 1.0f / h->multiplier;
            std::vector<std::vector<float>> bands;
            std::size_t at = 0;
            for (const std::size_t len : q->lengths) {
                std::vector<float>& band = bands.emplace_back(len);
                for (std::size_t i = 0; i < len; ++i) band[i] = static_cast<float>(q->values[at + i]) * inv;
                at += len;
            }
            std::vector<std::span<const float>> details(bands.begin() + 1, bands.end());
            auto r = executor->multi_idwt(wavelet::MultiDwtInput{details, bands[0]});
            ASSERT_TRUE(r.has_value());
            const float range = h->max - h->min;
            for (float& v : *r) v = h->min + range * (v + h->mean);
            r->resize(n, 0.0f);
            EXPECT_EQ(bits_of(*decoded), bits_of(*r)) << static_cast<int>(method) << " n=" << n;
        }
    }
}

TEST(LevelDrivers, EveryCoderDecodesToTheSameSamples) {
    // The byte coders read the coefficient buffer as bytes; the coefficient
    // model reads it as bands. All three must restore identical samples.
    for (const Method method : kMethods) {
        for (const std::size_t n : {std::size_t{61}, std::size_t{1025}, std::size_t{4099}}) {
            const std::vector<float> x = noisy_tones(n);
            std::vector<std::vector<std::uint32_t>> restored;
            for (const Coder coder : {Coder::Deflate, Coder::Arans, Coder::Cmodel}) {
                CompressionConfig config;
                config.method = method;
                config.coder = coder;
                const auto stream = compress(x, config);
                ASSERT_TRUE(stream.has_value());
                const auto y = decompress(*stream);
                ASSERT_TRUE(y.has_value()) << y.error().message();
                ASSERT_EQ(y->size(), n);
                restored.push_back(bits_of(*y));
            }
            EXPECT_EQ(restored[0], restored[1]) << static_cast<int>(method) << " n=" << n;
            EXPECT_EQ(restored[0], restored[2]) << static_cast<int>(method) << " n=" << n;
        }
    }
}

}  // namespace
}  // namespace corvane
