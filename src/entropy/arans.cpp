#include "src/entropy/arans.hpp"

#include <algorithm>
#include <memory>
#include <new>

#include "src/entropy/binrans.hpp"

namespace corvane {

std::string_view describe(RansStreamError e) {
    static constexpr std::string_view kTexts[] = {"Stream truncated", "Inconsistent or oversized length in stream"};
    return error_text(e, kTexts, "Unknown rANS stream error");
}

namespace {

constexpr size_t kRawMax = 5;           // inputs up to this length are stored raw
constexpr size_t kLargeInput = 16384;   // from here on the full preceding byte is context
constexpr uint32_t kMaxPairs = 1u << 28;
constexpr unsigned kMaxContextBits = 8;
constexpr size_t kVarintMax = 10;

size_t table_size(unsigned k) { return size_t{256} << k; }

// Runs the model over `count` bytes taken `stride` apart (so that a plane is
// coded straight out of the interleaved input), recording each decision at
// `out` when Record is set and only adapting the probabilities otherwise.
// `prev` is the byte before the first and becomes the last one. Returns the
// cursor past the last record.
template <bool Record>
uint16_t* model_bytes(const uint8_t* data, size_t count, size_t stride, uint16_t* probs, unsigned k,
                      uint32_t& prev, uint16_t* out) {
    const unsigned shift = 8 - k;
    uint32_t before = prev;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t y = data[i * stride];
        uint16_t* t = probs + ((before >> shift) << 8);
        // Bit-tree node before bit j (most significant first) is the leading
        // j bits of y behind a 1.
        for (unsigned j = 0; j < 8; ++j) {
            uint16_t& prob = t[(y | 0x100) >> (8 - j)];
            const unsigned bit = (y >> (7 - j)) & 1;
            rans::decide<Record>(prob, out, bit);
        }
        before = y;
    }
    prev = before;
    return out;
}

// Checkpointed coding of a plane: chunks of `per_chunk` bytes, each
// checkpoint the whole table and the byte before the chunk.
std::vector<uint8_t> encode_checkpointed(const uint8_t* data, size_t count, size_t stride, unsigned k,
                                         size_t per_chunk) {
    const size_t entries = table_size(k);
    const size_t chunks = (count + per_chunk - 1) / per_chunk;
    std::vector<uint16_t> probs(entries, rans::kProbInit);
    std::vector<uint16_t> pool((chunks - 1) * entries);
    std::vector<uint32_t> prevs(chunks, 0);
    // Forward: the state at the start of every chunk but the first, which is
    // the initial one.
    uint32_t prev = 0;
    for (size_t c = 0; c + 1 < chunks; ++c) {
        model_bytes<false>(data + c * per_chunk * stride, per_chunk, stride, probs.data(), k, prev, nullptr);
        std::copy(probs.begin(), probs.end(), pool.begin() + static_cast<ptrdiff_t>(c * entries));
        prevs[c + 1] = prev;
    }

    // Backward: each chunk recorded again from its checkpoint and coded.
    return code_chunks_in_reverse(chunks, 8 * per_chunk, [&](size_t c, uint16_t* records) {
        if (c == 0)
            std::fill(probs.begin(), probs.end(), rans::kProbInit);
        else
            std::copy_n(pool.begin() + static_cast<ptrdiff_t>((c - 1) * entries), entries, probs.begin());
        prev = prevs[c];
        const size_t begin = c * per_chunk;
        const size_t n = std::min(per_chunk, count - begin);
        return model_bytes<true>(data + begin * stride, n, stride, probs.data(), k, prev, records);
    });
}

std::vector<uint8_t> encode_strided(const uint8_t* data, size_t count, size_t stride, unsigned k,
                                    const RecordBudget& budget) {
    if (count == 0) return {};
    if (count <= budget.direct_limit / 8) {
        BinEnc enc(table_size(k));
        uint32_t prev = 0;
        enc.commit(model_bytes<true>(data, count, stride, enc.probs(), k, prev, enc.cursor(8 * count)));
        return enc.finish();
    }
    const size_t chunk_decisions = std::max(budget.chunk_decisions, budget.table_multiple * table_size(k));
    return encode_checkpointed(data, count, stride, k, std::max<size_t>(chunk_decisions / 8, 1));
}

template <bool Fast>
inline uint8_t decode_byte(rans::Reader& r, uint16_t* probs, uint32_t prev, unsigned shift) {
    uint16_t* t = probs + ((prev >> shift) << 8);
    // The byte's eight decisions walk one 512-byte block of the table and pick
    // its cache lines by bits not decoded yet; asking for every line up front
    // takes their latency off the chain of decisions (a measured gain even
    // when the table fits the first-level cache).
    for (int line = 1; line < 8; ++line) __builtin_prefetch(t + 32 * line);
    uint32_t node = 1;
    for (int j = 0; j < 8; ++j) node = 2 * node + r.decide<Fast>(t[node]);
    return static_cast<uint8_t>(node);
}

void put_varint(std::vector<uint8_t>& out, uint64_t v) {
    for (; v >= 0x80; v >>= 7) out.push_back(static_cast<uint8_t>(v | 0x80));
    out.push_back(static_cast<uint8_t>(v));
}

}  // namespace

