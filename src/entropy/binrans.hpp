// Adaptive binary rANS coder, shared by the coefficient model (cmodel) and
// the byte-plane coder (arans).
//
//   - probabilities are 12-bit (scale 4096), p = probability of a 0, each
//     context starts at 2048 and moves 1/16 of the way towards the observed
//     decision after every use;
//   - the state x is 32-bit, kept in [2^16, 2^32) by 16-bit renormalisation;
//   - the encoder records every decision first and codes them in reverse, so
//     the decoder reads the stream front to back: a 4-byte little-endian
//     initial state, then 16-bit little-endian words in the order needed;
//   - records cost two bytes per decision, so a large input is not recorded
//     whole: the encoder runs its model forward once, keeping a checkpoint of
//     the model's state every chunk of decisions, then replays the chunks from
//     the last to the first, recording one chunk at a time into a buffer it
//     reuses and carrying the coder's state from chunk to chunk
//     (code_chunks_in_reverse). The decisions, their probabilities and their
//     order are those of a single recording, so are the bytes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "src/check.hpp"
#include "src/scratch.hpp"

namespace corvane {

namespace rans {

inline constexpr uint32_t kProbBits = 12;
inline constexpr uint32_t kProbScale = 1u << kProbBits;  // 4096
inline constexpr uint16_t kProbInit = 2048;
inline constexpr uint32_t kStateLow = 1u << 16;  // normalised states lie in [2^16, 2^32)

// Moves p (the probability of a 0) 1/16 of the way towards the decision:
// p + (4096 - p) / 16 after a 0 and p - p / 16 after a 1, rounded down. The
// stored value is defined as that result clamped to 1..4095, but for every p
// in 1..4095 it already lies in 1..4095 (p + (4096 - p) / 16 is at most 4095,
// p - p / 16 at least 1), so the clamp never applies; from the initial 2048
// the values stay in 15..4081.
// Both cases are one shift: p - floor(p / 16) = p + floor((15 - p) / 16), and
// >> on a negative int rounds down, so p' = p + ((T - p) >> 4) with T = 4096
// after a 0 and T = 15 after a 1. No branch for the compiler to mispredict.
constexpr uint16_t adapt(uint32_t p, unsigned bit) {
    const int32_t target = static_cast<int32_t>(kProbScale - 4081 * bit);
    return static_cast<uint16_t>(static_cast<int32_t>(p) + ((target - static_cast<int32_t>(p)) >> 4));
}

// adapt() of every 12-bit probability after either decision (16 KiB). The
// recording loops are short of instruction slots, not of cache: one load
// there costs less than the arithmetic.
struct Adapted {
    uint16_t next[2][kProbScale];
    constexpr Adapted() : next{} {
        for (uint32_t p = 0; p < kProbScale; ++p) {
            next[0][p] = adapt(p, 0);
            next[1][p] = adapt(p, 1);
        }
    }
};
inline constexpr Adapted kAdapted{};

// Records one decision for the encoder: the probability used and the
// decision, in 16 bits (p in the low 12, the decision in bit 15).
inline void record(uint16_t& prob, uint16_t*& out, unsigned bit) {
    const uint32_t p = prob;
    prob = kAdapted.next[bit & 1][p & (kProbScale - 1)];
    *out++ = static_cast<uint16_t>(p | bit << 15);
}

// One decision of a model's pass: recorded for the reverse pass when Record
// is set, only adapted otherwise (the pass that keeps the checkpoints).
template <bool Record>
inline void decide(uint16_t& prob, uint16_t*& out, unsigned bit) {
    if constexpr (Record)
        record(prob, out, bit);
    else
        prob = adapt(prob, bit);
}

// Exact division x / freq by multiplication, for 1 <= freq <= 4095 and
// x < freq * 2^20 (the encoder's state after renormalisation).
//
// With m = ceil(2^44 / freq) and e = m * freq - 2^44 (0 <= e < freq):
//   x * m / 2^44 = x / freq + x * e / (freq * 2^44).
// Writing x = q * freq + r (0 <= r < freq), floor(x * m / 2^44) equals q as
// long as r / freq + x * e / (freq * 2^44) < 1, which holds when x * e < 2^44
// (r <= freq - 1); it is never below q since m >= 2^44 / freq. Here
// x * e < freq * 2^20 * freq <= 4095^2 * 2^20 < 2^44.
// The product itself stays below 2^64:
//   x * m <= (freq * 2^20 - 1) * (2^44 + e) / freq
//         =  2^64 + e * 2^20 - (2^44 + e) / freq,
// which is below 2^64 because e * freq * 2^20 < 4095^2 * 2^20 < 2^44.
// A 32-bit reciprocal would not do: the state can exceed 2^31.
struct Reciprocals {
    uint64_t m[kProbScale];
    constexpr Reciprocals() : m{} {
        for (uint32_t f = 1; f < kProbScale; ++f) m[f] = ((uint64_t{1} << 44) + f - 1) / f;
    }
};
inline constexpr Reciprocals kReciprocals{};

inline uint32_t divide(uint32_t x, uint32_t freq) {
    return static_cast<uint32_t>((uint64_t{x} * kReciprocals.m[freq]) >> 44);
}

// Codes one record (see record()) into the state x of the reverse pass,
// handing `emit` the renormalisation word when one is due. A record emits at
// most one word: x >= freq * 2^20 >= 2^20 calls for a shift, and then
// x >> 16 < 2^16 is below every threshold.
template <class Emit>
inline void encode_record(uint32_t& x, uint32_t rec, Emit&& emit) {
    const uint32_t p = rec & (kProbScale - 1);
    const uint32_t mask = 0u - (rec >> 15);  // all ones for a decision 1
    const uint32_t start = p & mask;
    const uint32_t rest = (kProbScale - p) ^ (((kProbScale - p) ^ p) & mask);
    const uint32_t freq = kProbScale - rest;  // p for a 0, 4096 - p for a 1
    // A word is due once per 16 bits of information: a branch that is
    // rarely taken costs less than a select on the state's critical path.
    if (x >= freq << 20) {
        emit(static_cast<uint16_t>(x));
        x >>= 16;
    }
    // (x div freq) * 4096 + (x mod freq) + start == x + q * (4096 - freq) + start
    CORVANE_ASSERT(x < freq << 20);  // the reciprocal's range, see divide()
    x += start + divide(x, freq) * rest;
}

inline uint32_t load_le16(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8;
}
inline uint32_t load_le32(const uint8_t* p) {
    return load_le16(p) | load_le16(p + 2) << 16;
}

// Read side of a coded stream: the state, the next unread word and the end.
// Kept as a small value so hot loops hold it in registers.
struct Reader {
    uint32_t x;
    const uint8_t* cur;
    const uint8_t* end;
    bool truncated;

