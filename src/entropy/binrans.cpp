#include "src/entropy/binrans.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace corvane {

// ---- BinEnc

BinEnc::BinEnc(size_t contexts) : probs_(std::max<size_t>(contexts, 1), rans::kProbInit) {}

void BinEnc::reserve(size_t decisions) {
    if (decisions <= capacity_) return;
    auto grown = std::make_unique_for_overwrite<uint16_t[]>(kHeadroom + decisions);
    if (count_ != 0) std::memcpy(grown.get() + kHeadroom, records_.get() + kHeadroom, count_ * 2);
    records_ = std::move(grown);
    capacity_ = decisions;
}

void BinEnc::grow() { reserve(std::max<size_t>(1024, capacity_ * 2)); }

std::vector<uint8_t> BinEnc::finish(std::span<const uint8_t> prefix) {
    auto to_le16 = [](uint32_t v) {
        auto w = static_cast<uint16_t>(v);
        if constexpr (std::endian::native == std::endian::big) w = std::byteswap(w);
        return w;
    };
    reserve(1);  // the final state needs the headroom even with no records
    uint16_t* slots = records_.get();

    // Records are consumed from the last to the first, and the words they emit
    // are stored downwards from the end of the same buffer. A record emits at
    // most one word, so when record i is read, at most n - 1 - i words are
    // stored and the next word slot is record i's own slot or above: a word may
    // overwrite the record just read, never one still to come.
    size_t next = kHeadroom + count_;  // words occupy slots [next, kHeadroom + count_)
    uint32_t x = rans::kStateLow;
    for (size_t i = count_; i-- > 0;)
        rans::encode_record(x, slots[kHeadroom + i], [&](uint16_t w) {
            CORVANE_ASSERT(next > kHeadroom + i);  // one word per record: never over a record still to come
            slots[--next] = to_le16(w);
        });
    next -= 2;
    slots[next] = to_le16(x);
    slots[next + 1] = to_le16(x >> 16);

    const auto* bytes = reinterpret_cast<const uint8_t*>(slots + next);
    std::vector<uint8_t> out;
    out.reserve(prefix.size() + 2 * (kHeadroom + count_ - next));
    out.assign(prefix.begin(), prefix.end());
    out.insert(out.end(), bytes, bytes + 2 * (kHeadroom + count_ - next));
    records_.reset();
    count_ = capacity_ = 0;
    return out;
}

// ---- ChunkCoder

void ChunkCoder::code(std::span<const uint16_t> records) {
    uint32_t x = x_;
    for (size_t i = records.size(); i-- > 0;)
        rans::encode_record(x, records[i], [this](uint16_t w) { words_.push_back(w); });
    x_ = x;
}

std::vector<uint8_t> ChunkCoder::finish(std::span<const uint8_t> prefix) const {
    std::vector<uint8_t> out(prefix.size() + 4 + 2 * words_.size());
    std::copy(prefix.begin(), prefix.end(), out.begin());
    uint8_t* o = out.data() + prefix.size();
    for (size_t b = 0; b < 4; ++b) o[b] = static_cast<uint8_t>(x_ >> (8 * b));
    o += 4;
    for (size_t i = words_.size(); i-- > 0; o += 2) {
        o[0] = static_cast<uint8_t>(words_[i]);
        o[1] = static_cast<uint8_t>(words_[i] >> 8);
    }
    return out;
}

// ---- BinDec

BinDec::BinDec(size_t contexts, std::span<const uint8_t> coded)
    : probs_(std::max<size_t>(contexts, 1), rans::kProbInit),
      reader_{0, coded.data() + coded.size(), coded.data() + coded.size(), false} {
    // Callers check for the four state bytes; should one not, every decision
    // reports the stream as truncated instead of reading past it.
    if (coded.size() >= 4) reader_ = {rans::load_le32(coded.data()), coded.data() + 4, reader_.end, false};
}

void BinDec::reset_contexts(size_t count) {
    std::fill_n(probs_.begin(), std::min(count, probs_.size()), rans::kProbInit);
}

}  // namespace corvane
