// A second code for a long predictor's misses, for chunks that are nearly all
// misses (integers stored exactly): each miss is one symbol, coded with a
// table of frequencies the encoder counted over the whole chunk (one table
// per neighbourhood of the miss, see below), and the bits below its two
// leading ones, stored as they are. One coder step per miss, where the
// adaptive code takes one per binary decision (about twelve for misses of a
// few hundred), so both ends run several times faster, for about the same
// bytes once there are enough misses to pay for the tables.
//
// A miss v is the symbol 0 for 0; otherwise, for m = |v| of L binary digits,
// its bucket b = 1 for m = 1 and b = 2L - 2 + (the digit below the leading
// one) for L >= 2, and the symbol 2b - 1 for v > 0, 2b for v < 0. Misses are
// below 2^25 in magnitude (two residuals within +-(2^24 - 1) apart), so b is
// at most 49 and there are 99 symbols. The L - 2 digits below those two are
// the miss's extra bits, and its base is its magnitude with them taken as 0.
// The misses lie in two lanes, the even-numbered and the odd-numbered ones,
// each coded with its own coder state and words, so that neither end waits
// for one lane's coder while it works on the other's. A miss's neighbourhood
// is activity() of the bases of the two misses before it in its lane (0
// before the lane's first).
//
// Coded bytes, in order (docs/FORMAT.md):
//   - the tables, for each of the kActivities neighbourhoods: the first
//     symbol it has, the number of symbols from there (0: no miss in that
//     neighbourhood), then each one's frequency out of 1024 as an unsigned
//     LEB128 number (0 for a symbol the neighbourhood never has); the
//     frequencies of a neighbourhood sum to 1024;
//   - each lane's coder length in bytes (4, little-endian), then each lane's
//     coder: a rANS coder over 32-bit states kept in [2^16, 2^32) by 16-bit
//     words, its 4-byte initial state and its words, little-endian, in the
//     order the decoder reads them; the encoder starts from the state 2^16,
//     so a decoder ends there, with every word read;
//   - the extra bits, miss after miss, each miss's as a number of L - 2 bits
//     from its lowest, packed from the lowest bit of each byte up; the last
//     byte's unused bits are 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "corvane/expected.hpp"
#include "src/refine/residuals.hpp"

namespace corvane::refine {

// Misses tallied for the tabled code: each one's symbol and neighbourhood,
// the counts of each neighbourhood's symbols and the tables made from them,
// and the extra bits; what they take coded is known before they are coded.
class TabledMisses {
public:
    explicit TabledMisses(std::span<const std::int32_t> misses);
    // What bytes() takes, in bits, foretold from the tables (within a few bytes).
    double bits() const;
    // The misses coded as above.
    std::vector<std::uint8_t> bytes() const;

private:
    std::vector<std::uint16_t> coded_;  // neighbourhood << 7 | symbol, miss by miss
    std::vector<std::uint32_t> counts_;  // of each neighbourhood's symbols
    std::vector<std::uint16_t> freq_;    // each neighbourhood's table, out of 1024
    std::vector<std::uint8_t> extra_;    // the extra bits, packed
};

// The misses coded as above.
std::vector<std::uint8_t> encode_tabled(std::span<const std::int32_t> misses);

// Reads the misses back a stretch at a time. Tables that are not ones an
// encoder writes, a coder that runs out of words or bits, or a symbol in a
// neighbourhood whose table has none, are refused.
class TabledReader {
public:
    static constexpr std::size_t kLanes = 2;
    static constexpr std::size_t kAtOnce = 512;  // misses read between checks of the ends

    static expected<TabledReader, ResidualError> open(std::span<const std::uint8_t> coded);

    // The next misses.size() misses.
    expected<void, ResidualError> read(std::span<std::int32_t> misses);
    // After the last miss: every byte was used and the coder is back where
    // the encoder began.
    bool finished() const;

private:
    static constexpr std::uint32_t kScaleBits = 10;

    // Up to kAtOnce misses.
    expected<void, ResidualError> read_some(std::span<std::int32_t> misses);

    // For each neighbourhood and each slot of 1024: the symbol, its
    // frequency and the slot less the symbol's first slot, packed.
    std::vector<std::uint32_t> slots_;
    // A lane's coder state, the first slot of its next miss's table, its
    // last miss's bucket, and its words (with zeros after them, see
    // read_some()) and where the next one lies.
    struct Lane {
        std::uint32_t x = 0, first = 0, bucket = 0;
        std::vector<std::uint8_t> words;
        std::size_t word = 0;
    };
    Lane lanes_[kLanes];
    std::size_t next_ = 0;  // the next miss's index
    std::vector<std::uint8_t> extra_;  // the extra bits, and zeros to read past them
    std::size_t extra_bytes_ = 0, at_ = 0;
    std::uint64_t held_ = 0;
    unsigned held_bits_ = 0;
};

}  // namespace corvane::refine
