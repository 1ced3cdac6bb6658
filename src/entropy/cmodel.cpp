#include "src/entropy/cmodel.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace corvane {

namespace {

constexpr uint32_t kMaxWidth = 16;

// Offsets inside a band's context block; 0 and 1 are the zero flags after a
// zero and after a nonzero, which the model carries in its band state.
constexpr uint32_t kSign = 2;
constexpr uint32_t kMagnitude = 3;  // + node, node = 1 .. 2^w - 1

uint32_t block_size(uint32_t width) { return (1u << width) + 3; }

}  // namespace

std::string_view describe(CoeffStreamError e) {
    static constexpr std::string_view kTexts[] = {"Stream truncated", "Inconsistent length in coefficient stream"};
    return error_text(e, kTexts, "Unknown coefficient stream error");
}

Layout layout(std::span<const uint32_t> widths) {
    Layout out{{}, {widths.begin(), widths.end()}, 0};
    out.base.reserve(widths.size());
    for (uint32_t w : widths) {
        out.base.push_back(out.total);
        out.total += block_size(w);
    }
    return out;
}

// ---------------------------------------------------------------- coefficients

namespace {

uint32_t magnitude_width(std::span<const int16_t> band, size_t& nonzero) {
    uint32_t largest = 0;
    size_t count = 0;
    for (int16_t v : band) {
        const uint32_t mag = static_cast<uint32_t>(std::abs(int32_t{v}));
        largest = std::max(largest, mag);
        count += v != 0;
    }
    nonzero = count;
    return largest == 0 ? 1 : static_cast<uint32_t>(std::bit_width(largest));
}

// Where the model stands inside a band. The zero-flag probabilities are held
// apart from the band's context block (see BandDecoder).
struct BandState {
    uint32_t prev = 0;
    uint16_t after_zero = rans::kProbInit;
    uint16_t after_nonzero = rans::kProbInit;
};

// Runs the model over consecutive coefficients of one band whose context
// block starts at probs[0], recording each decision at `out` when Record is
// set and only adapting the probabilities otherwise. Returns the cursor past
// the last record.
template <bool Record>
uint16_t* model_coeffs(std::span<const int16_t> coeffs, uint16_t* probs, uint32_t width, BandState& state,
                       uint16_t* out) {
    auto decide = [&](uint16_t& prob, uint32_t bit) { rans::decide<Record>(prob, out, bit); };
    uint16_t after_zero = state.after_zero;
    uint16_t after_nonzero = state.after_nonzero;
    uint32_t prev = state.prev;
    for (int16_t v : coeffs) {
        const uint32_t z = v != 0;
        if (prev)
            decide(after_nonzero, z);
        else
            decide(after_zero, z);
        prev = z;
        if (!z) continue;
        decide(probs[kSign], v < 0);
        const uint32_t m = static_cast<uint32_t>(std::abs(int32_t{v})) - 1;
        uint32_t node = 1;
        for (uint32_t k = width; k-- > 0;) {
            const uint32_t bit = (m >> k) & 1;
            decide(probs[kMagnitude + node], bit);
            node = 2 * node + bit;
        }
    }
    state = {prev, after_zero, after_nonzero};
    return out;
}

size_t coeff_decisions(int16_t v, uint32_t width) { return v != 0 ? 2 + width : 1; }

std::vector<uint8_t> code_direct(std::span<const std::span<const int16_t>> bands, const Layout& lay,
                                 std::span<const size_t> decisions, size_t total, std::span<const uint8_t> prefix) {
    BinEnc enc(lay.total);
    enc.reserve(total);
    for (size_t i = 0; i < bands.size(); ++i) {
        // An empty band records nothing; skipping it also keeps a coder with
        // no records at all from handing out a cursor into a buffer it never
        // made.
        if (bands[i].empty()) continue;
        BandState state;
        uint16_t* out = enc.cursor(decisions[i]);
        enc.commit(model_coeffs<true>(bands[i], enc.probs() + lay.base[i], lay.bits[i], state, out));
    }
    return enc.finish(prefix);
}

// A stretch of one band, and what the model needs to resume at its start:
// the band's state and its sign and magnitude probabilities, kept in a shared
// pool (none for a band's first stretch, which starts from the initial ones).
struct Checkpoint {
    uint32_t band;
    size_t begin, end;
    BandState state;
    size_t saved;
};
constexpr size_t kFresh = SIZE_MAX;

std::vector<uint8_t> code_checkpointed(std::span<const std::span<const int16_t>> bands, const Layout& lay,
                                       std::span<const size_t> band_decisions, size_t total,
                                       const RecordBudget& budget, std::span<const uint8_t> prefix, Scratch scratch) {
    // Chunks never straddle a band, so a checkpoint copies one band's block.
    // Each band's chunks are cut from its end backwards: the last chunk is a
    // full one, and the forward pass below skips it.
    size_t coefficients = 0;
    for (const auto band : bands) coefficients += band.size();
    // Chunks as large as the caller's scratch memory holds cost no fresh
    // memory; without it, chunks grow with the input as the budget allows. A
    // chunk ends with the coefficient that reaches the limit, so it can pass
    // the limit by one coefficient's decisions less one.
    const size_t room = scratch.bytes().size() / sizeof(uint16_t);
    const size_t scaled = scratch.bytes().empty() ? budget.per_coefficient * coefficients
                                                  : room - std::min(room, size_t{1} + kMaxWidth);
    std::vector<Checkpoint> chunks;
    size_t largest_chunk = 0, largest_block = 0;
    for (size_t i = 0; i < bands.size(); ++i) {
        const uint32_t width = lay.bits[i];
        const size_t block = block_size(width);
        const size_t limit = std::max({budget.chunk_decisions, scaled, budget.table_multiple * block, size_t{1}});
        const std::span<const int16_t> band = bands[i];
        if (!band.empty()) largest_block = std::max(largest_block, block);
        if (!band.empty() && band_decisions[i] <= limit) {
            // One chunk: where the scan below would cut it, without the scan.
            chunks.push_back({static_cast<uint32_t>(i), 0, band.size(), {}, kFresh});
            largest_chunk = std::max(largest_chunk, band_decisions[i]);
            continue;
        }
        const size_t first = chunks.size();
        size_t end = band.size(), decisions = 0;
        for (size_t j = band.size(); j-- > 0;) {
            decisions += coeff_decisions(band[j], width);
            if (decisions >= limit || j == 0) {
                chunks.push_back({static_cast<uint32_t>(i), j, end, {}, kFresh});
                largest_chunk = std::max(largest_chunk, decisions);
                end = j;
                decisions = 0;
            }
        }
        std::reverse(chunks.begin() + static_cast<ptrdiff_t>(first), chunks.end());
    }

    // Forward: the model's state at the start of every chunk. A band's last
    // chunk leads to no checkpoint, so the model need not run over it.
    std::vector<uint16_t> probs(std::max<size_t>(largest_block, 1));
    std::vector<uint16_t> pool;
    BandState state;
    for (size_t c = 0; c < chunks.size(); ++c) {
        Checkpoint& chunk = chunks[c];
        const uint32_t width = lay.bits[chunk.band];
        const size_t entries = block_size(width) - kSign;
        if (chunk.begin == 0) {
            std::fill_n(probs.begin(), block_size(width), rans::kProbInit);
            state = {};
        } else {
            chunk.state = state;
            chunk.saved = pool.size();
            pool.insert(pool.end(), probs.begin() + kSign, probs.begin() + kSign + static_cast<ptrdiff_t>(entries));
        }
        const bool band_goes_on = c + 1 < chunks.size() && chunks[c + 1].band == chunk.band;
        if (band_goes_on)
            model_coeffs<false>(bands[chunk.band].subspan(chunk.begin, chunk.end - chunk.begin), probs.data(),
                                width, state, nullptr);
    }

    // Backward: each chunk recorded again from its checkpoint and coded.
    return code_chunks_in_reverse(chunks.size(), largest_chunk, [&](size_t c, uint16_t* records) {
        const Checkpoint& chunk = chunks[c];
        const uint32_t width = lay.bits[chunk.band];
        if (chunk.saved == kFresh)
            std::fill_n(probs.begin(), block_size(width), rans::kProbInit);
        else
            std::copy_n(pool.begin() + static_cast<ptrdiff_t>(chunk.saved), block_size(width) - kSign,
                        probs.begin() + kSign);
        state = chunk.state;
        return model_coeffs<true>(bands[chunk.band].subspan(chunk.begin, chunk.end - chunk.begin), probs.data(),
                                  width, state, records);
    }, prefix, total, std::move(scratch));
}

// Decoding state of one band whose context block starts at probs[0]. The two
// zero-flag probabilities are held apart from the table: a run of zeros uses
// one of them decision after decision, and a round trip through memory (store,
// then load of the same entry) would sit on the critical path. The magnitude
// tree is walked a level ahead: while a node's decision is being taken, both
// of its children's probabilities are loaded, and the decision only selects
// one, so no table load waits for the decision before it.
struct BandDecoder {
    uint16_t* probs;
    uint32_t width;
    uint32_t prev = 0;
    uint16_t after_zero = rans::kProbInit;
    uint16_t after_nonzero = rans::kProbInit;

