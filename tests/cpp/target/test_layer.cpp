// The codec layer's one-signal entry points: every sample type a chunk holds
// is coded at a target and decodes, in its own type, within that target.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <cstdint>
#include <random>
#include <vector>

#include "corvane/layer.hpp"
#include "src/format/header.hpp"
#include "src/refine/container.hpp"
#include "src/refine/correction.hpp"
#include "src/refine/residuals.hpp"
#include "src/target/corrections.hpp"

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

TEST(Layer, FloatPrdsAreTheSearchsOwnStreamsAndOutOfRangeInt32IsRefused) {
    std::vector<float> x(2000);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = std::sin(0.01f * static_cast<float>(i));
    const ErrorTarget target{ErrorMeasure::Prd, 0.5};
    auto direct = compress_to_target(x, CompressionConfig{}, target);
    auto layered = compress_at_target({x.data(), SampleType::Float32, x.size()}, CompressionConfig{}, target);
    ASSERT_TRUE(direct && layered);
    EXPECT_EQ(direct->stream, *layered);

    const std::vector<std::int32_t> wide{0, (1 << 24) + 1, 5};
    auto refused = compress_at_target({wide.data(), SampleType::Int32, wide.size()}, CompressionConfig{}, target);
    ASSERT_FALSE(refused);
    EXPECT_TRUE(std::holds_alternative<CorvaneError>(refused.error()));
}

std::uint32_t u32_at(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | std::uint32_t{b[at + 3]} << 24;
}

// Any bound above 0 is met on floats, a refined chunk says what it holds in
// its header, and a run of chunks splits where each header says it ends.
TEST(Refinement, EveryBoundIsMetAndChunksDescribeThemselves) {
    std::mt19937 rng(9);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    std::vector<float> x(5000);
    float walk = 300.0f;
    for (float& v : x) v = (walk += noise(rng));
    std::vector<std::uint8_t> run;
    std::vector<float> expected;
    for (const double bound : {1e-6, 1e-4, 1e-2, 0.3, 5.0}) {
        auto chunk = compress_at_target({x.data(), SampleType::Float32, x.size()}, CompressionConfig{},
                                        {ErrorMeasure::MaxAbs, bound});
        ASSERT_TRUE(chunk);
        auto y = decompress_chunk_signal(*chunk);
        ASSERT_TRUE(y);
        ASSERT_EQ(y->size(), x.size());
        for (std::size_t i = 0; i < x.size(); ++i) ASSERT_LE(std::abs(double{x[i]} - double{(*y)[i]}), bound) << i;
        const auto length = stream_length(*chunk);
        ASSERT_TRUE(length);
        ASSERT_EQ(*length, chunk->size());
        if (refine::is_container(*chunk)) {
            const std::uint8_t version = (*chunk)[4];
            ASSERT_TRUE(version == 1 || version == 2);  // 2: a long predictor's weights follow the header
            EXPECT_EQ(u32_at(*chunk, 8), x.size());
            const std::size_t base = u32_at(*chunk, 16);
            const std::size_t weights = version == 2 ? 2 * std::size_t{(*chunk)[6]} : 0;
            const std::span<const std::uint8_t> inner(chunk->data() + refine::kContainerHeaderSize + weights, base);
            const auto inner_length = stream_length(inner);
            ASSERT_TRUE(inner_length);
            EXPECT_EQ(*inner_length, base);  // the base is a whole stream
            EXPECT_FALSE(decompress(*chunk));       // which the stream decoder alone never returns
        }
        run.insert(run.end(), chunk->begin(), chunk->end());
        expected.insert(expected.end(), y->begin(), y->end());
    }
    auto lanes = decompress_chunk_lanes(run);
    ASSERT_TRUE(lanes);
    EXPECT_EQ(lanes->lanes, 5u);
    EXPECT_EQ(lanes->samples, expected);
}

// Every residual the encoder forms brings its sample within the bound by the
// decoder's own rule, or the sample is escaped (in order, its residual
// free): over integer and float samples, lengths that leave blocks and
// groups of four part-filled, and bases far off, infinite, NaN or at the
// edges of single precision's integers.
TEST(Refinement, CorrectionsKeepTheBoundOrEscape) {
    std::mt19937 rng(5);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (int trial = 0; trial < 600; ++trial) {
        const std::size_t n = 1 + rng() % 700;
        const double scale = std::pow(10.0, static_cast<int>(rng() % 14) - 6);
        const bool integers = rng() % 2 == 0;
        std::vector<float> x(n), y(n);
        for (std::size_t i = 0; i < n; ++i) {
            const double v = integers ? std::nearbyint(100.0 * scale * normal(rng)) : 100.0 * scale * normal(rng);
            x[i] = static_cast<float>(v);
            y[i] = static_cast<float>(v + scale * normal(rng) * (rng() % 3 != 0 ? 1.0 : 50.0));
            switch (rng() % 100) {
                case 0: y[i] = std::numeric_limits<float>::quiet_NaN(); break;
                case 1: y[i] = std::numeric_limits<float>::infinity(); break;
                case 2: y[i] = 3e38f; break;
                case 3: y[i] = 8388607.5f; break;
                case 4: x[i] = 1e30f; break;
                default: break;
            }
        }
        target::Held held;
        held.narrow = x;
        held.integers = held.reader_rounds = integers;
        target::Corrector c = target::corrector_for(held, scale * (0.1 + static_cast<double>(rng() % 5)));
        if (rng() % 10 == 0) c.step = 0.0f;
        const refine::Refinement r = target::corrections(held, c, y);
        ASSERT_EQ(r.residuals.size(), n);
        std::size_t escape = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const bool escaped = escape < r.escapes.size() && r.escapes[escape].index == i;
            if (escaped) {
                ++escape;
                EXPECT_EQ(r.residuals[i], refine::kFree);
                continue;
            }
            const float z = refine::corrected(c.kind, y[i], r.residuals[i], c.step);
            ASSERT_LE(std::abs(static_cast<double>(x[i]) - static_cast<double>(z)), c.bound)
                << "trial " << trial << ", sample " << i;
        }
        EXPECT_EQ(escape, r.escapes.size());
    }
}

