// The codec layer's one-signal entry points: every sample type a chunk holds
// is coded at a target and decodes, in its own type, within that target.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "corvane/layer.hpp"

namespace corvane {
namespace {

template <class T>
std::vector<T> counts(std::size_t n, double centre, double swing, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, swing / 50.0);
    std::vector<T> x(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double v = centre + swing * std::sin(0.021 * static_cast<double>(i)) + noise(rng);
        x[i] = static_cast<T>(std::lround(v));
    }
    return x;
}

template <class T>
void check_type(SampleType type, std::vector<T> x) {
    for (const ErrorTarget target : {ErrorTarget{ErrorMeasure::MaxAbs, 0.7}, ErrorTarget{ErrorMeasure::MaxAbs, 2.5},
                                     ErrorTarget{ErrorMeasure::Prd, 3.0}}) {
        SCOPED_TRACE(static_cast<int>(type) * 10 + static_cast<int>(target.measure));
        auto stream = compress_at_target({x.data(), type, x.size()}, CompressionConfig{}, target);
        if (!stream) {
            // only a bound below what rounding can reach may be refused, and
            // the figure named is a whole number the layer then keeps
            ASSERT_TRUE(std::holds_alternative<UnreachableTarget>(stream.error()));
            const double best = std::get<UnreachableTarget>(stream.error()).best;
            ASSERT_EQ(best, std::floor(best));
            ASSERT_TRUE(compress_at_target({x.data(), type, x.size()}, CompressionConfig{}, {target.measure, best}));
            continue;
        }
        std::vector<T> y(x.size());
        ASSERT_TRUE(decompress_chunk_signal(*stream, type, y.data(), y.size()));
        std::vector<float> xf(x.begin(), x.end()), yf(y.begin(), y.end());
        const double error = measure_error(target.measure, std::span<const float>(xf), yf);
        EXPECT_LE(error, target.measure == ErrorMeasure::MaxAbs ? std::floor(target.bound) : target.bound);
        const auto length = stream_length(*stream);
        ASSERT_TRUE(length);
        ASSERT_EQ(*length, stream->size());
    }
}

TEST(Layer, EveryIntegerTypeKeepsItsTargetAfterRounding) {
    check_type<std::int8_t>(SampleType::Int8, counts<std::int8_t>(700, 0.0, 100.0, 1));
    check_type<std::uint8_t>(SampleType::Uint8, counts<std::uint8_t>(700, 128.0, 100.0, 2));
    check_type<std::int16_t>(SampleType::Int16, counts<std::int16_t>(3000, -200.0, 2000.0, 3));
    check_type<std::uint16_t>(SampleType::Uint16, counts<std::uint16_t>(3000, 30000.0, 20000.0, 4));
    check_type<std::int32_t>(SampleType::Int32, counts<std::int32_t>(3000, 0.0, 1e6, 5));
}

TEST(Layer, FloatsAreTheSearchsOwnStreamsAndOutOfRangeInt32IsRefused) {
    std::vector<float> x(2000);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = std::sin(0.01f * static_cast<float>(i));
    const ErrorTarget target{ErrorMeasure::MaxAbs, 1e-3};
    auto direct = compress_to_target(x, CompressionConfig{}, target);
    auto layered = compress_at_target({x.data(), SampleType::Float32, x.size()}, CompressionConfig{}, target);
    ASSERT_TRUE(direct && layered);
    EXPECT_EQ(direct->stream, *layered);

    const std::vector<std::int32_t> wide{0, (1 << 24) + 1, 5};
    auto refused = compress_at_target({wide.data(), SampleType::Int32, wide.size()}, CompressionConfig{}, target);
    ASSERT_FALSE(refused);
    EXPECT_TRUE(std::holds_alternative<CorvaneError>(refused.error()));
}

}  // namespace
}  // namespace corvane
