// The HDF5 filter's stored settings and the chunks it codes: settings read
// back as written, stored values from a hostile file never give a chunk
// layout that does not fit, and a damaged chunk never decodes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "corvane/chunk.hpp"
#include "hdf5/settings.hpp"

namespace corvane::hdf5 {
namespace {

TEST(Hdf5Settings, ReadBackAsWrittenWithTheChunkFilledIn) {
    UserSettings given;
    given.config = {Method::Sym4, 9, Cutoff::High, Coder::Arans, std::nullopt};
    given.target = ErrorTarget{ErrorMeasure::Prd, 0.1};  // not a float32: the bits keep it exactly
    given.axis = -2;
    const hsize_t chunk[] = {16, 4096, 3};
    auto values = local_values(given, SampleType::Uint16, chunk);
    ASSERT_TRUE(values);
    EXPECT_EQ(values->size(), kUserValues + 2 + 3);

    auto read = read_local(*values);
    ASSERT_TRUE(read) << read.error();
    EXPECT_EQ(read->coding.config, given.config);
    ASSERT_TRUE(read->coding.target);
    EXPECT_EQ(read->coding.target->measure, ErrorMeasure::Prd);
    EXPECT_EQ(read->coding.target->bound, 0.1);
    EXPECT_EQ(read->coding.axis, std::optional<std::size_t>(1));
    EXPECT_EQ(read->type, SampleType::Uint16);
    EXPECT_EQ(read->shape, (std::vector<std::size_t>{16, 4096, 3}));

    // The user's part alone; nothing at all means the defaults.
    auto user = read_user(user_values(given));
    ASSERT_TRUE(user);
    EXPECT_EQ(user->axis, std::optional<std::int32_t>(-2));
    auto defaults = read_user({});
    ASSERT_TRUE(defaults);
    EXPECT_EQ(defaults->config, CompressionConfig{});
    EXPECT_FALSE(defaults->target || defaults->axis);

    // An axis the chunk lacks is refused when the dataset is made.
    given.axis = 3;
    EXPECT_FALSE(local_values(given, SampleType::Float32, chunk));
}

TEST(Hdf5Settings, HostileStoredValuesAreRefusedOrGiveALayoutThatFits) {
    UserSettings given;
    given.axis = 0;
    const hsize_t chunk[] = {64, 2};
    const auto valid = *local_values(given, SampleType::Int32, chunk);
    const unsigned edges[] = {0u, 1u, 2u, 3u, 7u, 12u, 13u, 33u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu};
    auto check = [](std::span<const unsigned> values) {
        auto read = read_local(values);
        if (!read) return;
        std::size_t samples = 1;
        for (const std::size_t extent : read->shape) {
            ASSERT_GT(extent, 0u);
            ASSERT_FALSE(__builtin_mul_overflow(samples, extent, &samples));
        }
        ASSERT_EQ(read->bytes, samples * sample_size(read->type));
        ASSERT_LE(read->bytes, 0xFFFFFFFFu);
        ASSERT_LE(read->shape.size(), static_cast<std::size_t>(H5S_MAX_RANK));
        ASSERT_LT(static_cast<unsigned>(read->type), kSampleTypes);
        if (read->coding.axis) {
            ASSERT_LT(*read->coding.axis, read->shape.size());
        }
        ASSERT_GE(read->coding.config.scale, kMinScale);
        ASSERT_LE(read->coding.config.scale, kMaxScale);
        if (read->coding.target) {
            ASSERT_TRUE(std::isfinite(read->coding.target->bound));
        }
    };
    for (std::size_t at = 0; at < valid.size(); ++at) {
        for (const unsigned edge : edges) {
            auto values = valid;
            values[at] = edge;
            check(values);
        }
    }
    for (std::size_t n = 0; n < valid.size(); ++n) {
        EXPECT_FALSE(read_local(std::span(valid).first(n))) << n << " values";
    }
}

TEST(Hdf5Chunks, LanesDecodeInPlaceAndADamagedChunkNeverDecodes) {
    // A (time, channels) int16 chunk, lanes along time.
    const std::vector<std::size_t> shape = {3000, 3};
    std::vector<std::int16_t> samples(3000 * 3);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::int16_t>(std::lround(900.0 * std::sin(0.01 * double(i / 3) + double(i % 3))));
    }
    ChunkCoding coding;
    coding.axis = 0;
    coding.target = ErrorTarget{ErrorMeasure::MaxAbs, 2.0};
    const auto bytes = std::as_bytes(std::span(samples));
    auto stream = encode_chunk(bytes, SampleType::Int16, shape, coding, 2);
    ASSERT_TRUE(stream) << describe(stream.error(), coding);

    std::vector<std::int16_t> out(samples.size());
    const auto into = [](auto& v) { return std::as_writable_bytes(std::span(v)); };
    ASSERT_TRUE(decode_chunk(*stream, SampleType::Int16, shape, coding.axis, into(out), 2));
    for (std::size_t i = 0; i < samples.size(); ++i) ASSERT_LE(std::abs(out[i] - samples[i]), 2) << i;

    // Float lanes decode on several threads or lane by lane, to the same samples.
    const std::vector<float> floats(samples.begin(), samples.end());
    auto plain = encode_chunk(std::as_bytes(std::span(floats)), SampleType::Float32, shape, {{}, {}, 0}, 2);
    ASSERT_TRUE(plain);
    std::vector<float> threaded(floats.size());
    std::vector<float> one_by_one(floats.size());
    ASSERT_TRUE(decode_chunk(*plain, SampleType::Float32, shape, 0, into(threaded), 0));
    ASSERT_TRUE(decode_chunk(*plain, SampleType::Float32, shape, 0, into(one_by_one), 1));
    EXPECT_EQ(std::memcmp(threaded.data(), one_by_one.data(), 4 * floats.size()), 0);

    // Cut short anywhere, or read with another shape or axis: refused, either way.
    std::vector<float> wrong(floats.size());
    const std::vector<std::size_t> other = {1000, 9};
    for (const unsigned threads : {0u, 1u}) {
        for (std::size_t cut = 0; cut < plain->size(); cut += 1 + cut / 7) {
            EXPECT_FALSE(decode_chunk(std::span(*plain).first(cut), SampleType::Float32, shape, 0, into(wrong), threads))
                << cut;
        }
        EXPECT_FALSE(decode_chunk(*plain, SampleType::Float32, other, 0, into(wrong), threads));
        EXPECT_FALSE(decode_chunk(*plain, SampleType::Float32, shape, 1, into(wrong), threads));
        EXPECT_FALSE(decode_chunk(*stream, SampleType::Int16, other, 0, into(out), threads));
    }

    // An int32 sample beyond 2^24 is named, never rounded.
    std::vector<std::int32_t> wide = {0, 1 << 24, -(1 << 25), 5};
    const std::vector<std::size_t> flat = {4};
    auto refused = encode_chunk(std::as_bytes(std::span(wide)), SampleType::Int32, flat, {}, 1);
    ASSERT_FALSE(refused);
    EXPECT_NE(describe(refused.error(), {}).find("int32 sample -33554432 lies beyond"), std::string::npos);
}

}  // namespace
}  // namespace corvane::hdf5