    // Number of consecutive units of up to `decisions` decisions each that can
    // run unchecked: once x >= 2^16 a decision leaves x >= 16 (freq * (x >> 12)
    // with freq >= 1), so one word brings it back to at least 2^20 and every
    // decision needs at most one word.
    size_t fast_units(size_t decisions) const {
        return x >= kStateLow ? static_cast<size_t>(end - cur) / (2 * decisions) : 0;
    }

    // One decision with the probability `prob`, which it then adapts.
    // Fast: the caller has made sure through fast_units that x >= 2^16 and
    // that the words are there, so the renormalisation is one unchecked read
    // at most. Checked: any state; a renormalisation past the end sets
    // `truncated`, decoding goes on without reading, and the caller reports
    // the error once its unit is done.
    template <bool Fast>
    unsigned decide(uint16_t& prob) {
        const uint32_t p = prob;
        const unsigned bit = decide_with<Fast>(p);
        prob = adapt(p, bit);
        return bit;
    }

    // `if_one` when the next decision with probability p is a 1 (the low 12
    // bits of x at or above p), `if_zero` otherwise; to be asked before that
    // decision moves x on. One conditional move
    // straight off the comparison. Compilers turn a plain ?: on the decision
    // into a branch, which noisy data mispredicts.
    uint32_t pick(uint32_t p, uint32_t if_zero, uint32_t if_one) const {
        const uint32_t slot = x & (kProbScale - 1);
#if defined(__GNUC__) && defined(__x86_64__)
        __asm__("cmpl %[p], %[slot]\n\tcmovael %[one], %[out]"
                : [out] "+r"(if_zero)
                : [p] "r"(p), [slot] "r"(slot), [one] "r"(if_one)
                : "cc");
        return if_zero;
#else
        return slot >= p ? if_one : if_zero;
#endif
    }

