#include "src/refine/tabled.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "src/entropy/binrans.hpp"
#include "src/refine/activity.hpp"

namespace corvane::refine {
namespace {

constexpr std::uint32_t kScaleBits = 10, kScale = 1u << kScaleBits;
constexpr std::uint32_t kSymbols = 99;  // 0, and a sign for each of 49 buckets
constexpr std::size_t kTables = kActivities;
constexpr std::size_t kLanes = TabledReader::kLanes;
// The symbol a damaged stream decodes where no table has one (see open()).
constexpr std::uint32_t kSunk = 127;
// The zeros after a lane's words and after the extra bits: what a reader
// goes past them by, at most, within one read_some().
constexpr std::size_t kWordsPast = 2 * TabledReader::kAtOnce + 2;
constexpr std::size_t kExtraPast = 23 * TabledReader::kAtOnce / 8 + 16;

// The bucket of magnitude m (see tabled.hpp), 0 for 0; looked up for the
// small magnitudes most misses have, so that no branch waits on whether a
// miss is 0 or 1 or more, which is often close to a coin toss.
constexpr std::uint32_t bucket_of(std::uint32_t m) {
    const auto length = static_cast<std::uint32_t>(std::bit_width(m));
    return length >= 2 ? 2 * length - 2 + ((m >> (length - 2)) & 1u) : length;
}
struct SmallBuckets {
    static constexpr std::uint32_t kCount = 64;
    std::uint8_t of[kCount];
    constexpr SmallBuckets() : of{} {
        for (std::uint32_t m = 0; m < kCount; ++m) of[m] = static_cast<std::uint8_t>(bucket_of(m));
    }
};
inline constexpr SmallBuckets kSmallBuckets{};

// The symbol of miss v, of magnitude m.
[[gnu::always_inline]] inline std::uint32_t symbol_of(std::int32_t v, std::uint32_t m) {
    const std::uint32_t bucket = m < SmallBuckets::kCount ? kSmallBuckets.of[m] : bucket_of(m);
    return 2 * bucket - static_cast<std::uint32_t>(bucket != 0) + static_cast<std::uint32_t>(v < 0);
}

// What each symbol stands for: its magnitude less the extra bits (its
// base), their number, its sign and its bucket (all 0 for the symbols past
// the last, which only a damaged stream decodes).
struct Symbol {
    std::uint32_t base = 0;
    std::uint8_t extra = 0, negative = 0, bucket = 0;
};
struct Symbols {
    static constexpr std::uint32_t kCount = 128;  // every value of the 7 bits a slot keeps
    Symbol of[kCount];
    constexpr Symbols() : of{} {
        for (std::uint32_t t = 0; t < kCount; ++t) {
            Symbol& s = of[t];
            if (t == 0 || t >= kSymbols) continue;
            const std::uint32_t bucket = (t + 1) >> 1;
            s.bucket = static_cast<std::uint8_t>(bucket);
            s.negative = static_cast<std::uint8_t>((t + 1) & 1u);
            if (bucket == 1) {
                s.base = 1;
                continue;
            }
            const std::uint32_t length = (bucket >> 1) + 1;
            s.base = (2u + (bucket & 1u)) << (length - 2);
            s.extra = static_cast<std::uint8_t>(length - 2);
        }
    }
};
inline constexpr Symbols kSymbolOf{};

// A miss's neighbourhood is activity() of the two misses before it in its
// lane with their extra bits taken as 0 (their bases): it follows from their
// symbols alone, so the decoder knows the lane's next table as soon as it has
// a symbol, before it has the extra bits. Looked up from the bucket of the
// lane's miss before the last and the symbol of the last, as the first slot
// of the table.
constexpr std::uint32_t kBuckets = (kSymbols + 1) / 2;
struct Neighbourhoods {
    std::uint16_t first_slot[kBuckets * Symbols::kCount];
    constexpr Neighbourhoods() : first_slot{} {
        for (std::uint32_t b = 0; b < kBuckets; ++b) {
            const std::uint32_t before = kSymbolOf.of[b == 0 ? 0 : 2 * b - 1].base;
            for (std::uint32_t t = 0; t < Symbols::kCount; ++t) {
                const std::uint32_t table = t < kSymbols ? activity(kSymbolOf.of[t].base, before) : kTables;  // (the sink)
                first_slot[b * Symbols::kCount + t] = static_cast<std::uint16_t>(table << kScaleBits);
            }
        }
    }
};
inline constexpr Neighbourhoods kNeighbourhoods{};

// Exact division x / f for 1 <= f <= 1024 and x < f * 2^22 (the encoder's
// state once renormalised), by multiplication: with r = ceil(2^42 / f) and
// e = r * f - 2^42 < f, floor(x * r / 2^42) is x / f as long as x * e < 2^42,
// and x * e < f^2 * 2^22 <= 2^42. The product stays below 2^64 because
// f * (f - 1) < 2^20.
struct Reciprocals {
    std::uint64_t r[kScale + 1];
    constexpr Reciprocals() : r{} {
        for (std::uint64_t f = 1; f <= kScale; ++f) r[f] = ((std::uint64_t{1} << 42) + f - 1) / f;
    }
};
inline constexpr Reciprocals kReciprocals{};

// A neighbourhood's counts turned into frequencies out of kScale: each
// symbol it has its share rounded down, at least 1; what that leaves short
// goes to the symbol of the largest frequency (the first of equals), and
// should the 1s overshoot, the symbol of the largest frequency gives up one,
// again and again, until they fit.
// Integers only: every build makes the same tables.
void normalise(const std::uint32_t* counts, std::uint16_t* freq) {
    std::uint64_t total = 0;
    for (std::uint32_t t = 0; t < kSymbols; ++t) total += counts[t];
    if (total == 0) return;
    std::uint32_t sum = 0;
    for (std::uint32_t t = 0; t < kSymbols; ++t) {
        if (counts[t] == 0) continue;
        freq[t] = static_cast<std::uint16_t>(std::max<std::uint64_t>(1, std::uint64_t{counts[t]} * kScale / total));
        sum += freq[t];
    }
    auto most = [&] { return static_cast<std::uint32_t>(std::max_element(freq, freq + kSymbols) - freq); };
    if (sum < kScale) freq[most()] = static_cast<std::uint16_t>(freq[most()] + (kScale - sum));
    for (; sum > kScale; --sum) --freq[most()];
}

void store_le16(std::uint8_t* p, std::uint32_t v) {
    auto w = static_cast<std::uint16_t>(v);
    if constexpr (std::endian::native == std::endian::big) w = std::byteswap(w);
    std::memcpy(p, &w, 2);
}
void store_le32(std::uint8_t* p, std::uint32_t v) {
    if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
    std::memcpy(p, &v, 4);
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int b = 0; b < 4; ++b) out.push_back(static_cast<std::uint8_t>(v >> (8 * b)));
}

}  // namespace