corvane::expected<uint64_t, RansStreamError> rv(std::span<const uint8_t> bytes, size_t& pos) {
    uint64_t value = 0;
    for (size_t i = 0; i < kVarintMax; ++i) {
        if (pos >= bytes.size()) return corvane::unexpected(RansStreamError::Truncated);
        const uint8_t b = bytes[pos++];
        // Of a tenth byte only bit 0 survives the shift (it becomes bit 63).
        value |= uint64_t{b & 0x7Fu} << (7 * i);
        if ((b & 0x80) == 0) return value;
    }
    return corvane::unexpected(RansStreamError::InconsistentOrOversized);
}

std::vector<uint8_t> encode_plane(std::span<const uint8_t> plane, unsigned k, const RecordBudget& budget) {
    return encode_strided(plane.data(), plane.size(), 1, k, budget);
}

corvane::expected<std::vector<uint8_t>, RansStreamError> decode_plane(
    std::span<const uint8_t> coded, size_t count, unsigned k) {
    using enum RansStreamError;
    if (count == 0) return std::vector<uint8_t>{};
    if (k > kMaxContextBits) return corvane::unexpected(InconsistentOrOversized);
    if (coded.size() < 4) return corvane::unexpected(Truncated);
    BinDec dec(table_size(k), coded);

    // The count comes from the stream header: reserve no more than the coded
    // bytes can yield (eight decisions per byte).
    std::vector<uint8_t> out;
    try {
        const uint64_t yield = rans::max_decisions(coded.size()) / 8;
        out.reserve(static_cast<size_t>(std::min<uint64_t>(std::max<size_t>(count, 8), yield + 8)));
    } catch (const std::bad_alloc&) {
        return corvane::unexpected(InconsistentOrOversized);
    }

    rans::Reader r = dec.reader();
    uint16_t* probs = dec.probs();
    const unsigned shift = 8 - k;
    uint32_t prev = 0;
    size_t done = 0;
    while (done < count) {
        const size_t fast = std::min(count - done, r.fast_units(8));
        if (fast != 0) [[likely]] {
            out.resize(done + fast);
            uint8_t* o = out.data();
            for (size_t end = done + fast; done < end; ++done)
                prev = o[done] = decode_byte<true>(r, probs, prev, shift);
        } else {
            prev = decode_byte<false>(r, probs, prev, shift);
            if (r.truncated) return corvane::unexpected(Truncated);
            out.push_back(static_cast<uint8_t>(prev));
            ++done;
        }
    }
    return out;
}

std::vector<uint8_t> encode_stream(std::span<const uint8_t> input, const RecordBudget& budget) {
    const size_t n = input.size();
    if (n <= kRawMax) return {input.begin(), input.end()};
    const size_t pairs = n / 2;
    const unsigned k = n < kLargeInput ? 3 : kMaxContextBits;
    const std::vector<uint8_t> a = encode_strided(input.data(), pairs, 2, k, budget);
    const std::vector<uint8_t> b = encode_strided(input.data() + 1, pairs, 2, k, budget);

    std::vector<uint8_t> out;
    out.reserve(2 + 2 * kVarintMax + a.size() + b.size() + 1);
    out.push_back(static_cast<uint8_t>(n & 1));
    out.push_back(static_cast<uint8_t>(k));
    put_varint(out, pairs);
    put_varint(out, a.size());
    out.insert(out.end(), a.begin(), a.end());
    out.insert(out.end(), b.begin(), b.end());
    if (n & 1) out.push_back(input[n - 1]);
    return out;
}

corvane::expected<std::vector<uint8_t>, RansStreamError> decode_stream(
    std::span<const uint8_t> stream) {
    using enum RansStreamError;
    const size_t n = stream.size();
    if (n <= kRawMax) return std::vector<uint8_t>(stream.begin(), stream.end());

    const unsigned k = stream[1];
    if (k > kMaxContextBits) return corvane::unexpected(InconsistentOrOversized);
    size_t pos = 2;
    // Counts and lengths use the low 32 bits of their varints.
    const auto pairs_read = rv(stream, pos);
    if (!pairs_read) return corvane::unexpected(pairs_read.error());
    const auto pairs = static_cast<uint32_t>(*pairs_read);
    if (pairs > kMaxPairs) return corvane::unexpected(InconsistentOrOversized);
    const auto len_a_read = rv(stream, pos);
    if (!len_a_read) return corvane::unexpected(len_a_read.error());
    const uint64_t end_a = pos + uint64_t{static_cast<uint32_t>(*len_a_read)};
    if (end_a > UINT32_MAX) return corvane::unexpected(InconsistentOrOversized);
    const size_t odd = stream[0] & 1;
    const size_t usable = n - odd;
    if (usable < end_a) return corvane::unexpected(Truncated);

    const auto a = decode_plane(stream.subspan(pos, static_cast<size_t>(end_a) - pos), pairs, k);
    if (!a) return corvane::unexpected(a.error());
    const auto b = decode_plane(stream.subspan(static_cast<size_t>(end_a), usable - end_a), pairs, k);
    if (!b) return corvane::unexpected(b.error());

    std::vector<uint8_t> out;
    try {
        out.resize(2 * size_t{pairs} + odd);
    } catch (const std::bad_alloc&) {
        return corvane::unexpected(InconsistentOrOversized);
    }
    for (size_t i = 0; i < pairs; ++i) {
        out[2 * i] = (*a)[i];
        out[2 * i + 1] = (*b)[i];
    }
    if (odd) out.back() = stream[n - 1];
    return out;
}

}  // namespace corvane