    // One decision in a context held in a register. Both adapted values are
    // ready before the decision, which only picks one: a run of zeros then
    // waits on the comparison alone, not on the adaptation's arithmetic too.
    template <bool Fast>
    static uint32_t decide_held(rans::Reader& r, uint16_t& prob) {
        const uint32_t p = prob;
        prob = static_cast<uint16_t>(r.pick(p, rans::adapt(p, 0), rans::adapt(p, 1)));
        return r.decide_with<Fast>(p);
    }

    // One decision with probability p, which then becomes the probability
    // of the child the decision leads to (p0 or p1).
    template <bool Fast>
    static uint32_t take(rans::Reader& r, uint32_t& p, uint32_t p0, uint32_t p1) {
        const uint32_t child = r.pick(p, p0, p1);
        const uint32_t bit = r.decide_with<Fast>(p);
        p = child;
        return bit;
    }

    // One coefficient: at most 2 + width decisions.
    template <bool Fast>
    int16_t next(rans::Reader& r) {
        uint32_t z;
        if (prev)
            z = decide_held<Fast>(r, after_nonzero);
        else
            z = decide_held<Fast>(r, after_zero);
        prev = z;
        if (!z) return 0;
        const uint32_t sign = r.decide<Fast>(probs[kSign]);
        uint32_t node = 1;
        if (width != 0) {
            uint16_t* tree = probs + kMagnitude;  // tree[node], node = 1 .. 2^width - 1
            // Every level but the last with its children's probabilities in
            // hand before the decision; the last level alone, as its children
            // would lie past the block.
            uint32_t p = tree[1];
            for (uint32_t k = 1; k < width; ++k) {
                const uint32_t used = p;
                const uint32_t bit = take<Fast>(r, p, tree[2 * node], tree[2 * node + 1]);
                tree[node] = rans::adapt(used, bit);
                node = 2 * node + bit;
            }
            const uint32_t bit = r.decide_with<Fast>(p);
            tree[node] = rans::adapt(p, bit);
            node = 2 * node + bit;
        }
        // node = 2^width + m; the value is +-(m + 1), wrapped to 16 bits
        const uint32_t mag = node - (1u << width) + 1;
        const uint32_t value = sign ? 0u - mag : mag;
        return static_cast<int16_t>(static_cast<uint16_t>(value));
    }
};

}  // namespace