TabledMisses::TabledMisses(std::span<const std::int32_t> misses)
    : coded_(misses.size()), counts_(kTables * Symbols::kCount, 0), freq_(kTables * kSymbols, 0) {
    const std::size_t n = misses.size();
    // First each miss's symbol, and the extra bits, stored as they come, 32
    // at a time (a miss has at most 23).
    // (miss i's at t[i + 4], after four 0s: the misses before a lane's first)
    std::vector<std::uint8_t> symbols(n + 4);
    std::uint8_t* const t = symbols.data();
    const auto extra = std::make_unique_for_overwrite<std::uint8_t[]>(n * 3 + 8);
    std::uint8_t* put = extra.get();
    std::uint64_t held = 0;
    unsigned held_bits = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t v = misses[i];
        const auto m = static_cast<std::uint32_t>(std::abs(static_cast<std::int64_t>(v)));
        const std::uint32_t symbol = symbol_of(v, m);
        t[i + 4] = static_cast<std::uint8_t>(symbol);
        const Symbol& k = kSymbolOf.of[symbol];
        held |= std::uint64_t{m - k.base} << held_bits;
        held_bits += k.extra;
        if (held_bits >= 32) {
            store_le32(put, static_cast<std::uint32_t>(held));
            put += 4;
            held >>= 32;
            held_bits -= 32;
        }
    }
    for (; held_bits > 0; held_bits -= std::min(held_bits, 8u), held >>= 8) *put++ = static_cast<std::uint8_t>(held);
    extra_.assign(extra.get(), put);
    // Then each one's neighbourhood, which follows from the symbols of the
    // two misses before it in its lane (symbol 0 before a lane's first: the
    // first neighbourhood), and the counts. (Four sets of counts, one for
    // each miss of four in turn: a symbol that repeats does not wait for its
    // own count to be stored.)
    std::vector<std::uint32_t> sets(4 * kTables * Symbols::kCount, 0);
    std::uint16_t* const coded = coded_.data();
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t first = kNeighbourhoods.first_slot[kSymbolOf.of[t[i]].bucket * Symbols::kCount + t[i + 2]];
        const auto at = static_cast<std::uint16_t>((first >> kScaleBits) << 7 | t[i + 4]);
        coded[i] = at;
        ++sets[(i & 3) * kTables * Symbols::kCount + at];
    }
    for (std::size_t at = 0; at < counts_.size(); ++at) {
        counts_[at] = sets[at] + sets[counts_.size() + at] + sets[2 * counts_.size() + at] + sets[3 * counts_.size() + at];
    }
    for (std::size_t c = 0; c < kTables; ++c) normalise(counts_.data() + c * Symbols::kCount, freq_.data() + c * kSymbols);
}

