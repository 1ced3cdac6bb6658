#include "src/refine/container.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "src/format/header.hpp"
#include "src/refine/residuals.hpp"
#include "src/refine/tabled.hpp"

namespace corvane::refine {
namespace {

// Layout of the 32-byte header, little-endian (see docs/FORMAT.md).
constexpr std::array<std::uint8_t, 4> kMagic{'C', 'R', 'V', 'R'};
// Version 1 predicts with two weights in the header; versions 2 and 3,
// written only for a long predictor, give its order and shift there and its
// weights (two bytes each) after the header, and code its misses with the
// adaptive code (2) or the tabled one (3).
constexpr std::uint8_t kVersion = 1, kLongVersion = 2, kTabledVersion = 3;
constexpr std::size_t kAtVersion = 4, kAtKind = 5, kAtPredictor = 6, kAtCount = 8, kAtStep = 12, kAtBase = 16,
                      kAtResiduals = 20, kAtEscapeCount = 24, kAtEscapeBytes = 28;
// An escape is a gap of 1 to 5 bytes and a 4-byte value.
constexpr std::size_t kSmallestEscape = 5, kLargestEscape = 9;

void put32(std::uint8_t* p, std::uint32_t v) {
    for (int b = 0; b < 4; ++b) p[b] = static_cast<std::uint8_t>(v >> (8 * b));
}
std::uint32_t get32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

// A long predictor's misses are tabled from this many on: below it the
// tables cost more than the adaptive code loses (a chunk of 8192 misses of
// smooth counts takes 0.4 to 1.4 % more tabled, one of 16384 0.6 to 0.9 %
// less, one of 65536 about 2 % less), and tabled misses decode several times
// faster. So are two weights' misses from there, where the tables foretell
// fewer bits than the adaptive code takes: misses of more than a few
// values, which the adaptive code takes in many decisions each.
constexpr std::size_t kTabledFrom = 16384;
// The adaptive code takes about this share more than its decisions'
// frequencies in each context foretell (it adapts as it goes; 2 to 3.5 %
// on the residuals of records at bounds of 1e-4 to 1e-2 of their range).
constexpr double kAdaptiveShare = 1.03;
// Residuals the adaptive code is foretold to take fewer bits each than this
// for are mostly 0 or close to the ones before, which it codes in fewer bits
// than tables (and faster): the tables are not weighed. (On records at
// bounds of 1e-4 to 1e-2 of their range, the tables took fewer bytes from
// 2 bits a residual on and more up to 1.5.)
constexpr double kTabledBusy = 1.75;

// Two weights a, b as a long predictor (the same arithmetic): order 2,
// shift 5 and weights a, b; no prediction as order 1, shift 0 and a weight of 0.
LongPredictor as_long(Predictor p) {
    LongPredictor lp;
    const bool none = p.a == 0 && p.b == 0;
    lp.order = none ? 1 : 2;
    lp.shift = none ? 0 : 5;
    lp.weights[0] = p.a;
    lp.weights[1] = p.b;
    return lp;
}

CorvaneError damaged(const std::string& what) { return CorvaneError::decompress("Refined chunk: " + what); }

struct Parsed {
    Kind kind = Kind::Float;
    Predictor predictor;
    LongPredictor long_predictor;
    MissCode code = MissCode::Adaptive;
    std::size_t header = kContainerHeaderSize;  // with the long predictor's weights
    std::uint32_t count = 0;
    float step = 0.0f;
    std::span<const std::uint8_t> base, residuals, escapes;
    std::uint32_t escape_count = 0;
};

expected<Parsed, CorvaneError> parse(std::span<const std::uint8_t> bytes) {
    if (!is_container(bytes) || bytes.size() < kContainerHeaderSize) return unexpected(damaged("no refined chunk header"));
    const std::uint8_t* h = bytes.data();
    if (h[kAtVersion] < kVersion || h[kAtVersion] > kTabledVersion) {
        return unexpected(damaged("version " + std::to_string(h[kAtVersion]) + " is not one this build reads"));
    }
    if (h[kAtKind] > 1) return unexpected(damaged("unknown kind"));
    Parsed p;
    if (h[kAtVersion] == kVersion) {
        p.predictor = {static_cast<std::int8_t>(h[kAtPredictor]), static_cast<std::int8_t>(h[kAtPredictor + 1])};
    } else {
        const std::uint8_t order = h[kAtPredictor], shift = h[kAtPredictor + 1];
        if (order == 0 || order > kLongestOrder || shift > kLargestShift) {
            return unexpected(damaged("the predictor is not one an encoder writes"));
        }
        p.header += 2 * std::size_t{order};
        if (bytes.size() < p.header) return unexpected(damaged("longer than the bytes given"));
        p.long_predictor.order = order;
        p.code = h[kAtVersion] == kTabledVersion ? MissCode::Tabled : MissCode::Adaptive;
        p.long_predictor.shift = shift;
        for (std::size_t j = 0; j < order; ++j) {
            const std::uint8_t* w = h + kContainerHeaderSize + 2 * j;
            p.long_predictor.weights[j] = static_cast<std::int16_t>(std::uint16_t{w[0]} | std::uint16_t{w[1]} << 8);
        }
    }
    p.kind = static_cast<Kind>(h[kAtKind]);
    p.count = get32(h + kAtCount);
    p.step = std::bit_cast<float>(get32(h + kAtStep));
    p.escape_count = get32(h + kAtEscapeCount);
    const std::uint64_t base = get32(h + kAtBase), residuals = get32(h + kAtResiduals),
                        escapes = get32(h + kAtEscapeBytes);
    if (p.header + base + residuals + escapes > bytes.size()) {
        return unexpected(damaged("longer than the bytes given"));
    }
    const bool integral_step = p.step >= 1.0f && p.step < 16777216.0f && std::fmod(p.step, 2.0f) == 1.0f;
    if (!(std::isfinite(p.step) && p.step >= 0.0f) || (p.kind == Kind::Integer && !integral_step)) {
        return unexpected(damaged("the step is not one an encoder writes"));
    }
    if (p.escape_count > p.count || std::uint64_t{p.escape_count} * kSmallestEscape > escapes ||
        std::uint64_t{p.escape_count} * kLargestEscape < escapes) {
        return unexpected(damaged("the escapes do not fit their bytes"));
    }
    const std::uint8_t* at = h + p.header;
    p.base = {at, static_cast<std::size_t>(base)};
    p.residuals = {at + base, static_cast<std::size_t>(residuals)};
    p.escapes = {at + base + residuals, static_cast<std::size_t>(escapes)};
    return p;
}

}  // namespace

bool is_container(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= 4 && std::memcmp(bytes.data(), kMagic.data(), 4) == 0;
}

std::vector<std::uint8_t> write_container(std::span<const std::uint8_t> base, const Refinement& r) {
    // Exact storage of enough integers codes its residuals tabled whatever
    // predicts them, and so do other corrections where that takes fewer bits.
    LongPredictor lp = r.long_predictor;
    const bool exact = r.kind == Kind::Integer && r.step == 1.0f;
    const std::size_t n = r.residuals.size();
    std::vector<std::uint8_t> residuals;
    bool tabled = false;
    const bool many = n >= kTabledFrom;
    const double adaptive = many && lp.order == 0 && !exact ? foretold_bits(r.residuals, r.predictor) : 0.0;
    if (lp.order > 0 || (many && (exact || adaptive >= kTabledBusy * static_cast<double>(n)))) {
        const LongPredictor by = lp.order > 0 ? lp : as_long(r.predictor);
        std::vector<std::int32_t> misses(n);
        long_misses(r.residuals, n, by, misses);
        if (many) {
            const TabledMisses t(misses);
            tabled = lp.order > 0 || exact || t.bits() < kAdaptiveShare * adaptive;
            if (tabled) {
                residuals = t.bytes();
                lp = by;
            }
        }
        if (!tabled && lp.order > 0) residuals = encode_residuals(misses, {});
    }
    if (!tabled && lp.order == 0) residuals = encode_residuals(r.residuals, r.predictor);
    std::vector<std::uint8_t> escapes;
    escapes.reserve(r.escapes.size() * kSmallestEscape);
    std::uint32_t next = 0;  // the first index the next escape may have
    for (const Escape& e : r.escapes) {
        for (std::uint32_t gap = e.index - next; ; gap >>= 7) {
            escapes.push_back(static_cast<std::uint8_t>((gap & 0x7Fu) | (gap >= 0x80u ? 0x80u : 0u)));
            if (gap < 0x80u) break;
        }
        std::uint8_t value[4];
        put32(value, std::bit_cast<std::uint32_t>(e.value));
        escapes.insert(escapes.end(), value, value + 4);
        next = e.index + 1;
    }
    std::vector<std::uint8_t> out(kContainerHeaderSize + 2 * std::size_t{lp.order});
    std::memcpy(out.data(), kMagic.data(), 4);
    out[kAtVersion] = tabled ? kTabledVersion : lp.order > 0 ? kLongVersion : kVersion;
    out[kAtKind] = static_cast<std::uint8_t>(r.kind);
    out[kAtPredictor] = static_cast<std::uint8_t>(lp.order > 0 ? lp.order : r.predictor.a);
    out[kAtPredictor + 1] = static_cast<std::uint8_t>(lp.order > 0 ? lp.shift : r.predictor.b);
    for (std::size_t j = 0; j < lp.order; ++j) {
        const auto w = static_cast<std::uint16_t>(lp.weights[j]);
        out[kContainerHeaderSize + 2 * j] = static_cast<std::uint8_t>(w);
        out[kContainerHeaderSize + 2 * j + 1] = static_cast<std::uint8_t>(w >> 8);
    }
    put32(out.data() + kAtCount, static_cast<std::uint32_t>(r.residuals.size()));
    put32(out.data() + kAtStep, std::bit_cast<std::uint32_t>(r.step));
    put32(out.data() + kAtBase, static_cast<std::uint32_t>(base.size()));
    put32(out.data() + kAtResiduals, static_cast<std::uint32_t>(residuals.size()));
    put32(out.data() + kAtEscapeCount, static_cast<std::uint32_t>(r.escapes.size()));
    put32(out.data() + kAtEscapeBytes, static_cast<std::uint32_t>(escapes.size()));
    out.reserve(out.size() + base.size() + residuals.size() + escapes.size());
    out.insert(out.end(), base.begin(), base.end());
    out.insert(out.end(), residuals.begin(), residuals.end());
    out.insert(out.end(), escapes.begin(), escapes.end());
    return out;
}

expected<std::size_t, CorvaneError> container_length(std::span<const std::uint8_t> bytes) {
    auto p = parse(bytes);
    if (!p) return unexpected(std::move(p).error());
    return p->header + p->base.size() + p->residuals.size() + p->escapes.size();
}

expected<ContainerFacts, CorvaneError> container_facts(std::span<const std::uint8_t> bytes) {
    auto p = parse(bytes);
    if (!p) return unexpected(std::move(p).error());
    const std::size_t corrections = (p->header - kContainerHeaderSize) + p->residuals.size() + p->escapes.size();
    return ContainerFacts{p->kind, p->step, p->escape_count, corrections,
                          kContainerHeaderSize + p->base.size() + corrections, p->base};
}

expected<std::vector<float>, CorvaneError> decode_container(std::span<const std::uint8_t> bytes) {
    auto p = parse(bytes);
    if (!p) return unexpected(std::move(p).error());
    // The base is a whole stream, checked by its own decoder, and its
    // samples are the ones corrected: no allocation here exceeds what it made.
    auto header = CorvaneHeader::from_bytes(p->base);
    if (!header) return unexpected(std::move(header).error());
    if (header->sample_count != p->count || kHeaderSize + std::size_t{header->payload_len} != p->base.size()) {
        return unexpected(damaged("the base does not match the header"));
    }
    auto y = decompress(p->base);
    if (!y) return unexpected(std::move(y).error());
    if (auto done = apply_container(bytes, *y); !done) return unexpected(std::move(done).error());
    return std::move(*y);
}

expected<void, CorvaneError> apply_container(std::span<const std::uint8_t> bytes, std::vector<float>& out) {
    auto p = parse(bytes);
    if (!p) return unexpected(std::move(p).error());
    if (out.size() != p->count) return unexpected(damaged("the base does not match the header"));
    const Correction c{p->kind, p->step};
    if (auto done = p->long_predictor.order > 0 ? correct_samples(p->residuals, p->long_predictor, p->code, c, out)
                                                : correct_samples(p->residuals, p->predictor, c, out);
        !done) {
        return unexpected(damaged(done.error() == ResidualError::Truncated ? "the residuals end early"
                                                                           : "the residuals are not ones an encoder writes"));
    }

    const std::uint8_t* at = p->escapes.data();
    const std::uint8_t* const end = at + p->escapes.size();
    std::uint64_t next = 0;
    for (std::uint32_t e = 0; e < p->escape_count; ++e) {
        std::uint64_t gap = 0;
        for (int shift = 0;; shift += 7) {
            if (at == end || shift > 28) return unexpected(damaged("an escape's index is cut short"));
            const std::uint8_t byte = *at++;
            gap |= std::uint64_t{byte & 0x7Fu} << shift;
            if ((byte & 0x80u) == 0) break;
        }
        next += gap;
        if (next >= p->count || end - at < 4) return unexpected(damaged("an escape lies beyond the samples"));
        out[next] = std::bit_cast<float>(get32(at));
        at += 4;
        ++next;
    }
    if (at != end) return unexpected(damaged("bytes left after the escapes"));
    return {};
}

}  // namespace corvane::refine