std::vector<uint8_t> encode_coeffs(std::span<const std::span<const int16_t>> bands,
                                   const RecordBudget& budget, Scratch scratch, size_t front) {
    std::vector<uint32_t> widths(bands.size());
    std::vector<size_t> decisions(bands.size());
    size_t total = 0;
    for (size_t i = 0; i < bands.size(); ++i) {
        size_t nonzero = 0;
        widths[i] = magnitude_width(bands[i], nonzero);
        decisions[i] = bands[i].size() + nonzero * (1 + widths[i]);
        total += decisions[i];
    }
    const Layout lay = layout(widths);
    // The band count and the widths, then the coded decisions.
    std::vector<uint8_t> prefix(front);
    prefix.reserve(front + 1 + bands.size());
    prefix.push_back(static_cast<uint8_t>(bands.size()));
    for (uint32_t w : widths) prefix.push_back(static_cast<uint8_t>(w));
    if (total > budget.direct_limit) return code_checkpointed(bands, lay, decisions, total, budget, prefix, std::move(scratch));
    return code_direct(bands, lay, decisions, total, prefix);
}

corvane::expected<std::vector<std::vector<int16_t>>, CoeffStreamError> decode_coeffs(
    std::span<const uint8_t> stream, std::span<const size_t> band_lengths) {
    using enum CoeffStreamError;
    if (stream.empty()) return corvane::unexpected(Truncated);
    const size_t n = stream[0];
    if (n != band_lengths.size()) return corvane::unexpected(InconsistentLength);
    if (stream.size() <= n) return corvane::unexpected(Truncated);
    const std::span<const uint8_t> widths = stream.subspan(1, n);
    if (std::ranges::any_of(widths, [](uint8_t w) { return w > kMaxWidth; }))
        return corvane::unexpected(InconsistentLength);
    const std::span<const uint8_t> coded = stream.subspan(1 + n);
    if (coded.size() < 4) return corvane::unexpected(Truncated);

    // Bands own disjoint context blocks that all start at 2048, so one block,
    // reset before each band, decodes exactly as one table of all blocks
    // would, and a hostile stream of wide bands cannot make it large.
    uint32_t largest_block = 0;
    for (size_t i = 0; i < n; ++i)
        if (band_lengths[i] != 0) largest_block = std::max(largest_block, block_size(widths[i]));
    BinDec dec(largest_block, coded);

    // The band lengths come from the header, not from the payload: every
    // coefficient costs at least one decision, so nothing beyond what the
    // coded bytes can yield is reserved up front.
    uint64_t budget = rans::max_decisions(coded.size());

    std::vector<std::vector<int16_t>> bands(n);
    rans::Reader r = dec.reader();
    for (size_t i = 0; i < n; ++i) {
        const size_t len = band_lengths[i];
        if (len == 0) continue;
        const uint32_t width = widths[i];
        dec.reset_contexts(block_size(width));
        std::vector<int16_t>& band = bands[i];
        const size_t reserved = static_cast<size_t>(std::min<uint64_t>(len, budget));
        band.reserve(reserved);
        budget -= reserved;

        BandDecoder bd{dec.probs(), width};
        size_t done = 0;
        while (done < len) {
            const size_t fast = std::min(len - done, r.fast_units(2 + width));
            if (fast != 0) [[likely]] {
                band.resize(done + fast);
                int16_t* out = band.data();
                for (size_t end = done + fast; done < end; ++done) out[done] = bd.next<true>(r);
            } else {
                const int16_t v = bd.next<false>(r);
                if (r.truncated) return corvane::unexpected(Truncated);
                band.push_back(v);
                ++done;
            }
        }
    }
    return bands;
}

}  // namespace corvane