double TabledMisses::bits() const {
    static const struct Logs {
        double of[kScale + 1] = {};
        Logs() {
            for (std::uint32_t f = 1; f <= kScale; ++f) of[f] = std::log2(static_cast<double>(f));
        }
    } logs;
    // Each symbol log2(1024 / f) bits, then the tables (as bytes() writes
    // them), the coders' lengths and states, and the extra bits.
    double bits = 0.0;
    std::size_t bytes = kLanes * 8 + extra_.size();
    for (std::size_t c = 0; c < kTables; ++c) {
        const std::uint16_t* const f = freq_.data() + c * kSymbols;
        std::uint32_t low = kSymbols, high = 0;
        for (std::uint32_t t = 0; t < kSymbols; ++t) {
            if (f[t] == 0) continue;
            low = std::min(low, t);
            high = t + 1;
            bits += static_cast<double>(counts_[c * Symbols::kCount + t]) * (kScaleBits - logs.of[f[t]]);
        }
        bytes += 2;
        for (std::uint32_t t = low; t < high; ++t) bytes += f[t] >= 0x80u ? 2 : 1;
    }
    return bits + 8.0 * static_cast<double>(bytes);
}

std::vector<std::uint8_t> TabledMisses::bytes() const {
    const std::size_t n = coded_.size();
    // The tables, and what the coder needs of each symbol in each.
    struct Coding {
        std::uint64_t reciprocal = 0, limit = 0;  // limit: f * 2^22, the state that calls for a word
        std::uint32_t rest = 0, start = 0;        // kScale - f, and the symbol's first slot
    };
    std::vector<Coding> coding(kTables * Symbols::kCount);
    std::vector<std::uint8_t> out;
    for (std::size_t c = 0; c < kTables; ++c) {
        const std::uint16_t* const f = freq_.data() + c * kSymbols;
        std::uint32_t low = 0, high = 0, cum = 0;
        for (std::uint32_t t = 0; t < kSymbols; ++t) {
            if (f[t] == 0) continue;
            if (cum == 0) low = t;
            high = t + 1;
            coding[c * Symbols::kCount + t] = {kReciprocals.r[f[t]], std::uint64_t{f[t]} << (32 - kScaleBits),
                                               kScale - f[t], cum};
            cum += f[t];
        }
        out.push_back(static_cast<std::uint8_t>(low));
        out.push_back(static_cast<std::uint8_t>(high - low));
        for (std::uint32_t t = low; t < high; ++t) {
            for (std::uint32_t v = f[t];; v >>= 7) {
                out.push_back(static_cast<std::uint8_t>((v & 0x7Fu) | (v >= 0x80u ? 0x80u : 0u)));
                if (v < 0x80u) break;
            }
        }
    }

    // Backward: the coders, from the last miss to the first, each lane's
    // misses with its own state and words, stored from the end down so that
    // the decoder reads them front to back.
    // (at most one word per miss, and room below the last for the one written in vain)
    const std::size_t room = 2 * (n / kLanes + 1) + 2;
    const auto words = std::make_unique_for_overwrite<std::uint8_t[]>(kLanes * room);
    std::uint8_t* word[kLanes];
    std::uint32_t state[kLanes];
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
        word[lane] = words.get() + (lane + 1) * room;
        state[lane] = rans::kStateLow;
    }
    auto backward = [&](std::size_t i, std::uint32_t& x, std::uint8_t*& w) __attribute__((always_inline)) {
        const Coding& k = coding[coded_[i]];
        // (whether a word is due is close to a coin toss: no branch; the
        // word is written either way, below the last one, and kept when due)
        const bool due = x >= k.limit;
        store_le16(w - 2, x);
        w -= due ? 2 : 0;
        x = due ? x >> 16 : x;
        const auto q = static_cast<std::uint32_t>((std::uint64_t{x} * k.reciprocal) >> 42);
        x += q * k.rest + k.start;
    };
    std::size_t next = n;
    if (next % 2 != 0) backward(--next, state[0], word[0]);
    for (; next >= 2; next -= 2) {
        backward(next - 1, state[1], word[1]);
        backward(next - 2, state[0], word[0]);
    }
    for (std::size_t lane = 0; lane < kLanes; ++lane)
        put32(out, static_cast<std::uint32_t>(4 + (words.get() + (lane + 1) * room - word[lane])));
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
        put32(out, state[lane]);
        out.insert(out.end(), word[lane], words.get() + (lane + 1) * room);
    }
    out.insert(out.end(), extra_.begin(), extra_.end());
    return out;
}

