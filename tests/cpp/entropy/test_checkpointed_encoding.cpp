// Encoding in checkpointed chunks must write exactly the bytes of a single
// recording. These tests force the chunked path onto small inputs and move the
// chunk boundaries across every position that matters: inside a band, at a
// band's first and last coefficient, next to empty bands and at the very end.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "src/entropy/arans.hpp"
#include "src/entropy/cmodel.hpp"
#include "tests/cpp/entropy/coder_reference.hpp"

namespace corvane {
namespace {

using Bytes = std::vector<uint8_t>;
using Bands = std::vector<std::vector<int16_t>>;

// Chunks of `chunk` decisions (or bytes' worth of them) whatever the input's
// size, however small the chunk is next to the tables a checkpoint copies.
RecordBudget chunked(size_t chunk) {
    return {.direct_limit = 0, .chunk_decisions = chunk, .table_multiple = 0, .per_coefficient = 0};
}

Bytes encode(const Bands& bands, const RecordBudget& budget = {}) {
    std::vector<std::span<const int16_t>> views(bands.begin(), bands.end());
    return encode_coeffs(views, budget);
}

size_t decisions_of(const Bands& bands) {
    size_t total = 0;
    for (const auto& band : bands) {
        const uint32_t width = ref::width_of(band);
        for (int16_t v : band) total += v != 0 ? 2 + width : 1;
    }
    return total;
}

// Band sets with every width, empty bands, long zero runs and the extremes.
Bands random_bands(std::mt19937& rng, size_t band_count, size_t max_len) {
    Bands bands(band_count);
    for (auto& band : bands) {
        const size_t len = rng() % 5 == 0 ? 0 : std::uniform_int_distribution<size_t>(1, max_len)(rng);
        const int width = std::uniform_int_distribution<int>(0, 16)(rng);
        const double density = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
        std::bernoulli_distribution nonzero(density * density);
        band.resize(len);
        for (size_t i = 0; i < len; ++i) {
            if (rng() % 7 == 0) i += rng() % 200;  // a run of zeros
            if (i >= len || !nonzero(rng)) continue;
            const int32_t limit = width == 16 ? 32768 : (1 << width);
            int32_t mag = std::uniform_int_distribution<int32_t>(1, std::max(1, limit))(rng);
            const bool negative = rng() & 1;
            if (mag == 32768 && !negative) mag = 32767;
            band[i] = static_cast<int16_t>(negative ? -mag : mag);
        }
    }
    return bands;
}

using ref::random_bytes;

TEST(CheckpointedCoefficients, EveryChunkBoundaryGivesTheBytesOfOneRecording) {
    // A chunk size of 1 cuts after every coefficient; sweeping it up to the
    // whole input puts a band's first cut at every coefficient once.
    const Bands bands{{3, 0, 0, -1, 2}, {}, {0, 0, 0}, {-7, 7, 1}, {}, {0}, {1, -1, 0, 0, 1}};
    const Bytes expected = ref::encode_coeffs(bands);
    ASSERT_EQ(encode(bands), expected);
    const size_t total = decisions_of(bands);
    for (size_t chunk = 1; chunk <= total + 1; ++chunk) EXPECT_EQ(encode(bands, chunked(chunk)), expected) << chunk;
}

TEST(CheckpointedCoefficients, RandomBandSetsMatchTheDirectAndLiteralCoders) {
    std::mt19937 rng(20261207);
    for (int trial = 0; trial < 60; ++trial) {
        const size_t band_count = trial % 10 == 0 ? 255 : 1 + rng() % 12;
        const Bands bands = random_bands(rng, band_count, trial % 10 == 0 ? 40 : 3000);
        const Bytes expected = ref::encode_coeffs(bands);
        ASSERT_EQ(encode(bands), expected) << trial;
        // Chunks as large as the input's size allows: one per band, or a few
        // for a band that holds most of the decisions.
        EXPECT_EQ(encode(bands, {.direct_limit = 0, .chunk_decisions = 1, .table_multiple = 0}), expected) << trial;
        // Every chunk copies its band's block: chunks of one or two
        // decisions only on the short bands.
        const bool short_bands = trial % 10 == 0;
        for (size_t chunk : {short_bands ? size_t{1} : size_t{17}, short_bands ? size_t{2} : size_t{18},
                             1 + rng() % 5000})
            EXPECT_EQ(encode(bands, chunked(chunk)), expected) << trial << " chunk " << chunk;

        const auto lengths = [&] {
            std::vector<size_t> out;
            for (const auto& b : bands) out.push_back(b.size());
            return out;
        }();
        const auto decoded = decode_coeffs(encode(bands, chunked(64)), lengths);
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(*decoded, bands);
    }
}

TEST(CheckpointedCoefficients, WideBandsAndEitherSideOfTheDirectLimitGiveTheSameBytes) {
    std::mt19937 rng(7);
    Bands bands{{}, std::vector<int16_t>(5000), std::vector<int16_t>(3000)};
    for (auto& v : bands[1]) v = static_cast<int16_t>(rng() % 3 == 0 ? int32_t(rng() % 65536) - 32768 : 0);
    for (auto& v : bands[2]) v = static_cast<int16_t>(rng() % 9);
    const Bytes expected = ref::encode_coeffs(bands);
    // Width 16: a chunk of at least one copy of the band's block.
    EXPECT_EQ(encode(bands, {.direct_limit = 0, .chunk_decisions = 1, .table_multiple = 1, .per_coefficient = 0}), expected);
    const size_t total = decisions_of(bands);
    EXPECT_EQ(encode(bands, {.direct_limit = total, .chunk_decisions = 1, .table_multiple = 0, .per_coefficient = 0}), expected);
    EXPECT_EQ(encode(bands, {.direct_limit = total - 1, .chunk_decisions = 1, .table_multiple = 0, .per_coefficient = 0}), expected);
}

TEST(CheckpointedCoefficients, RecordsInTheCallersScratchGiveTheSameBytes) {
    // Memory an earlier stage left full of its own values: too small for a
    // chunk (the coder takes its own), just enough for one, enough to make
    // every band a single chunk; on the direct path too, where it is let go.
    std::mt19937 rng(41);
    for (int trial = 0; trial < 12; ++trial) {
        const Bands bands = random_bands(rng, 1 + rng() % 9, 4000);
        const Bytes expected = ref::encode_coeffs(bands);
        const size_t total = decisions_of(bands);
        std::vector<std::span<const int16_t>> views(bands.begin(), bands.end());
        for (const size_t records : {size_t{1}, size_t{64}, 1 + rng() % (total + 1), total + 3}) {
            for (const size_t direct : {size_t{0}, total}) {
                Scratch scratch(2 * records + rng() % 2);
                auto* garbage = scratch.as<uint8_t>(scratch.bytes().size());
                for (size_t i = 0; i < scratch.bytes().size(); ++i) garbage[i] = static_cast<uint8_t>(rng());
                const RecordBudget budget{.direct_limit = direct, .chunk_decisions = 64, .table_multiple = 0,
                                          .per_coefficient = 0};
                EXPECT_EQ(encode_coeffs(views, budget, std::move(scratch)), expected)
                    << trial << " records " << records << " direct " << direct;
            }
        }
    }
}

TEST(CheckpointedCoefficients, NoCoefficientsCodeToTheInitialState) {
    const Bands cases[] = {{}, {{}, {}}};
    for (const Bands& bands : cases) EXPECT_EQ(encode(bands, chunked(1)), ref::encode_coeffs(bands));
}

TEST(CheckpointedBytes, PlanesMatchTheLiteralCoderForEveryContextWidth) {
    std::mt19937 rng(99);
    for (unsigned k = 0; k <= 8; ++k) {
        for (size_t n : {size_t{1}, size_t{2}, size_t{3}, size_t{700}, 4096 + rng() % 4096}) {
            const Bytes plane = random_bytes(rng, n);
            const Bytes expected = ref::encode_plane(plane, k);
            ASSERT_EQ(encode_plane(plane, k), expected);
            // Chunk sizes in decisions: an eighth of a unit (under a byte
            // rounds up to one), a unit, one and a half (rounds down), three,
            // the whole plane, more than it. Every chunk copies the whole
            // table: single bytes only on the shorter planes.
            const size_t unit = n <= 700 ? 8 : 8 * 97;
            for (size_t chunk : {unit / 8, unit, unit + unit / 2, 3 * unit, 8 * n, 8 * n + 8})
                EXPECT_EQ(encode_plane(plane, k, chunked(chunk)), expected) << k << " " << n << " " << chunk;
        }
    }
}

TEST(CheckpointedBytes, StreamsOfOddAndEvenLengthsMatchTheLiteralCoder) {
    std::mt19937 rng(4242);
    // Short inputs use k = 3, from 16384 bytes on k = 8.
    for (size_t n : {size_t{6}, size_t{7}, size_t{1001}, size_t{16383}, size_t{16384}, size_t{40001}}) {
        const Bytes input = random_bytes(rng, n);
        const Bytes expected = ref::encode_stream(input);
        ASSERT_EQ(encode_stream(input), expected) << n;
        const size_t small = n < 16384 ? 8 : 8 * 1000;
        for (size_t chunk : {small, small * 5, 8 * (1 + rng() % (n / 2))}) {
            const Bytes chunked_stream = encode_stream(input, chunked(chunk));
            EXPECT_EQ(chunked_stream, expected) << n << " " << chunk;
            const auto decoded = decode_stream(chunked_stream);
            ASSERT_TRUE(decoded.has_value());
            EXPECT_EQ(*decoded, input);
        }
        // The default multiple of the table: chunks of whole tables.
        EXPECT_EQ(encode_stream(input, {.direct_limit = 0, .chunk_decisions = 1, .table_multiple = 1, .per_coefficient = 0}), expected);
    }
}

}  // namespace
}  // namespace corvane
