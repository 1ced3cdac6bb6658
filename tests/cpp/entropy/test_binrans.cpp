// The adaptive binary coder both entropy coders stand on: the adaptation's
// range, the exact reciprocal division, and every decision against the
// literal coder.
#include "src/entropy/binrans.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "tests/cpp/entropy/coder_reference.hpp"

namespace corvane {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(Adaptation, StaysInsideTheValidRangeWithoutClamping) {
    for (uint32_t p = 1; p <= 4095; ++p) {
        for (unsigned bit = 0; bit < 2; ++bit) {
            EXPECT_EQ(rans::adapt(p, bit), ref::adapt(static_cast<uint16_t>(p), bit)) << p;
            if (p >= 15 && p <= 4081) {
                EXPECT_GE(rans::adapt(p, bit), 15);
                EXPECT_LE(rans::adapt(p, bit), 4081);
            }
        }
    }
}

// The encoder's division by freq is a multiplication by a 44-bit reciprocal,
// valid for x below freq * 2^20. For a fixed quotient the multiplication's
// error grows with x, so the largest x of each quotient, q * freq + freq - 1,
// is the one that could fail; those are checked for a wide spread of q,
// together with the exact multiples and pseudo-random x.
TEST(ReciprocalDivision, IsExactForEveryFrequencyOverTheWholeStateRange) {
    std::mt19937_64 rng(7);
    for (uint32_t freq = 1; freq <= 4095; ++freq) {
        const uint64_t m = rans::kReciprocals.m[freq];
        const uint64_t e = m * freq - (uint64_t{1} << 44);
        const uint64_t x_max = (uint64_t{freq} << 20) - 1;
        ASSERT_LT(e, freq);
        ASSERT_LT(x_max * e, uint64_t{1} << 44) << freq;  // the exactness condition
        ASSERT_GE(~uint64_t{0} / m, x_max) << freq;          // no overflow of x * m
        auto check = [&](uint64_t x) {
            ASSERT_EQ(rans::divide(static_cast<uint32_t>(x), freq), x / freq) << x << " / " << freq;
        };
        const uint64_t quotients = uint64_t{1} << 20;
        for (uint64_t q = 0; q < quotients; q += (q < 64 || q > quotients - 64) ? 1 : 251) {
            check(q * freq);
            check(q * freq + freq - 1);
        }
        for (int i = 0; i < 64; ++i) check(rng() % (x_max + 1));
    }
}

TEST(BinaryCoder, AnEncoderWithNoDecisionsGivesTheInitialState) {
    BinEnc enc(1);
    EXPECT_EQ(enc.finish(), (Bytes{0x00, 0x00, 0x01, 0x00}));
}

TEST(BinaryCoder, MatchesTheLiteralCoderOnRandomContextsAndDecisions) {
    std::mt19937 rng(11);
    for (int round = 0; round < 40; ++round) {
        const size_t contexts = 1 + rng() % 300;
        const size_t count = rng() % 20000;
        const double bias = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
        std::vector<std::pair<uint32_t, unsigned>> decisions;
        BinEnc enc(contexts);
        if (round % 2) enc.reserve(count);  // and without: growing on the way
        ref::Enc slow(contexts);
        for (size_t i = 0; i < count; ++i) {
            const uint32_t ctx = static_cast<uint32_t>(rng() % contexts);
            const unsigned bit = std::bernoulli_distribution(bias)(rng);
            decisions.emplace_back(ctx, bit);
            enc.encode_bit(ctx, bit);
            slow.encode_bit(ctx, bit);
        }
        const Bytes coded = enc.finish();
        ASSERT_EQ(coded, slow.finish());

        BinDec dec(contexts, coded);
        for (const auto& [ctx, bit] : decisions) ASSERT_EQ(dec.decode_bit(ctx), bit);
    }
}

// The decoder picks the adapted probability (and, in the magnitude tree, the
// next node's) from the same comparison that makes the decision; the boundary
// slot == p is a 1. Checked for every probability on both sides of it and at
// the ends of the slot range, in both the checked and the unchecked decision.
TEST(BinaryCoder, EachDecisionAndItsAdaptationAgreeWithTheLiteralRule) {
    const uint8_t words[2] = {0x34, 0x12};
    for (uint32_t p = 1; p <= 4095; ++p) {
        for (const uint32_t slot : {0u, p - 1, p, 4095u}) {
            const unsigned expected = slot >= p;
            const uint32_t q = 21;  // x = 4096q + slot: a decision 1 with p = 4095 needs a word
            const uint32_t x = (q << 12) | slot;
            const uint32_t next = expected ? (4096 - p) * q + slot - p : p * q + slot;
            const uint32_t renormalised = next < rans::kStateLow ? (next << 16) | 0x1234 : next;

            rans::Reader fast{x, words, words + 2, false};
            uint16_t fast_prob = static_cast<uint16_t>(p);
            EXPECT_EQ(fast.pick(p, 7, 9), expected ? 9u : 7u) << p << " " << slot;
            ASSERT_EQ(fast.decide<true>(fast_prob), expected) << p << " " << slot;
            EXPECT_EQ(fast_prob, ref::adapt(static_cast<uint16_t>(p), expected)) << p << " " << slot;
            EXPECT_EQ(fast.x, renormalised) << p << " " << slot;

            rans::Reader checked{x, words, words + 2, false};
            uint16_t checked_prob = static_cast<uint16_t>(p);
            ASSERT_EQ(checked.decide<false>(checked_prob), expected);
            EXPECT_EQ(checked_prob, fast_prob);
            EXPECT_EQ(checked.x, renormalised);
            EXPECT_FALSE(checked.truncated);
        }
    }
}

TEST(BinaryCoder, ReportsAWordBeyondTheEnd) {
    // State 0: the first decision leaves x = 0 and needs words that are not there.
    const Bytes coded{0, 0, 0, 0};
    BinDec dec(1, coded);
    EXPECT_EQ(dec.decode_bit(0), std::nullopt);
    // Fewer than the four state bytes: nothing is read, every decision fails.
    BinDec short_dec(1, std::span<const uint8_t>(coded.data(), 2));
    EXPECT_EQ(short_dec.decode_bit(0), std::nullopt);
}

}  // namespace
}  // namespace corvane