std::vector<std::uint8_t> encode_tabled(std::span<const std::int32_t> misses) { return TabledMisses(misses).bytes(); }

expected<TabledReader, ResidualError> TabledReader::open(std::span<const std::uint8_t> coded) {
    const auto damaged = unexpected(ResidualError::Damaged);
    const std::uint8_t* at = coded.data();
    const std::uint8_t* const end = at + coded.size();
    TabledReader r;
    // A neighbourhood without a table, and the sink after the last, decode
    // every slot as a symbol past the last, which leads to the sink and
    // leaves the coder as it was: a lane that meets one stays there, and is
    // refused once its misses are read.
    r.slots_.resize((kTables + 1) << kScaleBits);
    for (std::uint32_t s = 0; s < kScale; ++s) r.slots_[s] = kSunk | kScale << 7 | s << 18;
    for (std::size_t c = 1; c <= kTables; ++c) std::copy_n(r.slots_.data(), kScale, r.slots_.data() + (c << kScaleBits));
    for (std::size_t c = 0; c < kTables; ++c) {
        if (end - at < 2) return unexpected(ResidualError::Truncated);
        const std::uint32_t first = at[0], count = at[1];
        at += 2;
        if (count == 0) continue;
        if (first + count > kSymbols) return damaged;
        std::uint32_t cum = 0;
        for (std::uint32_t t = first; t < first + count; ++t) {
            std::uint32_t f = 0;
            for (unsigned shift = 0;; shift += 7) {
                if (at == end) return unexpected(ResidualError::Truncated);
                if (shift > 7) return damaged;  // (no frequency takes a third byte)
                f |= std::uint32_t{*at & 0x7Fu} << shift;
                if ((*at++ & 0x80u) == 0) break;
            }
            if (f > kScale - cum || ((t == first || t + 1 == first + count) && f == 0)) return damaged;
            std::uint32_t* const slot = r.slots_.data() + (c << kScaleBits) + cum;
            for (std::uint32_t s = 0; s < f; ++s) slot[s] = t | f << 7 | s << 18;
            cum += f;
        }
        if (cum != kScale) return damaged;
    }
    if (end - at < static_cast<std::ptrdiff_t>(4 * kLanes)) return unexpected(ResidualError::Truncated);
    std::size_t lengths[kLanes], length = 0;
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
        lengths[lane] = rans::load_le32(at + 4 * lane);
        if (lengths[lane] < 4 || lengths[lane] % 2 != 0) return damaged;
        length += lengths[lane];
    }
    at += 4 * kLanes;
    if (static_cast<std::size_t>(end - at) < length) return unexpected(ResidualError::Truncated);
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
        Lane& l = r.lanes_[lane];
        l.x = rans::load_le32(at);
        if (l.x < rans::kStateLow) return damaged;  // (an encoder ends at 2^16 or above)
        l.words.assign(at + 4, at + lengths[lane]);
        l.words.resize(lengths[lane] - 4 + kWordsPast, 0);
        at += lengths[lane];
    }
    r.extra_bytes_ = static_cast<std::size_t>(end - at);
    r.extra_.assign(at, end);
    r.extra_.resize(r.extra_bytes_ + kExtraPast, 0);
    return r;
}