    // The same decision with the probability passed by value; adapting it is
    // left to the caller. Hot loops that know the next probability before the
    // current decision resolves (both children of a tree node, say) keep the
    // table load off the chain of decisions this way.
    template <bool Fast>
    unsigned decide_with(uint32_t p) {
        const uint32_t slot = x & (kProbScale - 1);
        const uint32_t pq = p * (x >> kProbBits);
        const uint32_t bit = slot >= p;
        const uint32_t x0 = pq + slot;     // decision 0: p * q + slot
        const uint32_t x1 = (x - p) - pq;  // decision 1: (4096 - p) * q + slot - p
        // The decisions of noisy data are unpredictable: ask for a select.
        x = __builtin_expect_with_probability(bit, 1, 0.5) ? x1 : x0;
        // A word is due once per 16 bits of information, rarely enough for a
        // branch to beat a select.
        if constexpr (Fast) {
            if (x < kStateLow) {
                CORVANE_ASSERT(x >= 16 && end - cur >= 2);  // what fast_units promised
                x = (x << 16) | load_le16(cur);
                cur += 2;
            }
        } else {
            while (x < kStateLow) {
                if (end - cur < 2) {
                    truncated = true;
                    break;
                }
                x = (x << 16) | load_le16(cur);
                cur += 2;
            }
        }
        return bit;
    }
};

// Upper bound on the decisions that a coded stream of `bytes` bytes can yield
// before its decoder runs out of words, used to cap what a decoder reserves
// before the payload has shown what it holds.
//
// Reachable probabilities are 15..4081, so a decision replaces x = 4096q + s
// by x' = x - (4096 - freq) * q - start <= x - 15q. From x >= 2^16 that gives
// x' < x * (1 - 15/4096) + 15 <= x * 65311/65536: log2 x drops by at least
// d = log2(65536/65311) > 1/202. A decision taken below 2^16 leaves x no
// larger and is followed by at least one word read. A word read adds less
// than 17 to log2 max(x, 1). Starting below 2^32 with W words, at most
// W + 202 * (32 + 17 W) decisions can complete.
inline uint64_t max_decisions(size_t bytes) {
    const uint64_t words = bytes >= 4 ? (bytes - 4) / 2 : 0;
    if (words > (uint64_t{1} << 48)) return UINT64_MAX;  // beyond any real stream
    return words + 202 * (32 + 17 * words);
}

}  // namespace rans

// Adaptive binary encoder. Decisions are recorded (two bytes each: the
// probability used and the decision) and coded in reverse by finish().
class BinEnc {
public:
    explicit BinEnc(size_t contexts);

    // Room for `decisions` recorded decisions in total; recording past it
    // grows the buffer.
    void reserve(size_t decisions);

    void encode_bit(uint32_t ctx, unsigned bit) {
        if (count_ == capacity_) [[unlikely]]
            grow();
        uint16_t* out = records_.get() + kHeadroom + count_++;
        rans::record(probs_[ctx], out, bit);
    }

    // Bulk recording for hot loops: room for `decisions` more records, and a
    // cursor to hand to rans::record that many times at most before commit().
    uint16_t* cursor(size_t decisions) {
        // At least one slot, so the buffer exists even for an empty band and
        // the cursor is never an offset from a null pointer.
        reserve(std::max<size_t>(count_ + decisions, 1));
        return records_.get() + kHeadroom + count_;
    }
    // The same for a recording that goes on for an unknown length: the
    // buffer grows by doubling, so each call costs little.
    uint16_t* room_for(size_t decisions) {
        if (count_ + decisions > capacity_) reserve(std::max(count_ + decisions, 2 * capacity_));
        return records_.get() + kHeadroom + count_;
    }
    void commit(const uint16_t* cursor) {
        count_ = static_cast<size_t>(cursor - (records_.get() + kHeadroom));
    }
    uint16_t* probs() { return probs_.data(); }

    // Codes every recorded decision; the result is `prefix`, then the initial
    // decoder state (4 bytes, little-endian) and the renormalisation words.
    std::vector<uint8_t> finish(std::span<const uint8_t> prefix = {});

private:
    // Two slots in front of the records receive the final state: the reverse
    // pass writes words downwards over records it has already consumed.
    static constexpr size_t kHeadroom = 2;

    void grow();