// Corrections of many samples code their residuals with whichever of the
// two codes takes fewer bytes, as far as the choice can tell before coding:
// tabled where they spread over many values, adaptively where most are 0
// (in between, whichever the estimates favour, never much the larger);
// either decodes to the samples the corrections make, escapes included.
TEST(Refinement, ManyCorrectionsTakeTheSmallerCode) {
    constexpr std::size_t n = 20000;
    std::mt19937 rng(11);
    std::vector<float> y(n);
    for (std::size_t i = 0; i < n; ++i) y[i] = 50.0f * std::sin(0.01f * static_cast<float>(i));
    const auto base = compress(y, CompressionConfig{});
    ASSERT_TRUE(base);
    const auto plain = decompress(*base);
    ASSERT_TRUE(plain);
    auto field = [](const std::vector<std::uint8_t>& b, std::size_t at) {
        return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
               std::uint32_t{b[at + 3]} << 24;
    };
    for (const double spread : {0.3, 1.0, 3.0, 30.0, 3000.0}) {
    for (const refine::Kind kind : {refine::Kind::Float, refine::Kind::Integer}) {
        SCOPED_TRACE(spread);
        SCOPED_TRACE(static_cast<int>(kind));
        std::normal_distribution<double> draw(0.0, spread);
        refine::Refinement r;
        r.kind = kind;
        r.step = kind == refine::Kind::Float ? 0.25f : 5.0f;
        r.residuals.resize(n);
        double walk = 0.0;  // (half of each residual wanders, so the fit predicts)
        for (std::size_t i = 0; i < n; ++i) {
            walk = 0.9 * walk + draw(rng);
            r.residuals[i] = static_cast<std::int32_t>(std::lround(0.5 * walk + 0.5 * draw(rng)));
            if (i % 997 == 5) {
                r.residuals[i] = refine::kFree;
                r.escapes.push_back({static_cast<std::uint32_t>(i), static_cast<float>(i) + 0.5f});
            }
        }
        r.predictor = refine::fit_predictor(r.residuals);
        const auto chunk = refine::write_container(*base, r);
        const std::size_t adaptive = refine::encode_residuals(r.residuals, r.predictor).size();
        const std::size_t coded = field(chunk, 20);
        EXPECT_LE(static_cast<double>(coded), 1.01 * static_cast<double>(adaptive));
        if (spread >= 30.0) {
            EXPECT_EQ(chunk[4], 3);
            EXPECT_LT(static_cast<double>(coded), 0.99 * static_cast<double>(adaptive));
        }
        if (spread < 1.0) {
            EXPECT_EQ(chunk[4], 1);
        }
        // what it decodes to: the prediction where escaped (then the escape's value), else the rule
        auto back = refine::decode_container(chunk);
        ASSERT_TRUE(back);
        std::vector<std::int32_t> q(n);
        std::size_t escape = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (escape < r.escapes.size() && r.escapes[escape].index == i) {
                ASSERT_EQ((*back)[i], r.escapes[escape++].value) << i;
                continue;
            }
            const float want = refine::corrected(r.kind, (*plain)[i], r.residuals[i], r.step);
            ASSERT_EQ((*back)[i], want) << i;
        }
    }
    }
}