expected<void, ResidualError> TabledReader::read(std::span<std::int32_t> misses) {
    for (std::size_t from = 0; from < misses.size(); from += kAtOnce) {
        if (auto done = read_some(misses.subspan(from, std::min(kAtOnce, misses.size() - from))); !done) return done;
    }
    return {};
}

expected<void, ResidualError> TabledReader::read_some(std::span<std::int32_t> misses) {
    // Held in locals, so the loop keeps them in registers. Each lane reads
    // its words through a cursor of its own: neither waits for the other.
    // Neither the words nor the extra bits are tested for their end within
    // these misses, which read no further than the zeros after them.
    struct Cursor {
        std::uint32_t x, first, bucket;
        const std::uint8_t* word;
    };
    Cursor lanes[kLanes];
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
        const Lane& l = lanes_[lane];
        lanes[lane] = {l.x, l.first, l.bucket, l.words.data() + l.word};
    }
    std::uint64_t held = held_;
    unsigned held_bits = held_bits_;
    const std::uint8_t* bits = extra_.data() + at_;
    const std::uint32_t* const slots = slots_.data();
    auto one = [&](Cursor& lane, std::int32_t& miss) __attribute__((always_inline)) {
        const std::uint32_t e = slots[lane.first | (lane.x & (kScale - 1))];
        const std::uint32_t x = ((e >> 7) & 0x7FFu) * (lane.x >> kScaleBits) + (e >> 18);
        // Once x is at least 2^16, a symbol leaves it at least 2^6, and one
        // word brings it back. Whether one is due is close to a coin toss:
        // no branch; the next word is read either way and taken when due.
        const bool due = x < rans::kStateLow;
        const std::uint32_t w = rans::load_le16(lane.word);
        lane.x = due ? (x << 16 | w) : x;
        lane.word += due ? 2 : 0;
        const std::uint32_t t = e & 0x7Fu;
        const Symbol& s = kSymbolOf.of[t];
        lane.first = kNeighbourhoods.first_slot[lane.bucket * Symbols::kCount + t];
        lane.bucket = s.bucket;
        if (held_bits < 32) {
            held |= std::uint64_t{rans::load_le32(bits)} << held_bits;
            held_bits += 32;
            bits += 4;
        }
        const std::uint32_t m = s.base + static_cast<std::uint32_t>(held & ((std::uint64_t{1} << s.extra) - 1u));
        held >>= s.extra;
        held_bits -= s.extra;
        // (the sign is a coin toss: applied without a branch)
        const std::int32_t negative = -static_cast<std::int32_t>(s.negative);
        miss = (static_cast<std::int32_t>(m) ^ negative) - negative;
    };
    // (the two lanes' misses decoded in turn)
    static_assert(kLanes == 2);
    std::size_t j = 0;
    const std::size_t n = misses.size();
    if (next_ % kLanes == 1 && n > 0) one(lanes[1], misses[j++]);
    for (; j + 2 <= n; j += 2) {
        one(lanes[0], misses[j]);
        one(lanes[1], misses[j + 1]);
    }
    if (j < n) one(lanes[0], misses[j]);
    next_ += n;
    bool sunk = false, short_of_words = false;
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
        Lane& l = lanes_[lane];
        l.x = lanes[lane].x, l.first = lanes[lane].first, l.bucket = lanes[lane].bucket;
        l.word = static_cast<std::size_t>(lanes[lane].word - l.words.data());
        sunk |= l.first == kTables << kScaleBits;
        short_of_words |= l.word > l.words.size() - kWordsPast;
    }
    held_ = held, held_bits_ = held_bits, at_ = static_cast<std::size_t>(bits - extra_.data());
    if (sunk) return unexpected(ResidualError::Damaged);
    if (short_of_words || 8 * at_ - held_bits > 8 * extra_bytes_) return unexpected(ResidualError::Truncated);
    return {};
}

bool TabledReader::finished() const {
    return std::all_of(std::begin(lanes_), std::end(lanes_),
                       [](const Lane& l) { return l.x == rans::kStateLow && l.word + kWordsPast == l.words.size(); }) &&
           (8 * at_ - held_bits_ + 7) / 8 == extra_bytes_;
}

}  // namespace corvane::refine