    std::vector<uint16_t> probs_;
    std::unique_ptr<uint16_t[]> records_;
    size_t count_ = 0;
    size_t capacity_ = 0;
};

// Reverse pass over records that arrive in chunks, the last chunk first. The
// state carries from chunk to chunk; the words come out last word first and
// are turned around once, by finish().
class ChunkCoder {
public:
    // Room for `words` words before the word buffer first grows (memory that
    // is only reserved costs nothing until it is written).
    explicit ChunkCoder(size_t words = 0) { words_.reserve(words); }
    // Codes one chunk of records, from its last record to its first.
    void code(std::span<const uint16_t> records);
    // `prefix`, then the initial decoder state (4 bytes, little-endian) and
    // the words.
    std::vector<uint8_t> finish(std::span<const uint8_t> prefix = {}) const;

private:
    uint32_t x_ = rans::kStateLow;
    std::vector<uint16_t> words_;  // in the order the reverse pass emits them
};

// When the encoders stop recording everything before coding. Up to
// `direct_limit` decisions are recorded in one go (two bytes each); past it
// the encoder works in checkpointed chunks of about `chunk_decisions`
// decisions, and of at least `table_multiple` times the context entries a
// checkpoint copies, so that checkpoints stay a small share of what a whole
// recording would take. The coefficient model also lets a chunk grow to
// `per_coefficient` decisions for every coefficient of its input (a record
// buffer of 1.5 times the input's float32 size at the default): it plans each
// band's chunks from the band's end, and its model runs ahead only over what
// precedes a band's last chunk, so large chunks keep that extra pass short.
// Either way the bytes are the same; only tests set anything but the
// defaults.
struct RecordBudget {
    size_t direct_limit = size_t{1} << 24;    // 32 MiB of records
    size_t chunk_decisions = size_t{1} << 20;  // 2 MiB of records per chunk
    size_t table_multiple = 32;
    size_t per_coefficient = 3;
};

// Adaptive binary decoder over a coded byte view that starts with the 4-byte
// initial state (callers check for it and report their own error otherwise).
class BinDec {
public:
    BinDec(size_t contexts, std::span<const uint8_t> coded);

    // The next decision in context `ctx`, or nothing when a renormalisation
    // needs a word beyond the end of the coded bytes.
    std::optional<unsigned> decode_bit(uint32_t ctx) {
        const unsigned bit = reader_.decide<false>(probs_[ctx]);
        if (reader_.truncated) return std::nullopt;
        return bit;
    }

    // Bulk decoding: a hot loop takes the reader over as a value and works
    // on it and the probability table directly (decode_bit is not used on
    // this decoder afterwards).
    rans::Reader reader() const { return reader_; }
    uint16_t* probs() { return probs_.data(); }
    // Sets the first `count` contexts back to their initial probability.
    void reset_contexts(size_t count);

private:
    std::vector<uint16_t> probs_;
    rans::Reader reader_;
};


// The text of a coder's stream error, whose values index `texts`.
template <class Error, std::size_t N>
std::string_view error_text(Error e, const std::string_view (&texts)[N], std::string_view unknown) {
    const auto i = static_cast<std::size_t>(e);
    return i < N ? texts[i] : unknown;
}

// The reverse half of checkpointed encoding. `record_chunk(c, out)` puts the
// model back in its state at the start of chunk c (from the checkpoint the
// caller's forward pass kept), records the chunk's decisions at `out` and
// returns the cursor past the last one; no chunk records more than
// `largest_chunk` decisions. The chunks are recorded and coded from the last
// to the first through one reused buffer. The result starts with `prefix`;
// `decisions`, the number of decisions in all, sizes the word buffer for up
// to two bits of output per decision before it has to grow. The records go
// into `scratch` (whose storage may hold what the chunks are recorded from,
// past its bytes()) when it holds the largest chunk.
template <class RecordChunk>
std::vector<uint8_t> code_chunks_in_reverse(size_t chunks, size_t largest_chunk, RecordChunk&& record_chunk,
                                            std::span<const uint8_t> prefix = {}, size_t decisions = 0,
                                            Scratch scratch = {}) {
    const size_t room = std::max<size_t>(largest_chunk, 1);
    Scratch own;
    if (scratch.bytes().size() < room * sizeof(uint16_t)) own = Scratch(room * sizeof(uint16_t));
    uint16_t* const records = (own.bytes().empty() ? scratch : own).as<uint16_t>(room);
    ChunkCoder coder(decisions / 8);
    for (size_t c = chunks; c-- > 0;) {
        const uint16_t* end = record_chunk(c, records);
        coder.code({records, static_cast<size_t>(end - records)});
    }
    // Both let go before the coded bytes are put together.
    own = Scratch();
    scratch = Scratch();
    return coder.finish(prefix);
}

}  // namespace corvane