// Damaged refined chunks are refused with an error: cut anywhere, or with
// header fields that claim more than the bytes hold, or a long predictor no
// encoder writes.
TEST(Refinement, DamagedChunksAreRefused) {
    std::vector<float> x(3000);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = std::sin(0.05f * static_cast<float>(i)) * 100.0f;
    auto chunk = compress_at_target({x.data(), SampleType::Float32, x.size()}, CompressionConfig{},
                                    {ErrorMeasure::MaxAbs, 1e-4});
    ASSERT_TRUE(chunk && refine::is_container(*chunk));
    for (std::size_t cut = 0; cut < chunk->size(); cut += 7) {
        EXPECT_FALSE(decompress_chunk_signal(std::span(chunk->data(), cut))) << cut;
    }
    const std::size_t fields[] = {8, 16, 20, 24, 28};  // count, base, residual and escape lengths, escape count
    for (const std::size_t at : fields) {
        for (const std::uint32_t lie : {0u, 1u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
            auto bad = *chunk;
            for (int b = 0; b < 4; ++b) bad[at + b] = static_cast<std::uint8_t>(lie >> (8 * b));
            if (bad == *chunk) continue;
            EXPECT_FALSE(decompress_chunk_signal(bad)) << at << " " << lie;
        }
    }
    // Counts kept exactly, which a long predictor codes (version 2, its
    // order and shift at byte 6 and 7, its weights after the header).
    std::vector<std::int16_t> counts(4096);
    for (std::size_t i = 0; i < counts.size(); ++i)
        counts[i] = static_cast<std::int16_t>(std::lround(900.0 * std::sin(0.013 * static_cast<double>(i)) +
                                                          300.0 * std::sin(0.11 * static_cast<double>(i)) +
                                                          static_cast<double>((i * 7919) % 5)));
    auto exact = compress_at_target({counts.data(), SampleType::Int16, counts.size()}, CompressionConfig{},
                                    {ErrorMeasure::MaxAbs, 0.0});
    ASSERT_TRUE(exact && refine::is_container(*exact));
    ASSERT_EQ((*exact)[4], 2);
    auto back = decompress_chunk_signal(*exact);
    ASSERT_TRUE(back);
    for (std::size_t i = 0; i < counts.size(); ++i) ASSERT_EQ((*back)[i], static_cast<float>(counts[i])) << i;
    for (std::size_t cut = 0; cut < exact->size(); cut += 13) {
        EXPECT_FALSE(decompress_chunk_signal(std::span(exact->data(), cut))) << cut;
    }
    for (const auto& [at, value] : {std::pair{6, 0}, {6, 33}, {6, 255}, {7, 16}, {7, 255}, {4, 4}}) {
        auto bad = *exact;
        bad[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>(value);
        EXPECT_FALSE(decompress_chunk_signal(bad)) << at << " " << value;
    }
    // From 16384 counts on the misses are tabled (version 3): the tables
    // open the residuals, then each lane's coder length, then the coders.
    // A version 2 chunk read as version 3, and the other way, are refused too.
    counts.resize(20000);
    for (std::size_t i = 4096; i < counts.size(); ++i) counts[i] = counts[i - 4096];
    auto tabled = compress_at_target({counts.data(), SampleType::Int16, counts.size()}, CompressionConfig{},
                                     {ErrorMeasure::MaxAbs, 0.0});
    ASSERT_TRUE(tabled && refine::is_container(*tabled));
    ASSERT_EQ((*tabled)[4], 3);
    back = decompress_chunk_signal(*tabled);
    ASSERT_TRUE(back);
    for (std::size_t i = 0; i < counts.size(); ++i) ASSERT_EQ((*back)[i], static_cast<float>(counts[i])) << i;
    for (std::size_t cut = 0; cut < tabled->size(); cut += cut + 64 < tabled->size() ? 61 : 1) {
        EXPECT_FALSE(decompress_chunk_signal(std::span(tabled->data(), cut))) << cut;
    }
    auto word = [](const std::vector<std::uint8_t>& b, std::size_t at) {
        return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
               std::uint32_t{b[at + 3]} << 24;
    };
    const std::size_t tables = 32 + 2 * std::size_t{(*tabled)[6]} + word(*tabled, 16);
    std::size_t lanes = tables;  // past the tables: the lanes' coder lengths
    for (int t = 0; t < 12; ++t) {
        std::size_t count = (*tabled)[lanes + 1];
        lanes += 2;
        while (count-- > 0) lanes += ((*tabled)[lanes] & 0x80u) != 0 ? 2 : 1;
    }
    struct Lie {
        std::size_t at;
        std::uint32_t value;
        int bytes;
    };
    for (const Lie lie : {Lie{tables, 99, 1}, Lie{tables, 60, 1}, Lie{tables + 1, 0, 1}, Lie{tables + 1, 99, 1},
                          Lie{tables + 2, 0x7F, 1}, Lie{lanes, 2, 4}, Lie{lanes, 3, 4}, Lie{lanes, 0xFFFFFFF0u, 4},
                          Lie{lanes + 4, 0, 4}, Lie{lanes + 8, 0xFFFF, 4}, Lie{4, 2, 1}}) {
        auto bad = *tabled;
        for (int b = 0; b < lie.bytes; ++b) bad[lie.at + static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(lie.value >> (8 * b));
        if (bad == *tabled) continue;
        EXPECT_FALSE(decompress_chunk_signal(bad)) << lie.at << " " << lie.value;
    }
    auto read_as_tabled = *exact;
    read_as_tabled[4] = 3;
    EXPECT_FALSE(decompress_chunk_signal(read_as_tabled));
}

}  // namespace
}  // namespace corvane
